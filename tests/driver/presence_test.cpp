// The card presence thread and card tracking: presence bytes from the
// interrupt pipe, the card-change pulse, a removal aborting a running
// transfer, and the tracking request completed, cancelled and cleaned up.
#include <array>
#include <string>

#include <gtest/gtest.h>

#include "tests/driver/driver_fixture.h"

namespace talvor::test {
namespace {

const std::string kThreadEnter = "ThreadMain : Enter\n";
const std::string kRestart = "       - SCReadWrite - RESTART THREAD\n";

// A tracking request (IS_PRESENT or IS_ABSENT) sent to the reader on an IRP
// of the test's own, held back at completion so that a test may still
// cancel it after it has been completed.
struct Tracking {
  KEVENT done;
  PIRP irp = nullptr;
  NTSTATUS sent = STATUS_PENDING;
  NTSTATUS status = STATUS_PENDING;
  bool completed() { return KeReadStateEvent(&done) != 0; }
  static NTSTATUS Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto *request = static_cast<Tracking *>(context);
    request->status = irp->IoStatus.Status;
    KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  ~Tracking() {
    if (irp != nullptr) {
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      IoFreeIrp(irp);
    }
  }
};

class PresenceTest : public DriverTest {
protected:
  std::unique_ptr<Tracking> track(ULONG code) {
    auto request = std::make_unique<Tracking>();
    KeInitializeEvent(&request->done, NotificationEvent, FALSE);
    request->irp = IoAllocateIrp(fdo_->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(request->irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    IoSetCompletionRoutine(request->irp, Tracking::Completed, request.get(),
                           TRUE, TRUE, TRUE);
    request->sent = IoCallDriver(fdo_, request->irp);
    return request;
  }
  static NTSTATUS wait(Tracking &request) {
    KeWaitForSingleObject(&request.done, Executive, KernelMode, FALSE, nullptr);
    return request.status;
  }
  // Whether CardChangeEvent is seen signalled within `ms`, sampled often.
  bool card_change_seen(LONGLONG ms) {
    bool seen = false;
    for (LONGLONG t = 0; t < ms; t += 10) {
      seen = seen || KeReadStateEvent(&ext_->CardChangeEvent) != 0;
      delay_ms(10);
    }
    return seen;
  }
  NTSTATUS cleanup() {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(fdo_->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CLEANUP;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
          KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);
    IoCallDriver(fdo_, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
  }
  PIRP notification() { return smartcard()->OsData->NotificationIrp; }
};

TEST_F(PresenceTest, ThreadRecordsInsertionAndRemovalAndPulsesOnRemoval) {
  run([&] {
    build();
    start_with_thread();
    EXPECT_EQ(kernel().trace().count(kThreadEnter), 1u);
    EXPECT_NE(KeReadStateEvent(&ext_->ThreadStarted), 0);
    EXPECT_EQ(state(), ULONG{SCARD_ABSENT});

    // An insertion is recorded 50 ms after the reader reports it, without
    // a pulse.
    insert();
    delay_ms(45);
    EXPECT_EQ(state(), ULONG{SCARD_ABSENT});
    EXPECT_FALSE(card_change_seen(300));
    EXPECT_EQ(state(), ULONG{SCARD_PRESENT});
    EXPECT_TRUE(kernel().trace().contains("***** XXTHREAD Card is present\n"));

    // A powered card reported present again drops to SCARD_PRESENT.
    smartcard()->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    firmware_->inject_interrupt(1);
    settle();
    EXPECT_EQ(state(), ULONG{SCARD_PRESENT});

    // A removal is recorded as soon as the reader's next interrupt poll
    // (every 10 ms) reports it, and pulses the event for 100 ms.
    firmware_->remove();
    int polled = 0;
    while (state() != ULONG{SCARD_ABSENT} && polled < 11) {
      delay_ms(1);
      ++polled;
    }
    EXPECT_LE(polled, 10);
    EXPECT_EQ(state(), ULONG{SCARD_ABSENT});
    EXPECT_NE(KeReadStateEvent(&ext_->CardChangeEvent), 0);
    delay_ms(98);
    EXPECT_NE(KeReadStateEvent(&ext_->CardChangeEvent), 0);
    delay_ms(3);
    EXPECT_EQ(KeReadStateEvent(&ext_->CardChangeEvent), 0);

    // An unknown byte counts as absent, without the pulse.
    insert();
    settle();
    firmware_->inject_interrupt(7);
    EXPECT_FALSE(card_change_seen(300));
    EXPECT_EQ(state(), ULONG{SCARD_ABSENT});
    EXPECT_TRUE(kernel().trace().contains("*******XXTHREAD Unknown card\n"));
    tear_down();
  });
}

TEST_F(PresenceTest, StopEndsTheThreadThroughItsFailedRead) {
  run([&] {
    build();
    start_with_thread();
    UscrStopCardThread(ext_);
    EXPECT_EQ(KeReadStateEvent(&ext_->ThreadStarted), 0);
    EXPECT_NE(KeReadStateEvent(&ext_->ThreadStopped), 0);
    EXPECT_NE(KeReadStateEvent(&ext_->CardChangeEvent), 0);
    EXPECT_EQ(ext_->ThreadObject, nullptr);
    EXPECT_TRUE(kernel().trace().contains(
        "*******!!!!!!!  ThreadMain ThreadShouldStop3\n"));

    // Started again with the stop event still set, the thread keeps
    // waiting for the reader instead of ending or spinning.
    // The creator returns once the thread runs.
    ASSERT_NE(KeReadStateEvent(&ext_->ThreadStopEvent), 0);
    ASSERT_EQ(UscrStartCardThread(ext_), STATUS_SUCCESS);
    EXPECT_NE(KeReadStateEvent(&ext_->ThreadStarted), 0);
    EXPECT_EQ(KeReadStateEvent(&ext_->ThreadStopped), 0);
    // The old thread's last pulse is no card event for the new one.
    settle();
    EXPECT_EQ(KeReadStateEvent(&ext_->CardChangeEvent), 0);
    insert();
    settle();
    EXPECT_EQ(state(), ULONG{SCARD_PRESENT});
    EXPECT_EQ(kernel().trace().count(kThreadEnter), 2u);
    tear_down();
  });
}

TEST_F(PresenceTest, ReaderGoneEndsTheThread) {
  for (std::uint64_t seed : sweep(10)) {
    restart(seed);
    run([&] {
      build();
      start_with_thread();
      insert();
      settle();
      injector_->disconnect_now();
      KeWaitForSingleObject(&ext_->ThreadStopped, Executive, KernelMode, FALSE,
                            nullptr);
      EXPECT_EQ(KeReadStateEvent(&ext_->ThreadStarted), 0);
      EXPECT_NE(KeReadStateEvent(&ext_->CardChangeEvent), 0);
#ifdef TALVOR10
      EXPECT_EQ(state(), ULONG{SCARD_ABSENT});
      EXPECT_TRUE(kernel().trace().contains(
          "***********    Set card state to absent to avoiding USB3 long "
          "detachment"));
#else
      EXPECT_EQ(state(), ULONG{SCARD_PRESENT});
#endif
      // A thread whose first read fails at once has run by the time its
      // creator returns, whether or not it has ended yet.
      ASSERT_EQ(UscrStartCardThread(ext_), STATUS_SUCCESS);
      EXPECT_TRUE(KeReadStateEvent(&ext_->ThreadStarted) != 0 ||
                  KeReadStateEvent(&ext_->ThreadStopped) != 0);
      KeWaitForSingleObject(&ext_->ThreadStopped, Executive, KernelMode, FALSE,
                            nullptr);
      tear_down();
    });
    if (HasFailure())
      return;
  }
}

TEST_F(PresenceTest, RemovalAbortsARunningTransferAndRestartsTheThreadOnce) {
  for (std::uint64_t seed : sweep(20)) {
    restart(seed);
    run([&] {
      build();
      start_with_thread();
      insert();
      settle();
      UCHAR length = 0;
      READER_COMMAND reset = {0x40, READER_COLD_RESET, 0xFFFF, 0xFFFF, 1};
      ASSERT_EQ(USBSCCommand(fdo_, FALSE, &length, &reset), STATUS_SUCCESS);
      std::array<UCHAR, 64> buffer{};
      ULONG moved = 0;
      ASSERT_EQ(SCReadWriteDirectIO(smartcard(), buffer.data(), length, &moved,
                                    FALSE),
                STATUS_SUCCESS);
      // The card would be given 5 s to answer.
      reader()->BlockWaitingTime = 5'000'000;

      later(100, [&] { firmware_->remove(); });
      std::uint64_t before = KeQueryInterruptTime();
      EXPECT_EQ(SCReadWriteIO(smartcard(), buffer.data(), 5, &moved, FALSE, 1),
                STATUS_IO_TIMEOUT);
      EXPECT_LT(KeQueryInterruptTime() - before, ms(300));
      EXPECT_EQ(state(), ULONG{SCARD_ABSENT});
      // The thread was stopped, HOST ABORT sent and a new thread started.
      EXPECT_EQ(kernel().trace().count("*******ThreadMain ThreadShouldStop1\n"),
                1u);
      EXPECT_EQ(commands(READER_HOST_ABORT).size(), 1u);
      EXPECT_EQ(kernel().trace().count(kRestart), 1u);
      EXPECT_FALSE(ext_->ThreadShouldStop);
      EXPECT_NE(KeReadStateEvent(&ext_->ThreadStarted), 0);
      settle();
      EXPECT_EQ(kernel().trace().count(kThreadEnter), 2u);

      // A second failure before the next card event: HOST ABORT only.
      insert();
      settle();
      reader()->BlockWaitingTime = 0;
      EXPECT_EQ(SCReadWriteIO(smartcard(), buffer.data(), 5, &moved, FALSE, 1),
                STATUS_CANCELLED);
      EXPECT_EQ(commands(READER_HOST_ABORT).size(), 2u);
      EXPECT_EQ(kernel().trace().count(kRestart), 1u);

      // A removal while the read is being announced: no data asked for, the
      // same recovery, and the new thread records the next insertion.
      usb::TransferFilter announce;
      announce.request = READER_READ_LENGTH;
      injector_->inject(usb::Fault::delayed(ms(200)), announce);
      later(50, [&] { firmware_->remove(); });
      std::size_t reads = bulk(true).size();
      EXPECT_EQ(SCReadWriteIO(smartcard(), buffer.data(), 5, &moved, FALSE, 1),
                STATUS_IO_TIMEOUT);
      EXPECT_EQ(bulk(true).size(), reads);
      EXPECT_EQ(commands(READER_HOST_ABORT).size(), 3u);
      EXPECT_EQ(kernel().trace().count(kRestart), 2u);
      EXPECT_NE(KeReadStateEvent(&ext_->ThreadStarted), 0);
      insert();
      settle();
      EXPECT_EQ(state(), ULONG{SCARD_PRESENT});
      tear_down();
    });
    if (HasFailure())
      return;
  }
}

TEST_F(PresenceTest, RestartThatCannotCreateTheThreadTriesAgainLater) {
  run([&] {
    build();
    start_with_thread();
    UscrStopCardThread(ext_);
    kernel().fail_thread_creation(1);
    SCAbortAndRestart(fdo_, "restart\n");
    EXPECT_TRUE(ext_->ThreadShouldStop);
    EXPECT_NE(KeReadStateEvent(&ext_->ThreadStopped), 0);
    EXPECT_EQ(ext_->ThreadObject, nullptr);

    SCAbortAndRestart(fdo_, "restart\n");
    EXPECT_FALSE(ext_->ThreadShouldStop);
    EXPECT_NE(ext_->ThreadObject, nullptr);
    settle();
    EXPECT_EQ(kernel().trace().count("restart\n"), 2u);
    EXPECT_EQ(kernel().trace().count(kThreadEnter), 2u);
    EXPECT_EQ(commands(READER_HOST_ABORT).size(), 2u);
    tear_down();
  });
}

TEST_F(PresenceTest, TrackingCompletedByInsertionAndRemoval) {
  run([&] {
    build();
    start_with_thread();
    auto present = track(IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_EQ(present->sent, STATUS_PENDING);
    EXPECT_EQ(notification(), present->irp);
    insert();
    EXPECT_EQ(wait(*present), STATUS_SUCCESS);
    EXPECT_EQ(notification(), nullptr);

    auto absent = track(IOCTL_SMARTCARD_IS_ABSENT);
    EXPECT_EQ(absent->sent, STATUS_PENDING);
    // No change, nothing completed.
    firmware_->inject_interrupt(1);
    settle();
    EXPECT_FALSE(absent->completed());
    firmware_->remove();
    EXPECT_EQ(wait(*absent), STATUS_SUCCESS);
    EXPECT_EQ(notification(), nullptr);
    tear_down();
  });
}

TEST_F(PresenceTest, TrackingCancelledCleanedUpAndCompletedAfterResume) {
  for (std::uint64_t seed : sweep(10)) {
    restart(seed);
    run([&] {
      build();
      auto cancelled = track(IOCTL_SMARTCARD_IS_PRESENT);
      ASSERT_EQ(cancelled->sent, STATUS_PENDING);
      IoCancelIrp(cancelled->irp);
      EXPECT_EQ(wait(*cancelled), STATUS_CANCELLED);
      EXPECT_EQ(notification(), nullptr);

      auto closed = track(IOCTL_SMARTCARD_IS_PRESENT);
      ASSERT_EQ(closed->sent, STATUS_PENDING);
      EXPECT_EQ(cleanup(), STATUS_SUCCESS);
      EXPECT_EQ(wait(*closed), STATUS_SUCCESS);
      EXPECT_EQ(notification(), nullptr);
      // Nothing pending: cleanup and resume complete only themselves.
      EXPECT_EQ(cleanup(), STATUS_SUCCESS);
      CompleteCardTracking(ext_);

      auto resumed = track(IOCTL_SMARTCARD_IS_PRESENT);
      ASSERT_EQ(resumed->sent, STATUS_PENDING);
      CompleteCardTracking(ext_);
      EXPECT_EQ(wait(*resumed), STATUS_SUCCESS);
      EXPECT_TRUE(kernel().trace().contains(
          "SMCLIB!TLP3CompleteCardTracking: Completing NotificationIrp "));

      // A cancel racing a state change: completed once, either way.
      auto raced = track(IOCTL_SMARTCARD_IS_PRESENT);
      ASSERT_EQ(raced->sent, STATUS_PENDING);
      PIRP irp = raced->irp;
      later(0, [irp] { IoCancelIrp(irp); });
      CBUpdateCardState(ext_, 1);
      NTSTATUS status = wait(*raced);
      EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED);
      EXPECT_EQ(notification(), nullptr);
      tear_down();
    });
    if (HasFailure())
      return;
  }
}

TEST_F(PresenceTest, StateChangesThatCompleteNothing) {
  run([&] {
    build();
    // Unknown followed by absent is no change.
    smartcard()->ReaderCapabilities.CurrentState = SCARD_UNKNOWN;
    auto present = track(IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_EQ(present->sent, STATUS_PENDING);
    const std::string completing = "Uscr!CBUpdateCardState: Completing Irp ";
    CBUpdateCardState(ext_, 0);
    EXPECT_FALSE(present->completed());
    EXPECT_EQ(state(), ULONG{SCARD_ABSENT});
    EXPECT_EQ(
        kernel().trace().count("Uscr!CBUpdateCardState: Smart card removed\n"),
        1u);
    EXPECT_EQ(kernel().trace().count(completing), 0u);
    CBUpdateCardState(ext_, 1);
    EXPECT_EQ(wait(*present), STATUS_SUCCESS);
    EXPECT_EQ(kernel().trace().count(completing), 1u);

    // A powered card reported present again is no change.
    smartcard()->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    auto absent = track(IOCTL_SMARTCARD_IS_ABSENT);
    ASSERT_EQ(absent->sent, STATUS_PENDING);
    CBUpdateCardState(ext_, 1);
    EXPECT_FALSE(absent->completed());
    EXPECT_EQ(state(), ULONG{SCARD_PRESENT});
    EXPECT_EQ(notification(), absent->irp);
    EXPECT_EQ(
        kernel().trace().count("Uscr!CBUpdateCardState: Smart card inserted\n"),
        2u);
    EXPECT_EQ(kernel().trace().count(completing), 1u);
    // An unknown byte while present records absent and completes.
    CBUpdateCardState(ext_, 0x7F);
    EXPECT_EQ(wait(*absent), STATUS_SUCCESS);
    EXPECT_EQ(state(), ULONG{SCARD_ABSENT});
    EXPECT_EQ(kernel().trace().count(completing), 2u);
    EXPECT_EQ(notification(), nullptr);
    tear_down();
  });
}

// The library calls CBCardTracking after it has stored the request and let
// go of the card-state lock; this runs in that window first.
enum class InWindow { change, cancel, cancel_and_change };
InWindow in_window;

NTSTATUS TrackingAfterWindow(PSMARTCARD_EXTENSION SmartcardExtension) {
  // The smart card extension leads the device extension.
  auto *deviceExtension =
      reinterpret_cast<PDEVICE_EXTENSION>(SmartcardExtension);
  const UCHAR changed =
      SmartcardExtension->ReaderCapabilities.CurrentState > SCARD_ABSENT ? 0
                                                                         : 1;
  if (in_window != InWindow::change) {
    EXPECT_FALSE(IoCancelIrp(SmartcardExtension->OsData->NotificationIrp));
  }
  if (in_window != InWindow::cancel)
    CBUpdateCardState(deviceExtension, changed);
  return CBCardTracking(SmartcardExtension);
}

TEST_F(PresenceTest, TrackingRequestNotYetCancellableIsNeitherLostNorDoubled) {
  run([&] {
    build();
    smartcard()->ReaderFunction[RDF_CARD_TRACKING] = TrackingAfterWindow;
    const std::string completing = "Uscr!CBUpdateCardState: Completing Irp ";

    // The card arrives before the request is cancellable: completed by the
    // change, found gone by the callback.
    in_window = InWindow::change;
    auto present = track(IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_EQ(present->sent, STATUS_PENDING);
    EXPECT_TRUE(present->completed());
    EXPECT_EQ(wait(*present), STATUS_SUCCESS);
    EXPECT_EQ(state(), ULONG{SCARD_PRESENT});
    EXPECT_EQ(kernel().trace().count(completing), 1u);

    // Cancelled, then the card goes: the change completes it cancelled.
    in_window = InWindow::cancel_and_change;
    auto absent = track(IOCTL_SMARTCARD_IS_ABSENT);
    EXPECT_EQ(absent->sent, STATUS_PENDING);
    EXPECT_EQ(wait(*absent), STATUS_CANCELLED);
    EXPECT_EQ(state(), ULONG{SCARD_ABSENT});
    EXPECT_EQ(kernel().trace().count(completing), 1u);

    // Cancelled alone: the callback completes it, once.
    in_window = InWindow::cancel;
    auto cancelled = track(IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_EQ(cancelled->sent, STATUS_PENDING);
    EXPECT_EQ(wait(*cancelled), STATUS_CANCELLED);
    EXPECT_EQ(notification(), nullptr);
    EXPECT_EQ(kernel().trace().count("Uscr!CBCardTracking: Enter\n"), 3u);
    EXPECT_EQ(kernel().trace().count("Uscr!CBCardTracking: Exit \n"), 3u);
    EXPECT_EQ(kernel().trace().count("Uscr!UscrCancel: Enter\n"), 0u);
    tear_down();
  });
}

} // namespace
} // namespace talvor::test
