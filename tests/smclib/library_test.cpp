// Setting the library up and down, the remove lock (counting, refusal once
// removal began, the wait for the other holders, imbalances the verifier
// reports) and the event log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/kernel/pool.h"
#include "tests/smclib/reader_fixture.h"

namespace talvor::test {
namespace {

using kernel::FindingKind;
using ::testing::HasSubstr;

constexpr ULONG kLibraryTag = kernel::make_pool_tag("SmcL");

TEST_F(ReaderTest, InitializeChecksTheDriverAndCleansUpAfterItself) {
  run([&] {
    SMARTCARD_EXTENSION extension{};
    EXPECT_EQ(SmartcardInitialize(&extension), STATUS_UNSUCCESSFUL);
    extension.Version = SMCLIB_VERSION + 1;
    EXPECT_EQ(SmartcardInitialize(&extension), STATUS_UNSUCCESSFUL);
    extension.Version = SMCLIB_VERSION;

    // Out of pool at each of its three allocations: nothing left behind.
    for (std::uint64_t n = 1; n <= 3; ++n) {
      kernel().pool().fail_nth(n, kLibraryTag);
      EXPECT_EQ(SmartcardInitialize(&extension), STATUS_INSUFFICIENT_RESOURCES);
      kernel().pool().clear_faults();
      EXPECT_EQ(extension.OsData, nullptr);
      EXPECT_EQ(kernel().pool().stats(kLibraryTag).outstanding, 0u);
      extension.SmartcardRequest = {};
      extension.SmartcardReply = {};
    }

    // A buffer the driver brings is used and left to the driver.
    UCHAR own[512];
    extension.SmartcardReply.Buffer = own;
    extension.SmartcardReply.BufferSize = sizeof own;
    extension.SmartcardRequest.BufferSize = 100;
    ASSERT_EQ(SmartcardInitialize(&extension), STATUS_SUCCESS);
    EXPECT_EQ(extension.SmartcardReply.Buffer, own);
    EXPECT_EQ(extension.SmartcardRequest.BufferSize, ULONG{MIN_BUFFER_SIZE});
    EXPECT_EQ(extension.CardCapabilities.PtsData.Type, PTS_TYPE_OPTIMAL);
    SmartcardExit(&extension);
    EXPECT_EQ(extension.OsData, nullptr);
    EXPECT_EQ(extension.SmartcardReply.Buffer, own);
    EXPECT_EQ(extension.SmartcardRequest.Buffer, nullptr);
    SmartcardExit(&extension); // twice is harmless
  });
}

TEST_F(ReaderTest, RemoveLockCountsAndRefusesOnceRemovalBegan) {
  run([&] {
    build();
    PSMARTCARD_EXTENSION sc = &smartcard();
    // Two other holders; removal waits for both.
    ASSERT_EQ(SmartcardAcquireRemoveLock(sc), STATUS_SUCCESS);
    ASSERT_EQ(SmartcardAcquireRemoveLock(sc), STATUS_SUCCESS);
    struct Holder {
      PSMARTCARD_EXTENSION sc;
      LONGLONG hold_ms;
      bool released = false;
    };
    Holder holders[2] = {{sc, 20}, {sc, 50}};
    for (Holder &holder : holders) {
      HANDLE thread;
      PsCreateSystemThread(
          &thread, 0, nullptr, nullptr, nullptr,
          [](PVOID context) {
            auto *h = static_cast<Holder *>(context);
            sleep_ms(h->hold_ms);
            // Removal has begun by now: newcomers are turned away.
            EXPECT_EQ(SmartcardAcquireRemoveLock(h->sc), STATUS_DELETE_PENDING);
            h->released = true;
            SmartcardReleaseRemoveLock(h->sc);
          },
          &holder);
      ZwClose(thread);
    }
    const ULONGLONG begun = KeQueryInterruptTime();
    ASSERT_EQ(SmartcardAcquireRemoveLock(sc), STATUS_SUCCESS);
    SmartcardReleaseRemoveLockAndWait(sc);
    EXPECT_TRUE(holders[0].released);
    EXPECT_TRUE(holders[1].released);
    EXPECT_GE(KeQueryInterruptTime() - begun, 50u * 10'000);
    // Requests arriving now are refused by the reader.
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_GET_STATE, {}, 4).status,
              STATUS_DEVICE_REMOVED);
    SmartcardExit(sc);
    IoDeleteDevice(device_);
    kernel().io().delete_driver(driver_);
  });
}

TEST_F(ReaderTest, RemovalWaitsForTheRequestInProgress) {
  run([&] {
    build();
    ready(SCARD_PROTOCOL_T1);
    reader()->Reader.CallbackDelay = 300'000; // 30 ms per callback
    struct Request {
      ReaderTest *test;
      NTSTATUS status = STATUS_PENDING;
      KEVENT done;
    } request{this, STATUS_PENDING, {}};
    KeInitializeEvent(&request.done, NotificationEvent, FALSE);
    HANDLE thread;
    PsCreateSystemThread(
        &thread, 0, nullptr, nullptr, nullptr,
        [](PVOID context) {
          auto *r = static_cast<Request *>(context);
          r->status =
              r->test->transmit(SCARD_PROTOCOL_T1, hex("00 A4 04 00")).status;
          KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
        },
        &request);
    ZwClose(thread);
    sleep_ms(5);
    const ULONGLONG begun = KeQueryInterruptTime();
    TestReaderRemove(device_); // waits for the transmission
    EXPECT_GE(KeQueryInterruptTime() - begun, 20u * 10'000);
    KeWaitForSingleObject(&request.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(request.status, STATUS_SUCCESS);
    kernel().io().delete_driver(driver_);
  });
}

TEST_F(ReaderTest, RemoveLockImbalanceIsReported) {
  kernel().verifier().set_echo(false);
  run([&] {
    build();
    SmartcardReleaseRemoveLock(&smartcard());
    auto findings = kernel().verifier().take();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].kind, FindingKind::RemoveLockImbalance);
    EXPECT_THAT(findings[0].message, HasSubstr("without a matching"));

    // A holder left behind when the library is released.
    ASSERT_EQ(SmartcardAcquireRemoveLock(&smartcard()), STATUS_SUCCESS);
    SmartcardExit(&smartcard());
    findings = kernel().verifier().take();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_THAT(findings[0].message, HasSubstr("not released"));
    EXPECT_EQ(findings[0].kind, FindingKind::RemoveLockImbalance);
    EXPECT_EQ(SmartcardAcquireRemoveLock(&smartcard()), STATUS_DELETE_PENDING);
    EXPECT_EQ(kernel().verifier().take().size(), 1u);
    IoDeleteDevice(device_);

    // Removal by a caller that holds nothing would give back another
    // holder's acquisition and not wait for it.
    build();
    ASSERT_EQ(SmartcardAcquireRemoveLock(&smartcard()), STATUS_SUCCESS);
    SmartcardReleaseRemoveLockAndWait(&smartcard());
    EXPECT_TRUE(kernel().verifier().empty());
    SmartcardReleaseRemoveLockAndWait(&smartcard());
    findings = kernel().verifier().take();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].kind, FindingKind::RemoveLockImbalance);
    EXPECT_THAT(findings[0].message,
                HasSubstr("without an acquisition of the caller's"));
    SmartcardExit(&smartcard());
    IoDeleteDevice(device_);
    kernel().io().delete_driver(driver_);
  });
}

TEST_F(ReaderTest, LogErrorWritesOneEntry) {
  run([&] {
    build();
    SmartcardLogError(driver_, static_cast<NTSTATUS>(0xC0100003), nullptr, 0);
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, u"reader 0");
    SmartcardLogError(device_, STATUS_DEVICE_DATA_ERROR, &text, 0x55);
    // An insertion too long for one entry is cut, not overrun.
    std::u16string long_text(400, u'x');
    UNICODE_STRING huge{static_cast<USHORT>(long_text.size() * 2),
                        static_cast<USHORT>(long_text.size() * 2),
                        reinterpret_cast<PWSTR>(long_text.data())};
    SmartcardLogError(device_, STATUS_DEVICE_DATA_ERROR, &huge, 0);
    SmartcardLogError(nullptr, STATUS_DEVICE_DATA_ERROR, nullptr, 0);
    tear_down();
  });
  auto log = kernel().io().error_log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(static_cast<ULONG>(log[0].error_code), 0xC0100003u);
  EXPECT_EQ(log[0].device, "\\Driver\\SmclibTestReader");
  EXPECT_TRUE(log[0].dump_data.empty());
  EXPECT_TRUE(log[0].strings.empty());
  EXPECT_EQ(log[1].error_code, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(log[1].dump_data, std::vector<ULONG>{0x55});
  EXPECT_EQ(log[1].strings, std::vector<std::string>{"reader 0"});
  ASSERT_EQ(log[2].strings.size(), 1u);
  EXPECT_LT(log[2].strings[0].size(), 120u);
  EXPECT_EQ(log[2].strings[0].find_first_not_of('x'), std::string::npos);
}

} // namespace
} // namespace talvor::test
