// The power manager: system sleep and resume with the device requests a
// power policy owner makes while it holds the system request, requested
// power IRPs, recorded power states, wait-wake, and the verifier's power
// findings on planted bugs of the test driver.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/kernel/testbus/test_stack.h"
#include "tests/support/sim.h"

namespace talvor::test {
namespace {

using kernel::FindingKind;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// "query S3", "set D0", "wait-wake": the power requests a child saw.
std::vector<std::string> power_log(const TestBus &bus, PDEVICE_OBJECT pdo) {
  std::vector<std::string> log;
  for (const SeenIrp &irp : bus.seen(pdo)) {
    if (irp.major != IRP_MJ_POWER)
      continue;
    if (irp.minor == IRP_MN_WAIT_WAKE) {
      log.push_back("wait-wake");
      continue;
    }
    std::string text = irp.minor == IRP_MN_SET_POWER ? "set " : "query ";
    if (irp.power_type == SystemPowerState)
      text += "S" + std::to_string(irp.power_state.SystemState - 1);
    else
      text += "D" + std::to_string(irp.power_state.DeviceState - 1);
    log.push_back(text);
  }
  return log;
}

// What a power request's completion callback was given.
struct Requested {
  KEVENT done;
  PDEVICE_OBJECT device = nullptr;
  UCHAR minor = 0xFF;
  POWER_STATE state{};
  NTSTATUS status = STATUS_PENDING;
  ULONG calls = 0;
  KIRQL irql = HIGH_LEVEL;

  Requested() { KeInitializeEvent(&done, NotificationEvent, FALSE); }

  static void NTAPI callback(PDEVICE_OBJECT device, UCHAR minor,
                             POWER_STATE state, PVOID context,
                             PIO_STATUS_BLOCK status) {
    auto *self = static_cast<Requested *>(context);
    self->device = device;
    self->minor = minor;
    self->state = state;
    self->status = status->Status;
    self->irql = KeGetCurrentIrql();
    ++self->calls;
    KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
  }

  void wait() {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
};

POWER_STATE device_state(DEVICE_POWER_STATE state) {
  POWER_STATE power;
  power.DeviceState = state;
  return power;
}

TestChild waking_child() {
  TestChild child;
  child.system_wake = PowerSystemSleeping3;
  child.device_wake = PowerDeviceD2;
  child.sleep_state = PowerDeviceD2;
  return child;
}

class PowerTest : public SimTest {};

TEST_F(PowerTest, SleepAndResumeUnderManySeeds) {
  for (std::uint64_t seed : sweep(30)) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    start(seed);
    run([&] {
      TestStack stack(kernel());
      PDEVICE_OBJECT pdo = stack.bus.add_child();
      ASSERT_EQ(stack.pnp.add_device(pdo), STATUS_SUCCESS);
      PDEVICE_OBJECT fdo = stack.pnp.function_device(pdo);
      PPNP_TEST_EXTENSION extension = stack.extension(pdo);

      ASSERT_EQ(stack.power.sleep(PowerSystemSleeping3), STATUS_SUCCESS);
      EXPECT_EQ(stack.power.system_state(), PowerSystemSleeping3);
      // The driver held the system request until its D3 request was done.
      EXPECT_THAT(power_log(stack.bus, pdo),
                  ElementsAre("query S3", "set D3", "set S3"));
      EXPECT_EQ(extension->DeviceRequests, 1u);
      EXPECT_EQ(extension->DeviceCompletions, 1u);
      EXPECT_EQ(extension->SystemPowerIrp, nullptr);
      EXPECT_EQ(stack.pnp.device_power(fdo), PowerDeviceD3);
      EXPECT_EQ(stack.pnp.device_power(pdo), PowerDeviceD3);

      ASSERT_EQ(stack.power.wake(), STATUS_SUCCESS);
      EXPECT_EQ(stack.power.system_state(), PowerSystemWorking);
      EXPECT_THAT(
          power_log(stack.bus, pdo),
          ElementsAre("query S3", "set D3", "set S3", "set D0", "set S0"));
      EXPECT_EQ(stack.pnp.device_power(fdo), PowerDeviceD0);
      EXPECT_EQ(extension->DevicePower, PowerDeviceD0);

      EXPECT_EQ(stack.unplug(pdo), STATUS_SUCCESS);
    });
    finish();
  }
}

TEST_F(PowerTest, LastAddedSleepsFirstAndWakesLast) {
  run([&] {
    TestStack stack(kernel());
    PDEVICE_OBJECT first = stack.bus.add_child();
    PDEVICE_OBJECT second = stack.bus.add_child();
    PDEVICE_OBJECT removed = stack.bus.add_child();
    ASSERT_EQ(stack.pnp.add_device(first), STATUS_SUCCESS);
    ASSERT_EQ(stack.pnp.add_device(second), STATUS_SUCCESS);
    ASSERT_EQ(stack.pnp.add_device(removed), STATUS_SUCCESS);
    ASSERT_EQ(stack.pnp.surprise_remove(removed), STATUS_SUCCESS);

    ASSERT_EQ(stack.power.sleep(PowerSystemSleeping1), STATUS_SUCCESS);
    ASSERT_EQ(stack.power.wake(), STATUS_SUCCESS);
    auto system_irps = [&](PDEVICE_OBJECT pdo) {
      std::vector<std::uint64_t> order;
      for (const SeenIrp &irp : stack.bus.seen(pdo))
        if (irp.major == IRP_MJ_POWER && irp.power_type == SystemPowerState)
          order.push_back(irp.sequence);
      return order;
    };
    auto a = system_irps(first);
    auto b = system_irps(second);
    ASSERT_EQ(a.size(), 3u); // query S1, set S1, set S0
    ASSERT_EQ(b.size(), 3u);
    EXPECT_LT(b[0], a[0]);
    EXPECT_LT(b[1], a[1]);
    EXPECT_GT(b[2], a[2]);
    // A surprise-removed device gets no power requests.
    EXPECT_TRUE(power_log(stack.bus, removed).empty());

    ASSERT_EQ(stack.pnp.remove(removed), STATUS_SUCCESS);
    for (PDEVICE_OBJECT pdo : {first, second}) {
      EXPECT_EQ(stack.unplug(pdo), STATUS_SUCCESS);
    }
  });
}

TEST_F(PowerTest, RefusedSleepQueryReturnsEveryoneQueriedToWorking) {
  run([&] {
    PNP_TEST_OPTIONS options{};
    options.QuerySleepStatus = STATUS_UNSUCCESSFUL;
    TestStack stack(kernel(), options);
    PDEVICE_OBJECT first = stack.bus.add_child();
    PDEVICE_OBJECT second = stack.bus.add_child();
    ASSERT_EQ(stack.pnp.add_device(first), STATUS_SUCCESS);
    ASSERT_EQ(stack.pnp.add_device(second), STATUS_SUCCESS);

    EXPECT_EQ(stack.power.sleep(PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stack.power.system_state(), PowerSystemWorking);
    // The second device refused first (its driver kept the query); the
    // first was never queried.
    EXPECT_THAT(power_log(stack.bus, second), ElementsAre("set S0"));
    EXPECT_TRUE(power_log(stack.bus, first).empty());
    EXPECT_EQ(stack.extension(second)->DeviceRequests, 0u);

    for (PDEVICE_OBJECT pdo : {first, second}) {
      EXPECT_EQ(stack.unplug(pdo), STATUS_SUCCESS);
    }
  });
}

TEST_F(PowerTest, ShutdownAndHibernateCarryTheirAction) {
  run([&] {
    TestStack stack(kernel());
    PDEVICE_OBJECT pdo = stack.bus.add_child();
    ASSERT_EQ(stack.pnp.add_device(pdo), STATUS_SUCCESS);
    ASSERT_EQ(stack.power.sleep(PowerSystemHibernate), STATUS_SUCCESS);
    ASSERT_EQ(stack.power.wake(), STATUS_SUCCESS);
    ASSERT_EQ(stack.power.sleep(PowerSystemShutdown), STATUS_SUCCESS);
    EXPECT_THAT(power_log(stack.bus, pdo),
                ElementsAre("query S4", "set D3", "set S4", "set D0", "set S0",
                            "query S5", "set D3", "set S5"));
    std::vector<POWER_ACTION> actions;
    for (const SeenIrp &irp : stack.bus.seen(pdo))
      if (irp.major == IRP_MJ_POWER && irp.power_type == SystemPowerState)
        actions.push_back(irp.shutdown_type);
    EXPECT_THAT(actions, ElementsAre(PowerActionHibernate, PowerActionHibernate,
                                     PowerActionNone, PowerActionShutdown,
                                     PowerActionShutdown));
    ASSERT_EQ(stack.power.wake(), STATUS_SUCCESS);
    EXPECT_EQ(stack.unplug(pdo), STATUS_SUCCESS);
  });
}

TEST_F(PowerTest, TransitionsOutOfOrderAreRefusedAndSendNothing) {
  run([&] {
    TestStack stack(kernel());
    PDEVICE_OBJECT pdo = stack.bus.add_child();
    ASSERT_EQ(stack.pnp.add_device(pdo), STATUS_SUCCESS);
    auto &power = stack.power;
    for (SYSTEM_POWER_STATE state :
         {PowerSystemUnspecified, PowerSystemWorking, PowerSystemMaximum})
      EXPECT_EQ(power.sleep(state), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(power.wake(), STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(power.sleep(PowerSystemSleeping2), STATUS_SUCCESS);
    EXPECT_EQ(power.sleep(PowerSystemSleeping3), STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(power.wake(), STATUS_SUCCESS);
    EXPECT_EQ(power_log(stack.bus, pdo).size(), 5u);
    EXPECT_EQ(stack.unplug(pdo), STATUS_SUCCESS);
  });
}

TEST_F(PowerTest, RequestedPowerIrpEntersAtTheTopAndCallsBack) {
  run([&] {
    TestStack stack(kernel());
    PDEVICE_OBJECT pdo = stack.bus.add_child();
    ASSERT_EQ(stack.pnp.add_device(pdo), STATUS_SUCCESS);

    Requested set;
    PIRP irp = nullptr;
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER,
                                device_state(PowerDeviceD2),
                                Requested::callback, &set, &irp),
              STATUS_PENDING);
    EXPECT_NE(irp, nullptr);
    set.wait();
    EXPECT_EQ(set.calls, 1u);
    EXPECT_EQ(set.device, pdo);
    EXPECT_EQ(set.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(set.state.DeviceState, PowerDeviceD2);
    EXPECT_EQ(set.status, STATUS_SUCCESS);
    // It went through the function driver on its way to the bus.
    EXPECT_EQ(stack.extension(pdo)->DevicePower, PowerDeviceD2);
    EXPECT_EQ(stack.bus.device_state(pdo), PowerDeviceD2);

    Requested query;
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_QUERY_POWER,
                                device_state(PowerDeviceD3),
                                Requested::callback, &query, nullptr),
              STATUS_PENDING);
    query.wait();
    EXPECT_EQ(query.status, STATUS_SUCCESS);
    EXPECT_THAT(power_log(stack.bus, pdo), ElementsAre("set D2", "query D3"));

    // Refusals make no IRP and call nothing back.
    Requested refused;
    irp = reinterpret_cast<PIRP>(1);
    EXPECT_EQ(PoRequestPowerIrp(nullptr, IRP_MN_SET_POWER,
                                device_state(PowerDeviceD0),
                                Requested::callback, &refused, &irp),
              STATUS_INVALID_PARAMETER_1);
    EXPECT_EQ(irp, nullptr);
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_POWER_SEQUENCE,
                                device_state(PowerDeviceD0),
                                Requested::callback, &refused, nullptr),
              STATUS_INVALID_PARAMETER_2);
    for (auto state : {PowerDeviceUnspecified, PowerDeviceMaximum})
      EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, device_state(state),
                                  Requested::callback, &refused, nullptr),
                STATUS_INVALID_PARAMETER_3);
    POWER_STATE wake;
    wake.SystemState = PowerSystemMaximum;
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_WAIT_WAKE, wake,
                                Requested::callback, &refused, nullptr),
              STATUS_INVALID_PARAMETER_3);
    EXPECT_EQ(refused.calls, 0u);

    EXPECT_EQ(stack.unplug(pdo), STATUS_SUCCESS);
  });
}

TEST_F(PowerTest, RequestFromDispatchLevelReachesPageableDriverAtPassive) {
  run([&] {
    TestStack stack(kernel());
    PDEVICE_OBJECT pdo = stack.bus.add_child();
    ASSERT_EQ(stack.pnp.add_device(pdo), STATUS_SUCCESS);
    Requested set;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER,
                                device_state(PowerDeviceD3),
                                Requested::callback, &set, nullptr),
              STATUS_PENDING);
    KeLowerIrql(old);
    set.wait();
    EXPECT_EQ(set.status, STATUS_SUCCESS);
    EXPECT_EQ(set.irql, PASSIVE_LEVEL);
    // The driver's pageable dispatch routine would have been found
    // running at DISPATCH_LEVEL (the teardown checks for findings).
    EXPECT_EQ(stack.extension(pdo)->DevicePower, PowerDeviceD3);
    EXPECT_EQ(stack.unplug(pdo), STATUS_SUCCESS);
  });
}

TEST_F(PowerTest, PoSetPowerStateRecordsAndReturnsThePrevious) {
  run([&] {
    TestStack stack(kernel());
    PDEVICE_OBJECT pdo = stack.bus.add_child();
    ASSERT_EQ(stack.pnp.add_device(pdo), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = stack.pnp.function_device(pdo);
    EXPECT_EQ(
        PoSetPowerState(fdo, DevicePowerState, device_state(PowerDeviceD2))
            .DeviceState,
        PowerDeviceD0);
    EXPECT_EQ(
        PoSetPowerState(fdo, DevicePowerState, device_state(PowerDeviceD3))
            .DeviceState,
        PowerDeviceD2);
    EXPECT_EQ(stack.pnp.device_power(fdo), PowerDeviceD3);
    EXPECT_EQ(stack.pnp.device_power(pdo), PowerDeviceD0); // its own record
    POWER_STATE sleeping;
    sleeping.SystemState = PowerSystemSleeping3;
    EXPECT_EQ(PoSetPowerState(fdo, SystemPowerState, sleeping).SystemState,
              PowerSystemWorking);

    // A device object outside any PnP stack has no record: it is working.
    PDEVICE_OBJECT loose = nullptr;
    ASSERT_EQ(IoCreateDevice(stack.driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0,
                             FALSE, &loose),
              STATUS_SUCCESS);
    for (int i = 0; i < 2; ++i)
      EXPECT_EQ(
          PoSetPowerState(loose, DevicePowerState, device_state(PowerDeviceD3))
              .DeviceState,
          PowerDeviceD0);
    IoDeleteDevice(loose);

    // A state that is none is a finding and changes nothing.
    PoSetPowerState(fdo, DevicePowerState, device_state(PowerDeviceMaximum));
    auto findings = kernel().verifier().take();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].kind, FindingKind::DeviceMisuse);
    EXPECT_EQ(stack.pnp.device_power(fdo), PowerDeviceD3);

    EXPECT_EQ(stack.unplug(pdo), STATUS_SUCCESS);
  });
}

TEST_F(PowerTest, PowerRoutinesGivenOtherIrpsAreFound) {
  run([&] {
    TestStack stack(kernel());
    PDEVICE_OBJECT pdo = stack.bus.add_child();
    PoStartNextPowerIrp(nullptr);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp = IoBuildDeviceIoControlRequest(
        CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
        pdo, nullptr, 0, nullptr, 0, FALSE, &done, &status);
    ASSERT_NE(irp, nullptr);
    // Found, and still delivered (the completion sets the event).
    PoCallDriver(pdo, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    auto findings = kernel().verifier().take();
    ASSERT_EQ(findings.size(), 2u);
    EXPECT_THAT(findings[0].message, HasSubstr("an unknown IRP"));
    EXPECT_THAT(findings[1].message, HasSubstr("not IRP_MJ_POWER"));
  });
}

// ---------------------------------------------------------------------------
// Wait-wake

// Arms wait-wake on a started device of `stack` and returns its PDO.
PDEVICE_OBJECT armed_device(TestStack &stack) {
  PDEVICE_OBJECT pdo = stack.bus.add_child(waking_child());
  EXPECT_EQ(stack.pnp.add_device(pdo), STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = stack.pnp.function_device(pdo);
  EXPECT_EQ(PnpTestArmWake(fdo), STATUS_PENDING);
  EXPECT_TRUE(stack.bus.wake_pending(pdo));
  EXPECT_EQ(PnpTestArmWake(fdo), STATUS_INVALID_DEVICE_REQUEST);
  return pdo;
}

TEST_F(PowerTest, WaitWakeWokenOrCancelledUnderManySeeds) {
  for (std::uint64_t seed : sweep(30)) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    start(seed);
    run([&] {
      TestStack stack(kernel());
      PDEVICE_OBJECT pdo = armed_device(stack);
      PPNP_TEST_EXTENSION extension = stack.extension(pdo);
      // Woken, the request completes on its way; cancelled, the driver's
      // completion routine keeps it and its cancel path completes it.
      const bool woken = seed % 2 == 1;
      if (woken)
        EXPECT_TRUE(stack.bus.signal_wake(pdo));
      else
        PnpTestCancelWake(stack.pnp.function_device(pdo));
      EXPECT_EQ(extension->WakeCallbacks, 1u);
      EXPECT_EQ(extension->WakeStatus,
                woken ? STATUS_SUCCESS : STATUS_CANCELLED);
      EXPECT_EQ(extension->WaitWakeIrp, nullptr);
      EXPECT_FALSE(stack.bus.wake_pending(pdo));
      EXPECT_FALSE(stack.bus.signal_wake(pdo));
      EXPECT_EQ(stack.unplug(pdo), STATUS_SUCCESS);
    });
    finish();
  }
}

// The device wakes while its driver withdraws the request: exactly one of
// them finishes it and the callback comes once, whichever way the
// completion routine's hand-off to the cancel path interleaves.
TEST_F(PowerTest, WaitWakeWakeAndCancelRaceUnderManySeeds) {
  for (std::uint64_t seed : sweep(30)) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    start(seed);
    run([&] {
      TestStack stack(kernel());
      PDEVICE_OBJECT pdo = armed_device(stack);
      PPNP_TEST_EXTENSION extension = stack.extension(pdo);
      struct Side {
        TestStack *stack;
        PDEVICE_OBJECT pdo;
        KEVENT done;
      } wake{&stack, pdo, {}}, cancel{&stack, pdo, {}};
      auto start_side = [](Side &side, PKSTART_ROUTINE routine) {
        KeInitializeEvent(&side.done, NotificationEvent, FALSE);
        HANDLE handle;
        ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr,
                                       routine, &side),
                  STATUS_SUCCESS);
        ZwClose(handle);
      };
      start_side(wake, [](PVOID context) {
        auto *side = static_cast<Side *>(context);
        side->stack->bus.signal_wake(side->pdo);
        KeSetEvent(&side->done, IO_NO_INCREMENT, FALSE);
      });
      start_side(cancel, [](PVOID context) {
        auto *side = static_cast<Side *>(context);
        PnpTestCancelWake(side->stack->pnp.function_device(side->pdo));
        KeSetEvent(&side->done, IO_NO_INCREMENT, FALSE);
      });
      for (Side *side : {&wake, &cancel})
        KeWaitForSingleObject(&side->done, Executive, KernelMode, FALSE,
                              nullptr);
      EXPECT_EQ(extension->WakeCallbacks, 1u);
      EXPECT_TRUE(extension->WakeStatus == STATUS_SUCCESS ||
                  extension->WakeStatus == STATUS_CANCELLED)
          << std::hex << extension->WakeStatus;
      EXPECT_FALSE(stack.bus.wake_pending(pdo));
      EXPECT_EQ(stack.unplug(pdo), STATUS_SUCCESS);
    });
    finish();
  }
}

TEST_F(PowerTest, WaitWakeArmedAtSleepWakesTheDevice) {
  run([&] {
    PNP_TEST_OPTIONS options{};
    options.WakeFromSleep = TRUE;
    TestStack stack(kernel(), options);
    PDEVICE_OBJECT pdo = stack.bus.add_child(waking_child());
    ASSERT_EQ(stack.pnp.add_device(pdo), STATUS_SUCCESS);
    PPNP_TEST_EXTENSION extension = stack.extension(pdo);

    ASSERT_EQ(stack.power.sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    // Armed at the query; asleep in the state the bus gave for S3.
    EXPECT_THAT(power_log(stack.bus, pdo),
                ElementsAre("wait-wake", "query S3", "set D2", "set S3"));
    EXPECT_TRUE(stack.bus.wake_pending(pdo));
    EXPECT_EQ(extension->DevicePower, PowerDeviceD2);

    ASSERT_TRUE(stack.bus.signal_wake(pdo));
    EXPECT_EQ(extension->WakeCallbacks, 1u);
    EXPECT_EQ(extension->WakeStatus, STATUS_SUCCESS);
    EXPECT_EQ(extension->DevicePower, PowerDeviceD0);
    ASSERT_EQ(stack.power.wake(), STATUS_SUCCESS);
    // Already in D0: the system request went on without a device request.
    EXPECT_THAT(power_log(stack.bus, pdo),
                ElementsAre("wait-wake", "query S3", "set D2", "set S3",
                            "set D0", "set S0"));
    EXPECT_EQ(extension->DeviceRequests, 2u);

    EXPECT_EQ(stack.unplug(pdo), STATUS_SUCCESS);
  });
}

TEST_F(PowerTest, WaitWakeCompletionReachesTheRequesterInEveryCase) {
  run([&] {
    TestStack stack(kernel());
    PDEVICE_OBJECT waking = stack.bus.add_child(waking_child());
    PDEVICE_OBJECT sleepy = stack.bus.add_child();
    ASSERT_EQ(stack.pnp.add_device(waking), STATUS_SUCCESS);
    ASSERT_EQ(stack.pnp.add_device(sleepy), STATUS_SUCCESS);
    POWER_STATE s3;
    s3.SystemState = PowerSystemSleeping3;
    POWER_STATE s4;
    s4.SystemState = PowerSystemHibernate;

    // A bus that cannot wake the device says so.
    Requested unsupported;
    PoRequestPowerIrp(sleepy, IRP_MN_WAIT_WAKE, s3, Requested::callback,
                      &unsupported, nullptr);
    unsupported.wait();
    EXPECT_EQ(unsupported.status, STATUS_NOT_SUPPORTED);
    // Nor from deeper than it can.
    Requested too_deep;
    PoRequestPowerIrp(waking, IRP_MN_WAIT_WAKE, s4, Requested::callback,
                      &too_deep, nullptr);
    too_deep.wait();
    EXPECT_EQ(too_deep.status, STATUS_INVALID_DEVICE_STATE);
    // A second one while one is pending is refused.
    Requested first, second;
    PIRP irp = nullptr;
    PoRequestPowerIrp(waking, IRP_MN_WAIT_WAKE, s3, Requested::callback, &first,
                      &irp);
    PoRequestPowerIrp(waking, IRP_MN_WAIT_WAKE, s3, Requested::callback,
                      &second, nullptr);
    second.wait();
    EXPECT_EQ(second.status, STATUS_DEVICE_BUSY);
    // The pending one ends with the device.
    EXPECT_EQ(first.calls, 0u);
    ASSERT_EQ(stack.pnp.surprise_remove(waking), STATUS_SUCCESS);
    first.wait();
    EXPECT_EQ(first.status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(first.calls, 1u);

    ASSERT_EQ(stack.pnp.remove(waking), STATUS_SUCCESS);
    EXPECT_EQ(stack.unplug(sleepy), STATUS_SUCCESS);
  });
}

// ---------------------------------------------------------------------------
// Planted bugs of the test driver.

TEST_F(PowerTest, SystemIrpHeldForeverIsFound) {
  run([&] {
    PNP_TEST_OPTIONS options{};
    options.BugHoldSystemIrp = TRUE;
    TestStack stack(kernel(), options);
    stack.power.set_irp_timeout(30ull * 10'000'000);
    PDEVICE_OBJECT pdo = stack.bus.add_child();
    ASSERT_EQ(stack.pnp.add_device(pdo), STATUS_SUCCESS);
    std::uint64_t before = kernel().now();
    EXPECT_EQ(stack.power.sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(kernel().now() - before, 30ull * 10'000'000);
    auto findings = kernel().verifier().take();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].kind, FindingKind::IrpLeftPending);
    EXPECT_THAT(findings[0].message,
                HasSubstr("IRP_MN_SET_POWER sent to device"));
    EXPECT_THAT(findings[0].message, HasSubstr("not completed within 30 s"));
    // Let go at last, it completes to the power manager as usual.
    PnpTestReleaseSystemIrp(stack.pnp.function_device(pdo));
    EXPECT_EQ(stack.bus.minors(pdo, IRP_MJ_POWER).back(), IRP_MN_SET_POWER);
    EXPECT_EQ(stack.unplug(pdo), STATUS_SUCCESS);
  });
}

TEST_F(PowerTest, FailedSystemSetPowerIsFound) {
  run([&] {
    PNP_TEST_OPTIONS options{};
    options.BugFailSystemSetPower = TRUE;
    TestStack stack(kernel(), options);
    PDEVICE_OBJECT pdo = stack.bus.add_child();
    ASSERT_EQ(stack.pnp.add_device(pdo), STATUS_SUCCESS);
    EXPECT_EQ(stack.power.sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    auto findings = kernel().verifier().take();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].kind, FindingKind::IrpMisuse);
    EXPECT_THAT(findings[0].message,
                HasSubstr("system IRP_MN_SET_POWER S3 failed with 0xC0000001"));
    EXPECT_THAT(findings[0].site, HasSubstr("DispatchPower"));
    EXPECT_EQ(stack.unplug(pdo), STATUS_SUCCESS);
  });
}

// Tools and pcscd run the same managers on real threads and time.
TEST(PowerRealTime, DeviceLifeSleepAndWake) {
  kernel::Options options;
  options.clock = kernel::Clock::RealTime;
  kernel::Kernel kernel(options);
  {
    TestStack stack(kernel);
    PDEVICE_OBJECT pdo = stack.bus.add_child(waking_child());
    ASSERT_EQ(stack.pnp.add_device(pdo), STATUS_SUCCESS);
    EXPECT_EQ(stack.power.sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(stack.power.wake(), STATUS_SUCCESS);
    PPNP_TEST_EXTENSION extension = stack.extension(pdo);
    EXPECT_EQ(PnpTestArmWake(stack.pnp.function_device(pdo)), STATUS_PENDING);
    EXPECT_TRUE(stack.bus.signal_wake(pdo));
    EXPECT_EQ(extension->WakeStatus, STATUS_SUCCESS);
    EXPECT_EQ(stack.pnp.query_remove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(stack.pnp.remove(pdo), STATUS_SUCCESS);
  }
  kernel.check_teardown();
  EXPECT_TRUE(kernel.verifier().empty());
}

} // namespace
} // namespace talvor::test
