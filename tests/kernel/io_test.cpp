// The I/O manager: device stacks, the completion walk, cancel, built
// requests, work items, device interfaces, the event log, and the verifier's
// I/O findings.
#include <cstring>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/kernel/driver/io_driver.h"
#include "tests/support/sim.h"

namespace talvor::test {
namespace {

using kernel::FindingKind;
using ::testing::HasSubstr;

class IoTest : public SimTest {
protected:
  // Builds the two-driver stack inside the current run.
  void build() {
    auto &io = kernel().io();
    lower_driver_ = io.create_driver("\\Driver\\TestLower", "TestLower");
    upper_driver_ = io.create_driver("\\Driver\\TestUpper", "TestUpper");
    TestLowerInitialize(lower_driver_);
    TestUpperInitialize(upper_driver_);
    ASSERT_EQ(TestBuildStack(lower_driver_, upper_driver_, &lower_, &upper_),
              STATUS_SUCCESS);
  }
  void tear_down() {
    TestTearDownStack(lower_, upper_);
    kernel().io().delete_driver(upper_driver_);
    kernel().io().delete_driver(lower_driver_);
  }
  PTEST_LOWER_EXTENSION lower_extension() {
    return static_cast<PTEST_LOWER_EXTENSION>(lower_->DeviceExtension);
  }
  PTEST_UPPER_EXTENSION upper_extension() {
    return static_cast<PTEST_UPPER_EXTENSION>(upper_->DeviceExtension);
  }

  PDRIVER_OBJECT lower_driver_ = nullptr;
  PDRIVER_OBJECT upper_driver_ = nullptr;
  PDEVICE_OBJECT lower_ = nullptr;
  PDEVICE_OBJECT upper_ = nullptr;
};

TEST_F(IoTest, StackShapeAndNames) {
  run([&] {
    build();
    EXPECT_EQ(upper_->StackSize, 2);
    EXPECT_EQ(lower_->AttachedDevice, upper_);
    EXPECT_EQ(IoGetAttachedDevice(lower_), upper_);
    EXPECT_EQ(kernel().io().find_device("\\device\\testlower"), lower_);
    EXPECT_EQ(kernel().io().devices_of(lower_driver_),
              std::vector<PDEVICE_OBJECT>{lower_});
    // A second device may not take a name that is in use.
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\TestLower");
    PDEVICE_OBJECT clash = nullptr;
    EXPECT_EQ(IoCreateDevice(lower_driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0,
                             FALSE, &clash),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(clash, nullptr);
    tear_down();
    EXPECT_EQ(kernel().io().find_device("\\Device\\TestLower"), nullptr);
  });
}

TEST_F(IoTest, BuiltRequestCopiesBufferedOutputAndIsFreed) {
  run([&] {
    build();
    const char input[] = "abcdef";
    char output[4] = {};
    ULONG_PTR information = 0;
    EXPECT_EQ(TestSendAndWait(upper_, IOCTL_TEST_COMPLETE,
                              const_cast<char *>(input), 6, output, 4,
                              &information),
              STATUS_SUCCESS);
    // Four bytes fit: the lower driver reversed "abcd".
    EXPECT_EQ(information, 4u);
    EXPECT_EQ(std::string(output, 4), "dcba");
    EXPECT_EQ(upper_extension()->CompletionCalls, 1);
    EXPECT_EQ(upper_extension()->CompletionDevice, upper_);
    EXPECT_FALSE(upper_extension()->SawPendingReturned);

    // An error status copies nothing back.
    char untouched[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(TestSendAndWait(upper_, 0x12345, const_cast<char *>(input), 6,
                              untouched, 4, nullptr),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(std::string(untouched, 4), "xxxx");
    tear_down();
  });
}

// Sends a request built for `code` with `status` as its input, optionally
// taken back by a completion routine and completed again, as a driver hands
// a request back. Returns what IoCallDriver returned.
NTSTATUS send_built(PDEVICE_OBJECT device, ULONG code, NTSTATUS status,
                    bool take_back, PKEVENT done, PIO_STATUS_BLOCK block) {
  KeInitializeEvent(done, NotificationEvent, FALSE);
  *block = {};
  block->Status = 0x12345678; // not a status: written or not
  PIRP irp = IoBuildDeviceIoControlRequest(code, device, &status, sizeof status,
                                           nullptr, 0, FALSE, done, block);
  if (take_back)
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        nullptr, TRUE, TRUE, TRUE);
  NTSTATUS returned = IoCallDriver(device, irp);
  if (take_back) {
    if (returned == STATUS_PENDING)
      TestLowerCompleteQueued(
          static_cast<PTEST_UPPER_EXTENSION>(device->DeviceExtension)->Lower,
          status);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  return returned;
}

// The caller of a built request hears of it only as Windows tells it: a
// failure that was never pending is freed without a word, anything else
// fills the status block and sets the event; the same for a request taken
// back and completed again.
TEST_F(IoTest, BuiltRequestReportsToItsCallerAsWindowsDoes) {
  run([&] {
    build();
    for (bool take_back : {false, true}) {
      for (NTSTATUS status :
           {STATUS_SUCCESS, STATUS_BUFFER_OVERFLOW, STATUS_UNSUCCESSFUL}) {
        KEVENT done;
        IO_STATUS_BLOCK block;
        EXPECT_EQ(send_built(upper_, IOCTL_TEST_COMPLETE_WITH, status,
                             take_back, &done, &block),
                  status);
        const bool told = !NT_ERROR(status);
        EXPECT_EQ(KeReadStateEvent(&done), told ? 1 : 0) << std::hex << status;
        EXPECT_EQ(block.Status, told ? status : 0x12345678) << take_back;
      }
      // A failure after STATUS_PENDING is told.
      KEVENT done;
      IO_STATUS_BLOCK block;
      EXPECT_EQ(send_built(upper_, IOCTL_TEST_PEND, STATUS_UNSUCCESSFUL,
                           take_back, &done, &block),
                STATUS_PENDING);
      if (!take_back)
        TestLowerCompleteQueued(lower_, STATUS_UNSUCCESSFUL);
      EXPECT_EQ(KeReadStateEvent(&done), 1);
      EXPECT_EQ(block.Status, STATUS_UNSUCCESSFUL);
    }
    tear_down();
  });
}

TEST_F(IoTest, WaitForAFailedBuiltRequestIsADeadlock) {
  kernel().verifier().set_echo(false);
  auto result = kernel().run([&] {
    build();
    KEVENT done;
    IO_STATUS_BLOCK block;
    send_built(upper_, IOCTL_TEST_COMPLETE_WITH, STATUS_UNSUCCESSFUL, false,
               &done, &block);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  });
  ASSERT_EQ(result.outcome, kernel::RunOutcome::Deadlock);
  EXPECT_THAT(result.report, HasSubstr("notification event"));
  kernel().verifier().take();
  start(default_seed());
}

TEST_F(IoTest, AutogeneratedNameIgnoresTheNamePassed) {
  run([&] {
    build();
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\TestLower");
    PDEVICE_OBJECT first = nullptr, second = nullptr;
    ASSERT_EQ(IoCreateDevice(lower_driver_, 0, &name, FILE_DEVICE_UNKNOWN,
                             FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &first),
              STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(lower_driver_, 0, &name, FILE_DEVICE_UNKNOWN,
                             FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &second),
              STATUS_SUCCESS);
    auto &io = kernel().io();
    EXPECT_EQ(io.name_of(first), "\\Device\\00000001");
    EXPECT_EQ(io.name_of(second), "\\Device\\00000002");
    EXPECT_EQ(io.find_device("\\Device\\TestLower"), lower_);
    IoDeleteDevice(second);
    IoDeleteDevice(first);
    tear_down();
  });
}

TEST_F(IoTest, PendingPropagatesAndForwardAndWaitTakesTheIrpBack) {
  run([&] {
    build();
    EXPECT_EQ(TestSendAndWait(upper_, IOCTL_TEST_PEND_UNCANCELLABLE, nullptr, 0,
                              nullptr, 0, nullptr),
              STATUS_SUCCESS);
    EXPECT_TRUE(upper_extension()->SawPendingReturned);

    char data[3] = {'x', 'y', 'z'};
    char output[3] = {};
    EXPECT_EQ(TestSendAndWait(upper_, IOCTL_TEST_FORWARD_AND_WAIT, data, 3,
                              output, 3, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(std::string(output, 3), "zyx");
    tear_down();
  });
}

// The lower driver completes from its own thread; the completion routine
// wakes the upper driver, which finishes the IRP while the routine may not
// have returned yet.
TEST_F(IoTest, ForwardAndWaitAgainstACompletionThreadUnderManySeeds) {
  for (std::uint64_t seed : sweep(30)) {
    start(seed);
    run([&] {
      build();
      EXPECT_EQ(TestSendAndWait(upper_, IOCTL_TEST_FORWARD_PENDING, nullptr, 0,
                                nullptr, 0, nullptr),
                STATUS_SUCCESS);
      tear_down();
    });
    finish();
  }
}

TEST_F(IoTest, CancelRacesCompletionUnderManySeeds) {
  for (std::uint64_t seed : sweep(40)) {
    start(seed);
    run([&] {
      build();
      // The canceller and a completer race for the same request: exactly
      // one wins, and the IRP completes once (the verifier checks that).
      struct Race {
        PDEVICE_OBJECT lower;
        KEVENT done;
      } race{lower_, {}};
      KeInitializeEvent(&race.done, NotificationEvent, FALSE);
      HANDLE handle;
      PsCreateSystemThread(
          &handle, 0, NULL, NULL, NULL,
          [](PVOID context) {
            auto *r = static_cast<Race *>(context);
            LARGE_INTEGER delay;
            delay.QuadPart = -10000;
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            TestLowerCompleteQueued(r->lower, STATUS_SUCCESS);
            KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
          },
          &race);
      ZwClose(handle);
      NTSTATUS status = TestSendAndCancel(upper_, IOCTL_TEST_PEND, 1);
      EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED)
          << std::hex << status;
      KeWaitForSingleObject(&race.done, Executive, KernelMode, FALSE, NULL);
      EXPECT_EQ(lower_extension()->Completed + lower_extension()->Cancelled, 1);
      tear_down();
    });
    finish();
  }
}

TEST_F(IoTest, CancelOfAnUncancellableRequestWaitsForItsCompletion) {
  run([&] {
    build();
    EXPECT_EQ(TestSendAndCancel(upper_, IOCTL_TEST_PEND_UNCANCELLABLE, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(TestSendAndCancel(upper_, IOCTL_TEST_PEND, 0), STATUS_CANCELLED);
    tear_down();
  });
}

TEST_F(IoTest, WorkItemRunsAtPassiveLevelAndMayWait) {
  run([&] {
    build();
    struct Work {
      KEVENT done;
      KIRQL irql;
      PDEVICE_OBJECT device;
    } work{{}, HIGH_LEVEL, nullptr};
    KeInitializeEvent(&work.done, NotificationEvent, FALSE);
    PIO_WORKITEM item = IoAllocateWorkItem(lower_);
    ASSERT_NE(item, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoQueueWorkItem(
        item,
        [](PDEVICE_OBJECT device, PVOID context) {
          auto *w = static_cast<Work *>(context);
          w->irql = KeGetCurrentIrql();
          w->device = device;
          LARGE_INTEGER delay;
          delay.QuadPart = -10000;
          KeDelayExecutionThread(KernelMode, FALSE, &delay);
          KeSetEvent(&w->done, IO_NO_INCREMENT, FALSE);
        },
        DelayedWorkQueue, &work);
    KeLowerIrql(old);
    KeWaitForSingleObject(&work.done, Executive, KernelMode, FALSE, NULL);
    EXPECT_EQ(work.irql, PASSIVE_LEVEL);
    EXPECT_EQ(work.device, lower_);
    LARGE_INTEGER settle;
    settle.QuadPart = -10000;
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    IoFreeWorkItem(item);
    tear_down();
  });
}

TEST_F(IoTest, DeviceInterfaces) {
  static const GUID kClass = {0x50DD5230,
                              0xBA8A,
                              0x11D1,
                              {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
  run([&] {
    build();
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(lower_, &kClass, NULL, &link),
              STATUS_SUCCESS);
    std::u16string text(reinterpret_cast<char16_t *>(link.Buffer),
                        link.Length / 2);
    EXPECT_EQ(text, u"\\??\\Device#TestLower#{50DD5230-BA8A-11D1-BF5D-"
                    u"0000F805F530}");
    EXPECT_TRUE(kernel().io().interfaces(kClass).empty());
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE),
              STATUS_OBJECT_NAME_EXISTS);
    auto enabled = kernel().io().interfaces(kClass);
    ASSERT_EQ(enabled.size(), 1u);
    EXPECT_EQ(kernel().io().open_interface(enabled[0].symbolic_link), upper_);
    // Only a physical device object carries interfaces.
    UNICODE_STRING other{};
    EXPECT_EQ(IoRegisterDeviceInterface(upper_, &kClass, NULL, &other),
              STATUS_INVALID_DEVICE_REQUEST);
    kernel().verifier().take();
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_TRUE(kernel().io().interfaces(kClass).empty());
    RtlFreeUnicodeString(&link);
    tear_down();
  });
}

TEST_F(IoTest, EventLogKeepsWhatTheDriverWrote) {
  run([&] {
    build();
    UCHAR size = sizeof(IO_ERROR_LOG_PACKET) + sizeof(ULONG) + 8;
    auto *packet = static_cast<PIO_ERROR_LOG_PACKET>(
        IoAllocateErrorLogEntry(lower_driver_, size));
    ASSERT_NE(packet, nullptr);
    packet->ErrorCode = static_cast<NTSTATUS>(0xC0100003);
    packet->DumpDataSize = 2 * sizeof(ULONG);
    packet->DumpData[0] = 7;
    packet->DumpData[1] = 9;
    packet->NumberOfStrings = 1;
    packet->StringOffset = static_cast<USHORT>(size - 4);
    auto *text = reinterpret_cast<char16_t *>(reinterpret_cast<PUCHAR>(packet) +
                                              packet->StringOffset);
    text[0] = u'A';
    text[1] = 0;
    IoWriteErrorLogEntry(packet);
    // Too large an entry is refused, as documented.
    EXPECT_EQ(IoAllocateErrorLogEntry(lower_driver_, 255), nullptr);
    tear_down();
  });
  auto log = kernel().io().error_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(static_cast<ULONG>(log[0].error_code), 0xC0100003u);
  EXPECT_EQ(log[0].device, "\\Driver\\TestLower");
  EXPECT_EQ(log[0].dump_data, (std::vector<ULONG>{7, 9}));
  EXPECT_EQ(log[0].strings, std::vector<std::string>{"A"});
}

// --- planted bugs
// -------------------------------------------------------------

class IoVerifierTest : public IoTest {
protected:
  std::vector<kernel::Finding> planted(std::function<void()> bug) {
    kernel().verifier().set_echo(false);
    run([&] {
      build();
      bug();
    });
    kernel().check_teardown();
    return kernel().verifier().take();
  }
  static bool has(const std::vector<kernel::Finding> &findings,
                  FindingKind kind) {
    for (const auto &finding : findings)
      if (finding.kind == kind)
        return true;
    return false;
  }
};

TEST_F(IoVerifierTest, CompletedTwice) {
  auto findings = planted([&] {
    TestSendAndWait(upper_, IOCTL_TEST_COMPLETE_TWICE, nullptr, 0, nullptr, 0,
                    nullptr);
    tear_down();
  });
  EXPECT_TRUE(has(findings, FindingKind::IrpCompletedTwice));
}

TEST_F(IoVerifierTest, CompletedWithCancelRoutineSet) {
  auto findings = planted([&] {
    TestSendAndWait(upper_, IOCTL_TEST_KEEP_CANCEL_ROUTINE, nullptr, 0, nullptr,
                    0, nullptr);
    tear_down();
  });
  ASSERT_TRUE(has(findings, FindingKind::IrpMisuse));
  EXPECT_THAT(kernel::to_string(findings.front()),
              HasSubstr("cancel routine still set"));
}

TEST_F(IoVerifierTest, TouchedAfterCompletion) {
  auto findings = planted([&] {
    KEVENT done;
    IO_STATUS_BLOCK status_block;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(IOCTL_TEST_COMPLETE, upper_, nullptr, 0,
                                      nullptr, 0, FALSE, &done, &status_block);
    EXPECT_EQ(IoCallDriver(upper_, irp), STATUS_SUCCESS);
    // The I/O manager has freed it: sending it again is refused.
    EXPECT_EQ(IoCallDriver(upper_, irp), STATUS_INVALID_PARAMETER);
    tear_down();
  });
  ASSERT_TRUE(has(findings, FindingKind::IrpMisuse));
  EXPECT_THAT(kernel::to_string(findings.front()),
              HasSubstr("touched after completion"));
}

TEST_F(IoVerifierTest, NoStackLocationLeft) {
  auto findings = planted([&] {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    // One location for a two-device stack: the lower call finds none.
    EXPECT_EQ(IoCallDriver(upper_, irp), STATUS_INVALID_PARAMETER);
    tear_down();
  });
  ASSERT_TRUE(has(findings, FindingKind::IrpMisuse));
  EXPECT_THAT(kernel::to_string(findings.front()),
              HasSubstr("no stack location left"));
}

TEST_F(IoVerifierTest, FreedWhileQueuedAndLeftPendingAtDelete) {
  auto findings = planted([&] {
    PIRP irp = IoAllocateIrp(lower_->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_TEST_HOLD_FOREVER;
    EXPECT_EQ(IoCallDriver(lower_, irp), STATUS_PENDING);
    IoFreeIrp(irp);
    tear_down();
  });
  EXPECT_TRUE(has(findings, FindingKind::IrpMisuse));
  EXPECT_TRUE(has(findings, FindingKind::IrpLeftPending));
}

TEST_F(IoVerifierTest, DeviceDeletedWhileAttachedOrInterfaceEnabled) {
  static const GUID kClass = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  auto findings = planted([&] {
    UNICODE_STRING link{};
    IoRegisterDeviceInterface(lower_, &kClass, NULL, &link);
    IoSetDeviceInterfaceState(&link, TRUE);
    IoDeleteDevice(upper_); // still attached
    IoDetachDevice(lower_);
    IoDeleteDevice(lower_); // interface still enabled
    RtlFreeUnicodeString(&link);
  });
  ASSERT_GE(findings.size(), 2u);
  EXPECT_THAT(findings[0].message, HasSubstr("still attached"));
  EXPECT_THAT(findings[1].message, HasSubstr("still enabled"));
}

TEST_F(IoVerifierTest, IrpsBelongToWhoeverMadeThem) {
  auto findings = planted([&] {
    // From IoAllocateIrp: no thread, and nobody to finish it at the top.
    PIRP irp = IoAllocateIrp(lower_->StackSize, FALSE);
    EXPECT_EQ(irp->Tail.Overlay.Thread, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_TEST_COMPLETE;
    EXPECT_EQ(IoCallDriver(lower_, irp), STATUS_SUCCESS);
    // Built: the calling thread's, and the I/O manager's to free.
    KEVENT done;
    IO_STATUS_BLOCK block;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP built =
        IoBuildDeviceIoControlRequest(IOCTL_TEST_COMPLETE, lower_, nullptr, 0,
                                      nullptr, 0, FALSE, &done, &block);
    EXPECT_EQ(built->Tail.Overlay.Thread, PsGetCurrentThread());
    IoReuseIrp(built, STATUS_SUCCESS);
    IoFreeIrp(built);
    tear_down();
  });
  ASSERT_EQ(findings.size(), 3u);
  EXPECT_THAT(findings[0].message,
              HasSubstr("from IoAllocateIrp completed past its last stack "
                        "location"));
  EXPECT_THAT(findings[1].message, HasSubstr("IoReuseIrp of IRP"));
  EXPECT_THAT(findings[2].message, HasSubstr("IoFreeIrp of IRP"));
  for (const auto &finding : findings) {
    EXPECT_EQ(finding.kind, FindingKind::IrpMisuse);
    EXPECT_THAT(finding.site, HasSubstr("IrpsBelongToWhoeverMadeThem"));
  }
  EXPECT_THAT(findings[2].message, HasSubstr("built by the I/O manager"));
}

// Each planted breach of the pending rule, on IRPs between drivers, is one
// finding that names the routine.
TEST_F(IoVerifierTest, PendingRuleHoldsForEveryIrp) {
  auto findings = planted([&] {
    // Straight to the lower driver: the upper one would pass the wrong mark
    // on faithfully and be reported too.
    for (ULONG code : {IOCTL_TEST_PEND_UNMARKED, IOCTL_TEST_MARK_AND_COMPLETE})
      EXPECT_EQ(TestSendAndWait(lower_, code, nullptr, 0, nullptr, 0, nullptr),
                STATUS_SUCCESS);
    EXPECT_EQ(TestSendAndWait(upper_, IOCTL_TEST_FORWARD_FORGETFUL, nullptr, 0,
                              nullptr, 0, nullptr),
              STATUS_SUCCESS);
    tear_down();
  });
  ASSERT_EQ(findings.size(), 3u);
  EXPECT_EQ(findings[0].message,
            "dispatch routine returned STATUS_PENDING for "
            "IRP_MJ_DEVICE_CONTROL to \\Device\\TestLower without "
            "IoMarkIrpPending");
  EXPECT_THAT(findings[0].site, HasSubstr("LowerDeviceControl"));
  EXPECT_EQ(findings[1].message,
            "dispatch routine marked IRP_MJ_DEVICE_CONTROL to "
            "\\Device\\TestLower pending but returned 0x00000000");
  EXPECT_THAT(findings[1].site, HasSubstr("LowerDeviceControl"));
  EXPECT_THAT(findings[2].message,
              HasSubstr("on up with PendingReturned set without "
                        "IoMarkIrpPending"));
  EXPECT_THAT(findings[2].site, HasSubstr("UpperForgetful"));
}

// Routines the kernel calls return as their contracts say; each breach is
// a finding naming that routine, and the kernel puts things back so that
// the next wait does not report it again.
TEST_F(IoVerifierTest, RoutinesReturnAsTheirContractsSay) {
  auto findings = planted([&] {
    for (ULONG code : {IOCTL_TEST_RETURN_RAISED, IOCTL_TEST_RETURN_LOCKED,
                       IOCTL_TEST_FORWARD_RAISING})
      EXPECT_EQ(TestSendAndWait(upper_, code, nullptr, 0, nullptr, 0, nullptr),
                STATUS_SUCCESS);
    EXPECT_EQ(TestSendAndCancel(upper_, IOCTL_TEST_PEND_BAD_CANCEL, 0),
              STATUS_CANCELLED);
    PIO_WORKITEM item = IoAllocateWorkItem(lower_);
    KEVENT ran;
    KeInitializeEvent(&ran, NotificationEvent, FALSE);
    IoQueueWorkItem(
        item,
        [](PDEVICE_OBJECT device, PVOID context) {
          auto *extension =
              static_cast<PTEST_LOWER_EXTENSION>(device->DeviceExtension);
          KIRQL irql;
          KeAcquireSpinLock(&extension->QueueLock, &irql);
          KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
        },
        DelayedWorkQueue, &ran);
    KeWaitForSingleObject(&ran, Executive, KernelMode, FALSE, nullptr);
    LARGE_INTEGER settle;
    settle.QuadPart = -10000;
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    IoFreeWorkItem(item);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    tear_down();
  });
  ASSERT_EQ(findings.size(), 5u);
  EXPECT_EQ(findings[0].kind, FindingKind::IrqlMisuse);
  EXPECT_EQ(findings[0].message,
            "dispatch routine returned at IRQL 2, entered at 0");
  EXPECT_THAT(findings[0].site, HasSubstr("LowerDeviceControl"));
  EXPECT_EQ(findings[1].kind, FindingKind::SpinLockMisuse);
  EXPECT_THAT(findings[1].message,
              HasSubstr("dispatch routine returned holding spin lock"));
  EXPECT_THAT(findings[1].site, HasSubstr("LowerDeviceControl"));
  EXPECT_EQ(findings[2].message,
            "completion routine returned at IRQL 2, entered at 0");
  EXPECT_THAT(findings[2].site, HasSubstr("UpperRaising"));
  EXPECT_EQ(findings[3].message,
            "cancel routine returned at IRQL 2 instead of the IRP's "
            "CancelIrql 0");
  EXPECT_THAT(findings[3].site, HasSubstr("LowerCancelRaised"));
  EXPECT_EQ(findings[4].kind, FindingKind::SpinLockMisuse);
  EXPECT_THAT(findings[4].message,
              HasSubstr("work item routine returned holding spin lock"));
}

// A call above the IRQL a routine accepts is a finding naming the caller.
TEST_F(IoVerifierTest, RoutinesRefuseCallsAboveTheirIrql) {
  auto findings = planted([&] {
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    PDEVICE_OBJECT extra = nullptr;
    EXPECT_EQ(IoCreateDevice(lower_driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0,
                             FALSE, &extra),
              STATUS_SUCCESS);
    PIRP irp = IoAllocateIrp(lower_->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(lower_, irp);
    KeLowerIrql(irql);
    IoFreeIrp(irp);
    IoDeleteDevice(extra);
    tear_down();
  });
  ASSERT_EQ(findings.size(), 2u);
  EXPECT_EQ(findings[0].message,
            "IoCreateDevice called at IRQL 2; it must be called at IRQL 0");
  EXPECT_EQ(findings[1].message, "IoCallDriver with IRP_MJ_PNP called at "
                                 "IRQL 2; it must be called at IRQL 0");
  for (const auto &finding : findings) {
    EXPECT_EQ(finding.kind, FindingKind::IrqlMisuse);
    EXPECT_THAT(finding.site, HasSubstr("RoutinesRefuseCallsAboveTheirIrql"));
  }
}

TEST_F(IoVerifierTest, DeviceNeverDeleted) {
  auto findings = planted([] {});
  EXPECT_TRUE(has(findings, FindingKind::DeviceLeak));
}

} // namespace
} // namespace talvor::test
