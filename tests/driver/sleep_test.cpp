// Sleep, resume and wake through the power manager: what the reader is
// sent, what the card and the tracking requests see, the gate, and the
// wait-wake request of a reader given wake capabilities.
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <winsmcrd.h>

// The extension is laid out alike in both builds; the tests write the wake
// capabilities that no request fills.
#define TALVOR11
#include "frame/talvor.h"
#undef TALVOR11

#include "platform/kernel/pool.h"
#include "tests/driver/system_fixture.h"

namespace talvor::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The reader without the remote-wakeup bit in its configuration: its PDO
// refuses a wait-wake request.
class WithoutRemoteWakeup : public usb::UsbDevice {
public:
  explicit WithoutRemoteWakeup(std::shared_ptr<usb::UsbDevice> inner)
      : inner_(std::move(inner)), descriptors_(inner_->descriptors()) {
    descriptors_.configurations[0][7] &= ~USB_CONFIG_REMOTE_WAKEUP;
  }
  const usb::UsbDescriptors &descriptors() const override {
    return descriptors_;
  }
  usb::Speed speed() const override { return inner_->speed(); }
  void submit(const usb::TransferPtr &transfer) override {
    inner_->submit(transfer);
  }
  void cancelled(const usb::TransferPtr &transfer) override {
    inner_->cancelled(transfer);
  }
  void attached(usb::UsbPort &port) override { inner_->attached(port); }
  void detached() override { inner_->detached(); }

private:
  std::shared_ptr<usb::UsbDevice> inner_;
  usb::UsbDescriptors descriptors_;
};

class SleepTest : public BuildTest {
protected:
  void bring_up(std::optional<card::ReadyCard> card = card::ReadyCard::t1_lrc,
                bool remote_wakeup = true) {
    boot();
    driver_ = load(build());
    reader_.firmware = std::make_shared<reader::ReaderFirmware>(kernel());
    if (card)
      insert(reader_, *card);
    std::shared_ptr<usb::UsbDevice> device = reader_.firmware;
    if (!remote_wakeup)
      device = std::make_shared<WithoutRemoteWakeup>(device);
    reader_.injector = std::make_shared<usb::FaultInjector>(device);
    reader_.pdo = bus().plug(reader_.injector);
    ASSERT_EQ(pnp_->add_device(reader_.pdo, driver_), STATUS_SUCCESS);
    ASSERT_EQ(open(reader_), STATUS_SUCCESS);
    delay_ms(200); // the card presence thread takes the card
  }
  PDEVICE_EXTENSION extension() {
    return static_cast<PDEVICE_EXTENSION>(fdo(reader_)->DeviceExtension);
  }
  // Wake from S3 in D2, as the bus reports it for a wake-capable reader.
  void give_wake_capabilities(BOOLEAN enabled) {
    DEVICE_CAPABILITIES &caps = extension()->DeviceCapabilities;
    caps.SystemWake = PowerSystemSleeping3;
    caps.DeviceWake = PowerDeviceD2;
    caps.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    extension()->WakeupEnabled = enabled;
  }
  NTSTATUS power_card() {
    return ioctl(reader_, IOCTL_SMARTCARD_POWER, as_bytes(SCARD_COLD_RESET), 64)
        .status;
  }
  // The trace lines that start with one of `prefixes`, in order.
  std::vector<std::string>
  trace_of(std::initializer_list<std::string_view> prefixes) {
    std::vector<std::string> lines;
    for (auto &line : kernel().trace().lines())
      for (std::string_view prefix : prefixes)
        if (line.rfind(prefix, 0) == 0) {
          lines.push_back(line);
          break;
        }
    return lines;
  }
  // The power path's decisions, in order.
  std::vector<std::string> power_trace() {
    return trace_of({"UscrPower System SET_POWER System", "send POWER DOWN",
                     "Uscr!UscrPower SystemPower, set", "PowerDevice",
                     "Uscr!UscrPower: PowerDevice", "UscrDevicePowerCompletion",
                     " UscrSystemPowerCompletion",
                     "CompleteCardTracking : Enter",
                     "UscrPower: PoRequestPowerIrp"});
  }
  std::vector<std::string> wake_trace() {
    return trace_of({"GenericWakeupControl", " GenericWakeupControl",
                     "IRP_MN_WAIT_WAKE", " IRP_MN_WAIT_WAKE",
                     " - IRP_MN_WAIT_WAKE", "WaitWake", " WaitWakeCallback",
                     "Usb_ProcessPowerIrp"});
  }
  std::size_t threads_started() { return traced("ThreadMain : Enter").size(); }
  // A device set-power request as a power policy owner makes it.
  // Returns the status it completed with.
  NTSTATUS request_device_power(DEVICE_POWER_STATE state) {
    POWER_STATE power;
    power.DeviceState = state;
    NTSTATUS completed = STATUS_PENDING;
    EXPECT_EQ(PoRequestPowerIrp(
                  reader_.pdo, IRP_MN_SET_POWER, power,
                  [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                     PIO_STATUS_BLOCK status) {
                    *static_cast<NTSTATUS *>(context) = status->Status;
                  },
                  &completed, nullptr),
              STATUS_PENDING);
    return completed;
  }
  // A system power request as the power manager sends it.
  NTSTATUS system_power(UCHAR minor, SYSTEM_POWER_STATE state) {
    kernel::IrpReply reply = kernel::call_and_wait(
        kernel(), IoGetAttachedDevice(reader_.pdo),
        [&](IO_STACK_LOCATION &stack) {
          stack.MajorFunction = IRP_MJ_POWER;
          stack.MinorFunction = minor;
          stack.Parameters.Power.Type = SystemPowerState;
          stack.Parameters.Power.State.SystemState = state;
          stack.Parameters.Power.ShutdownType = PowerActionSleep;
        },
        60ull * 10'000'000, nullptr);
    EXPECT_TRUE(reply.completed);
    return reply.status;
  }

  PDRIVER_OBJECT driver_ = nullptr;
  PluggedReader reader_;
};
TALVOR_BUILD_TESTS(SleepTest);

// A powered card and a pending removal request go to sleep: the thread
// ends, the reader is sent POWER DOWN, then D3 powers the card down. At
// resume a new thread starts, the request is completed since a card was
// there, and the reader takes requests again.
TEST_P(SleepTest, SleepAndResumeWithAPoweredCard) {
  run([&] {
    bring_up();
    ASSERT_EQ(power_card(), STATUS_SUCCESS);
    kernel::Request absent = begin(reader_, IOCTL_SMARTCARD_IS_ABSENT);
    ASSERT_TRUE(absent.pending());
    std::size_t mark = transfers(reader_);
    kernel().trace().clear();

    ASSERT_EQ(power_->sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_THAT(commands(reader_, mark), ElementsAre("A3", "A3"));
    EXPECT_THAT(power_trace(),
                ElementsAre("UscrPower System SET_POWER SystemSleeping  ",
                            "send POWER DOWN COMMAND! -- escape! ",
                            "UscrPower System SET_POWER SystemSleeping -\t"
                            "readerPowerIsOn\t",
                            "Uscr!UscrPower SystemPower, set D3",
                            "PowerDeviceD3, Turn off the reader!",
                            "Uscr!UscrPower: PowerDevice D3",
                            " UscrSystemPowerCompletion callback"));
    EXPECT_TRUE(kernel().trace().contains("ThreadMain ThreadShouldStop"));
    EXPECT_EQ(bus().power_state(reader_.pdo), PowerDeviceD3);
    EXPECT_TRUE(absent.pending());
    EXPECT_THAT(wake_trace(), IsEmpty()); // no wake capabilities

    mark = transfers(reader_);
    kernel().trace().clear();
    ASSERT_EQ(power_->wake(), STATUS_SUCCESS);
    EXPECT_THAT(commands(reader_, mark), IsEmpty());
    EXPECT_THAT(power_trace(),
                ElementsAre("UscrPower System SET_POWER SystemMaximum  ",
                            "PowerDeviceD0, turn on reader, NO send DEVICE "
                            "RESUME COMMAND!  ",
                            "UscrDevicePowerCompletion Enter ",
                            "UscrDevicePowerCompletion Start Thread ",
                            "CompleteCardTracking : Enter",
                            " UscrSystemPowerCompletion callback"));
    EXPECT_EQ(threads_started(), 1u);
    EXPECT_EQ(bus().power_state(reader_.pdo), PowerDeviceD0);
    ASSERT_FALSE(absent.pending());
    EXPECT_EQ(absent.status(), STATUS_SUCCESS);

    // The card was powered down: it is present, and powers up again.
    delay_ms(200);
    EXPECT_EQ(ioctl(reader_, IOCTL_SMARTCARD_IS_PRESENT).status,
              STATUS_SUCCESS);
    EXPECT_EQ(power_card(), STATUS_SUCCESS);

    // Hibernate and shutdown take the reader down alike.
    for (SYSTEM_POWER_STATE state :
         {PowerSystemHibernate, PowerSystemShutdown}) {
      mark = transfers(reader_);
      ASSERT_EQ(power_->sleep(state), STATUS_SUCCESS);
      EXPECT_THAT(commands(reader_, mark), ElementsAre("A3", "A3"));
      EXPECT_EQ(bus().power_state(reader_.pdo), PowerDeviceD3);
      ASSERT_EQ(power_->wake(), STATUS_SUCCESS);
      delay_ms(200);
      EXPECT_EQ(power_card(), STATUS_SUCCESS);
    }
    EXPECT_EQ(threads_started(), 3u);
    EXPECT_TRUE(kernel().verifier().empty());
  });
}

// Without a card only the reader is powered down, and the resume completes
// no tracking request. A card put in while the reader sleeps is reported by
// the new thread; one taken out while it sleeps completes the request at
// resume, since a card was there at power-down.
TEST_P(SleepTest, CardChangesWhileAsleep) {
  run([&] {
    bring_up(std::nullopt);
    kernel::Request present = begin(reader_, IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_TRUE(present.pending());
    std::size_t mark = transfers(reader_);
    ASSERT_EQ(power_->sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_THAT(commands(reader_, mark), ElementsAre("A3"));
    insert(reader_);
    kernel().trace().clear();
    ASSERT_EQ(power_->wake(), STATUS_SUCCESS);
    EXPECT_FALSE(kernel().trace().contains("CompleteCardTracking : Enter"));
    delay_ms(200);
    ASSERT_FALSE(present.pending());
    EXPECT_EQ(present.status(), STATUS_SUCCESS);
    EXPECT_TRUE(kernel().trace().contains("Smart card inserted"));

    kernel::Request absent = begin(reader_, IOCTL_SMARTCARD_IS_ABSENT);
    ASSERT_TRUE(absent.pending());
    ASSERT_EQ(power_->sleep(PowerSystemSleeping1), STATUS_SUCCESS);
    reader_.firmware->remove();
    kernel().trace().clear();
    ASSERT_EQ(power_->wake(), STATUS_SUCCESS);
    EXPECT_TRUE(kernel().trace().contains("CompleteCardTracking : Enter"));
    ASSERT_FALSE(absent.pending());
    EXPECT_EQ(absent.status(), STATUS_SUCCESS);
    delay_ms(200);
    EXPECT_EQ(ioctl(reader_, IOCTL_SMARTCARD_IS_ABSENT).status, STATUS_SUCCESS);
    EXPECT_TRUE(kernel().verifier().empty());
  });
}

// A request that finds no other in progress waits at the gate from the
// sleep query to the resume; a request in flight at the sleep finishes
// before the card is powered down under it.
TEST_P(SleepTest, RequestsWaitAtTheGateWhileAsleep) {
  run([&] {
    bring_up(card::ReadyCard::atr_slow);
    NTSTATUS powered = STATUS_PENDING;
    spawn([&] { powered = power_card(); });
    delay_ms(100); // the ATR takes more than 500 ms
    ASSERT_EQ(powered, STATUS_PENDING);
    std::size_t mark = transfers(reader_);
    ASSERT_EQ(power_->sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(powered, STATUS_SUCCESS);
    // The reset's ATR read came before both power-downs.
    auto sent = commands(reader_, mark);
    ASSERT_GE(sent.size(), 2u);
    EXPECT_THAT(std::vector<std::string>(sent.end() - 2, sent.end()),
                ElementsAre("A3", "A3"));
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "A3"), 2);

    kernel::IoResult unit;
    bool done = false;
    spawn([&] {
      unit = attribute(reader_, SCARD_ATTR_DEVICE_UNIT);
      done = true;
    });
    delay_ms(1000);
    EXPECT_FALSE(done);
    ASSERT_EQ(power_->wake(), STATUS_SUCCESS);
    delay_ms(10);
    ASSERT_TRUE(done);
    EXPECT_EQ(unit.status, STATUS_SUCCESS);
  });
}

// A sleep query not followed by a sleep: requests wait until the working
// state's D0 opens the gate again, which finds the thread running and
// starts no second one; the reader was never powered down.
TEST_P(SleepTest, SleepQueryWithoutSleep) {
  run([&] {
    bring_up();
    // A query for the working state closes nothing.
    ASSERT_EQ(system_power(IRP_MN_QUERY_POWER, PowerSystemWorking),
              STATUS_SUCCESS);
    EXPECT_EQ(attribute(reader_, SCARD_ATTR_DEVICE_UNIT).status,
              STATUS_SUCCESS);
    std::size_t mark = transfers(reader_);
    kernel().trace().clear();
    ASSERT_EQ(system_power(IRP_MN_QUERY_POWER, PowerSystemSleeping3),
              STATUS_SUCCESS);
    EXPECT_TRUE(kernel().trace().contains(
        "UscrPower System QUERY_POWER SystemSleeping\t - ready to go sleep"));
    kernel::IoResult unit;
    bool done = false;
    spawn([&] {
      unit = attribute(reader_, SCARD_ATTR_DEVICE_UNIT);
      done = true;
    });
    delay_ms(500);
    EXPECT_FALSE(done);

    ASSERT_EQ(system_power(IRP_MN_SET_POWER, PowerSystemWorking),
              STATUS_SUCCESS);
    EXPECT_THAT(power_trace(),
                ElementsAre("UscrPower System SET_POWER SystemMaximum  ",
                            "PowerDeviceD0, turn on reader, NO send DEVICE "
                            "RESUME COMMAND!  ",
                            "UscrDevicePowerCompletion Enter ",
                            " UscrSystemPowerCompletion callback"));
    delay_ms(10);
    ASSERT_TRUE(done);
    EXPECT_EQ(unit.status, STATUS_SUCCESS);
    EXPECT_EQ(threads_started(), 0u);
    EXPECT_THAT(commands(reader_, mark), IsEmpty());
    // The one thread still reports the card.
    kernel::Request absent = begin(reader_, IOCTL_SMARTCARD_IS_ABSENT);
    reader_.firmware->remove();
    delay_ms(200);
    ASSERT_FALSE(absent.pending());
    EXPECT_EQ(absent.status(), STATUS_SUCCESS);
    EXPECT_TRUE(kernel().verifier().empty());
  });
}

// A D3 the reader's own policy asks for while it works ends the running
// thread itself; a sleep that follows finds the reader down and passes
// the system request on at once, and the D0 of the resume brings the
// reader back to work.
TEST_P(SleepTest, DeviceD3WithoutSleepThenSleepAndResume) {
  run([&] {
    bring_up();
    ASSERT_EQ(power_card(), STATUS_SUCCESS);
    std::size_t mark = transfers(reader_);
    kernel().trace().clear();
    request_device_power(PowerDeviceD3);
    EXPECT_THAT(power_trace(),
                ElementsAre("PowerDeviceD3, Turn off the reader!",
                            "Uscr!UscrPower: PowerDevice D3",
                            "Uscr!UscrPower: PowerDeviceD3~~~~~~~~~~~~~~~~~~~~"
                            "~ObDereferenceObject~~~~~~~~~"));
    EXPECT_THAT(commands(reader_, mark), ElementsAre("A3"));
    EXPECT_EQ(bus().power_state(reader_.pdo), PowerDeviceD3);

    mark = transfers(reader_);
    kernel().trace().clear();
    ASSERT_EQ(power_->sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_THAT(commands(reader_, mark), IsEmpty());
    EXPECT_THAT(power_trace(),
                ElementsAre("UscrPower System SET_POWER SystemSleeping  "));

    ASSERT_EQ(power_->wake(), STATUS_SUCCESS);
    EXPECT_EQ(bus().power_state(reader_.pdo), PowerDeviceD0);
    EXPECT_EQ(threads_started(), 1u);
    delay_ms(200);
    EXPECT_EQ(power_card(), STATUS_SUCCESS);

    // A D3 and D0 of its own, without a system transition.
    kernel().trace().clear();
    EXPECT_EQ(request_device_power(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(request_device_power(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(threads_started(), 1u);
    delay_ms(200);
    EXPECT_EQ(power_card(), STATUS_SUCCESS);
    EXPECT_TRUE(kernel().verifier().empty());
  });
}

// The device request for a resume cannot be made: the system request is
// passed on all the same and the reader stays down, its remove lock
// given back, so that the next resume and a removal still work.
TEST_P(SleepTest, FailedDeviceRequestPassesTheSystemRequestOn) {
  run([&] {
    bring_up();
    ASSERT_EQ(power_->sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    kernel().trace().clear();
    // The system IRP is the first IRP of the resume, the device IRP the
    // second.
    kernel().pool().fail_nth(2, kernel::make_pool_tag("Irp "));
    ASSERT_EQ(power_->wake(), STATUS_SUCCESS);
    kernel().pool().clear_faults();
    EXPECT_THAT(power_trace(),
                ElementsAre("UscrPower System SET_POWER SystemMaximum  ",
                            "UscrPower: PoRequestPowerIrp(D0) failed - "
                            "C000009A, system request passed down"));
    EXPECT_EQ(bus().power_state(reader_.pdo), PowerDeviceD3);
    EXPECT_EQ(threads_started(), 0u);

    ASSERT_EQ(power_->sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(power_->wake(), STATUS_SUCCESS);
    EXPECT_EQ(bus().power_state(reader_.pdo), PowerDeviceD0);
    EXPECT_EQ(threads_started(), 1u);
    delay_ms(200);
    EXPECT_EQ(power_card(), STATUS_SUCCESS);
    close(reader_);
    remove(reader_);
    EXPECT_TRUE(kernel().io().devices_of(driver_).empty());
    EXPECT_TRUE(kernel().verifier().empty());
  });
}

// A reader removed while asleep: a request waiting at the gate fails, the
// removal does not hang, and a stopped reader's resume starts no thread.
TEST_P(SleepTest, RemovalAndStopWhileAsleep) {
  run([&] {
    bring_up();
    ASSERT_EQ(power_->sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    kernel::IoResult unit;
    bool done = false;
    spawn([&] {
      unit = attribute(reader_, SCARD_ATTR_DEVICE_UNIT);
      done = true;
    });
    delay_ms(100);
    EXPECT_FALSE(done);
    unplug(reader_);
    ASSERT_TRUE(done);
    EXPECT_EQ(unit.status, STATUS_DEVICE_REMOVED);
    EXPECT_TRUE(kernel().io().devices_of(driver_).empty());
    ASSERT_EQ(power_->wake(), STATUS_SUCCESS);

    PluggedReader second;
    ASSERT_EQ(plug(driver_, second, card::ReadyCard::t1_lrc), STATUS_SUCCESS);
    ASSERT_EQ(pnp_->query_stop(second.pdo), STATUS_SUCCESS);
    ASSERT_EQ(pnp_->stop(second.pdo), STATUS_SUCCESS);
    ASSERT_EQ(power_->sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    kernel().trace().clear();
    ASSERT_EQ(power_->wake(), STATUS_SUCCESS);
    EXPECT_EQ(threads_started(), 0u);
    EXPECT_TRUE(kernel().trace().contains("UscrDevicePowerCompletion Enter"));
    ASSERT_EQ(pnp_->start(second.pdo), STATUS_SUCCESS);
    EXPECT_EQ(threads_started(), 1u);
    EXPECT_TRUE(kernel().verifier().empty());
  });
}

// Without wake capabilities nothing is armed or requested; with them but
// wake not enabled, the query withdraws (here: finds nothing to withdraw)
// and the reader sleeps in D3.
TEST_P(SleepTest, WakeNotArmed) {
  run([&] {
    bring_up();
    ASSERT_EQ(power_->sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_THAT(wake_trace(), IsEmpty());
    EXPECT_FALSE(bus().wake_pending(reader_.pdo));
    EXPECT_FALSE(extension()->WakeupEnabled);
    EXPECT_EQ(extension()->WaitWakeIrp, nullptr);
    ASSERT_EQ(power_->wake(), STATUS_SUCCESS);

    give_wake_capabilities(FALSE);
    kernel().trace().clear();
    ASSERT_EQ(power_->sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_THAT(wake_trace(),
                ElementsAre("GenericWakeupControl: ManageWaitWake\t",
                            " GenericWakeupControl: CancelWaitWake Start"));
    EXPECT_FALSE(bus().wake_pending(reader_.pdo));
    EXPECT_EQ(bus().power_state(reader_.pdo), PowerDeviceD3);
    ASSERT_EQ(power_->wake(), STATUS_SUCCESS);
    EXPECT_TRUE(kernel().verifier().empty());
  });
}

// Armed: the sleep query requests a wait-wake, the reader sleeps in the
// state its capabilities give, and the reader's wake signal brings it back
// to D0 before the system resumes; the resume starts no second thread. The
// request stays armed across the resume, and the next query requests none
// beside it; a stop cancels it.
TEST_P(SleepTest, ArmedWakeBringsTheReaderBack) {
  run([&] {
    bring_up();
    give_wake_capabilities(TRUE);
    kernel().trace().clear();
    ASSERT_EQ(power_->sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_TRUE(bus().wake_pending(reader_.pdo));
    EXPECT_EQ(bus().power_state(reader_.pdo), PowerDeviceD2);
    EXPECT_TRUE(
        kernel().trace().contains("Uscr!UscrPower SystemPower, set D2"));
    EXPECT_THAT(
        wake_trace(),
        ElementsAre("GenericWakeupControl: ManageWaitWake\t",
                    "GenericWakeupControl: ManageWaitWake\tWakeupEnabled",
                    "IRP_MN_WAIT_WAKE requested status=0",
                    "Usb_ProcessPowerIrp() Enter\tIRP_MN_WAIT_WAKE",
                    "Usb_ProcessPowerIrp() Exit IRP_MN_WAIT_WAKE\tstatus = "
                    "103"));

    kernel().trace().clear();
    ASSERT_TRUE(bus().signal_wake(reader_.pdo));
    EXPECT_THAT(
        wake_trace(),
        ElementsAre("WaitWakeCompletionRoutine()\t",
                    "WaitWakeCompletionRoutine: WaitWakeIrp!=Null ",
                    "WaitWakeCallback() Enter IRP_MN_WAIT_WAKE",
                    " WaitWakeCallback IRP_MN_WAIT_WAKE success set deviceD0 - "
                    "103"));
    EXPECT_EQ(bus().power_state(reader_.pdo), PowerDeviceD0);
    EXPECT_EQ(threads_started(), 1u);
    ASSERT_EQ(power_->wake(), STATUS_SUCCESS);
    EXPECT_EQ(threads_started(), 1u);
    delay_ms(200);
    EXPECT_EQ(power_card(), STATUS_SUCCESS);

    // Armed again at the next query; the one after that finds it armed.
    ASSERT_EQ(power_->sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(power_->wake(), STATUS_SUCCESS);
    kernel().trace().clear();
    ASSERT_EQ(power_->sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_FALSE(kernel().trace().contains("IRP_MN_WAIT_WAKE requested"));
    ASSERT_EQ(power_->wake(), STATUS_SUCCESS);
    EXPECT_TRUE(bus().wake_pending(reader_.pdo));

    // The stop takes the request back; the bus completes it cancelled
    // from within the cancel, so the cancel path finishes it.
    kernel().trace().clear();
    ASSERT_EQ(pnp_->query_stop(reader_.pdo), STATUS_SUCCESS);
    ASSERT_EQ(pnp_->stop(reader_.pdo), STATUS_SUCCESS);
    EXPECT_FALSE(bus().wake_pending(reader_.pdo));
    EXPECT_THAT(
        wake_trace(),
        ElementsAre(" GenericWakeupControl: CancelWaitWake Start",
                    "WaitWakeCompletionRoutine()\t",
                    " - IRP_MN_WAIT_WAKE cancelled",
                    "GenericWakeupControl: CancelWaitWake:wwcancelled==1",
                    "WaitWakeCallback() Enter IRP_MN_WAIT_WAKE",
                    " IRP_MN_WAIT_WAKE failed - C0000120"));
    EXPECT_EQ(extension()->WaitWakeIrp, nullptr);
    ASSERT_EQ(pnp_->start(reader_.pdo), STATUS_SUCCESS);
    EXPECT_FALSE(extension()->WakeupEnabled);
    EXPECT_TRUE(kernel().verifier().empty());
  });
}

// A wait-wake the bus refuses leads to no D0: the reader stays in its
// sleeping state until the system resumes. An armed reader removed while
// asleep gives its request up and the removal does not hang.
TEST_P(SleepTest, RefusedWakeAndRemovalWhileArmed) {
  run([&] {
    bring_up(card::ReadyCard::t1_lrc, false);
    give_wake_capabilities(TRUE);
    kernel().trace().clear();
    ASSERT_EQ(power_->sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_TRUE(
        kernel().trace().contains(" IRP_MN_WAIT_WAKE failed - C00000BB"));
    EXPECT_FALSE(kernel().trace().contains("WaitWakeCallback IRP_MN_WAIT_WAKE "
                                           "success"));
    EXPECT_EQ(bus().power_state(reader_.pdo), PowerDeviceD2);
    EXPECT_EQ(threads_started(), 0u);
    EXPECT_EQ(extension()->WaitWakeIrp, nullptr);
    ASSERT_EQ(power_->wake(), STATUS_SUCCESS);
    EXPECT_EQ(bus().power_state(reader_.pdo), PowerDeviceD0);

    // No IRP for the request (the query's is the first IRP): wake is
    // disarmed and the reader sleeps in D3.
    kernel().pool().fail_nth(2, kernel::make_pool_tag("Irp "));
    kernel().trace().clear();
    ASSERT_EQ(power_->sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    kernel().pool().clear_faults();
    EXPECT_TRUE(kernel().trace().contains(
        " PoRequestPowerIrp(IRP_MN_WAIT_WAIT)\tfailed - C000009A"));
    EXPECT_FALSE(extension()->WakeupEnabled);
    EXPECT_EQ(bus().power_state(reader_.pdo), PowerDeviceD3);
    ASSERT_EQ(power_->wake(), STATUS_SUCCESS);
    extension()->WakeupEnabled = TRUE;

    PluggedReader armed;
    ASSERT_EQ(plug(driver_, armed), STATUS_SUCCESS);
    auto *other = static_cast<PDEVICE_EXTENSION>(fdo(armed)->DeviceExtension);
    other->DeviceCapabilities = extension()->DeviceCapabilities;
    other->WakeupEnabled = TRUE;
    ASSERT_EQ(power_->sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_TRUE(bus().wake_pending(armed.pdo));
    remove(armed);
    EXPECT_EQ(kernel().io().devices_of(driver_).size(), 1u);
    ASSERT_EQ(power_->wake(), STATUS_SUCCESS);
    EXPECT_TRUE(kernel().verifier().empty());
  });
}

// A wait-wake this driver did not request is passed down as it came and
// completed by the bus, and never taken for the driver's own.
TEST_P(SleepTest, UnrequestedWaitWakeIsPassedOn) {
  run([&] {
    bring_up();
    static NTSTATUS completed;
    static int calls;
    completed = STATUS_PENDING;
    calls = 0;
    POWER_STATE state;
    state.SystemState = PowerSystemSleeping3;
    kernel().trace().clear();
    ASSERT_EQ(PoRequestPowerIrp(
                  reader_.pdo, IRP_MN_WAIT_WAKE, state,
                  [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID,
                     PIO_STATUS_BLOCK status) {
                    completed = status->Status;
                    ++calls;
                  },
                  nullptr, nullptr),
              STATUS_PENDING);
    ASSERT_TRUE(bus().wake_pending(reader_.pdo));
    ASSERT_TRUE(bus().signal_wake(reader_.pdo));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(completed, STATUS_SUCCESS);
    EXPECT_THAT(wake_trace(),
                ElementsAre("Usb_ProcessPowerIrp() Enter\tIRP_MN_WAIT_WAKE"));
    EXPECT_EQ(threads_started(), 0u);
    EXPECT_TRUE(kernel().verifier().empty());
  });
}

} // namespace
} // namespace talvor::test
