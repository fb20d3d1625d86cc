// SmartcardDeviceControl through the test reader and real IRPs: what the
// library answers itself, the checks it makes before calling back, the
// protocols end to end, card tracking, one callback at a time, and
// malformed requests of every kind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/smclib/reader_fixture.h"

namespace talvor::test {
namespace {

using ::testing::HasSubstr;

TEST_F(ReaderTest, AnswersReaderAttributesFromTheExtension) {
  run([&] {
    build();
    EXPECT_EQ(state(), ULONG{SCARD_ABSENT});
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_GET_STATE, {}, 2).status,
              STATUS_BUFFER_TOO_SMALL);

    // Strings as the driver counts them, its zero included.
    IoResult name = attribute(SCARD_ATTR_VENDOR_NAME);
    ASSERT_EQ(name.status, STATUS_SUCCESS);
    EXPECT_EQ(name.output, Bytes({'G', 'e', 'n', 'e', 'r', 'i', 'c', 0}));
    EXPECT_EQ(attribute(SCARD_ATTR_VENDOR_IFD_TYPE).information, 16u);
    EXPECT_EQ(as_ulong(attribute(SCARD_ATTR_VENDOR_IFD_VERSION).output),
              0x01020304u);
    EXPECT_EQ(attribute(SCARD_ATTR_VENDOR_IFD_SERIAL_NO).status,
              STATUS_NOT_SUPPORTED);
    const struct {
      ULONG tag, value;
    } numbers[] = {
        {SCARD_ATTR_DEVICE_UNIT, 3},
        {SCARD_ATTR_CHANNEL_ID, 0x00200005},
        {SCARD_ATTR_CHARACTERISTICS, 0},
        {SCARD_ATTR_PROTOCOL_TYPES, T0 | T1},
        {SCARD_ATTR_DEFAULT_CLK, 3580},
        {SCARD_ATTR_MAX_CLK, 4000},
        {SCARD_ATTR_DEFAULT_DATA_RATE, 9600},
        {SCARD_ATTR_MAX_DATA_RATE, 223200},
        {SCARD_ATTR_MAX_IFSD, 251},
        {SCARD_ATTR_POWER_MGMT_SUPPORT, 0},
        {SCARD_ATTR_CURRENT_PROTOCOL_TYPE, 0},
    };
    for (const auto &number : numbers) {
      IoResult result = attribute(number.tag);
      EXPECT_EQ(result.status, STATUS_SUCCESS) << std::hex << number.tag;
      EXPECT_EQ(result.information, sizeof(ULONG));
      EXPECT_EQ(as_ulong(result.output), number.value)
          << std::hex << number.tag;
    }
    EXPECT_EQ(attribute(SCARD_ATTR_ICC_PRESENCE).output, Bytes{0});
    EXPECT_EQ(attribute(SCARD_ATTR_ATR_STRING).status,
              STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(attribute(SCARD_ATTR_CURRENT_F).status,
              STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(
        attribute(SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_DEFINED, 0x1234)).status,
        STATUS_NOT_SUPPORTED);
    EXPECT_EQ(attribute(SCARD_ATTR_VENDOR_NAME, 4).status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE, {1, 2}, 8).status,
              STATUS_INVALID_PARAMETER);
    for (LONG count : reader()->Reader.Calls)
      EXPECT_EQ(count, 0);
    tear_down();
  });
}

TEST_F(ReaderTest, AnswersCardAttributesOnceTheCardIsReset) {
  run([&] {
    build();
    insert();
    EXPECT_EQ(attribute(SCARD_ATTR_ICC_PRESENCE).output, Bytes{1});
    EXPECT_EQ(attribute(SCARD_ATTR_ICC_INTERFACE_STATUS).output, Bytes{0});
    IoResult reset = power(SCARD_COLD_RESET);
    ASSERT_EQ(reset.status, STATUS_SUCCESS);
    EXPECT_EQ(reset.output, card_.atr);
    EXPECT_EQ(state(), ULONG{SCARD_NEGOTIABLE});
    EXPECT_EQ(attribute(SCARD_ATTR_ATR_STRING).output, card_.atr);
    EXPECT_EQ(attribute(SCARD_ATTR_ICC_PRESENCE).output, Bytes{2});
    EXPECT_EQ(attribute(SCARD_ATTR_ICC_INTERFACE_STATUS).output, Bytes{1});
    // TA1 18: F 372, D 12; IFSC 254; LRC.
    EXPECT_EQ(as_ulong(attribute(SCARD_ATTR_CURRENT_F).output), 372u);
    EXPECT_EQ(as_ulong(attribute(SCARD_ATTR_CURRENT_D).output), 12u);
    EXPECT_EQ(as_ulong(attribute(SCARD_ATTR_CURRENT_N).output), 0u);
    EXPECT_EQ(as_ulong(attribute(SCARD_ATTR_CURRENT_W).output), 10u);
    EXPECT_EQ(as_ulong(attribute(SCARD_ATTR_CURRENT_IFSC).output), 254u);
    EXPECT_EQ(as_ulong(attribute(SCARD_ATTR_CURRENT_EBC_ENCODING).output), 0u);
    EXPECT_EQ(as_ulong(attribute(SCARD_ATTR_CURRENT_BWT).output),
              smartcard().CardCapabilities.T1.BWT);

    ASSERT_EQ(set_protocol(T1).status, STATUS_SUCCESS);
    EXPECT_EQ(as_ulong(attribute(SCARD_ATTR_CURRENT_PROTOCOL_TYPE).output), T1);
    ASSERT_EQ(transmit(T1, hex("00 A4 04 00 00")).status, STATUS_SUCCESS);
    EXPECT_EQ(as_ulong(attribute(SCARD_ATTR_CURRENT_IFSD).output), 251u);
    remove();
    EXPECT_EQ(attribute(SCARD_ATTR_ATR_STRING).status,
              STATUS_INVALID_DEVICE_STATE);
    tear_down();
  });
}

TEST_F(ReaderTest, ChecksStateAndParametersBeforeCallingBack) {
  run([&] {
    build();
    EXPECT_EQ(power(SCARD_COLD_RESET).status, STATUS_NO_MEDIA);
    insert();
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_POWER, {1, 0}, 64).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(power(7).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(set_protocol(T1).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(transmit(T1, hex("00 A4 04 00")).status,
              STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(calls(RDF_CARD_POWER), 0);

    ASSERT_EQ(power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    EXPECT_EQ(set_protocol(SCARD_PROTOCOL_RAW).status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, {2}, 4).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(T1), 2).status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(calls(RDF_SET_PROTOCOL), 0);

    // The reader gets the mask and a PPS proposal made beforehand.
    IoResult selected = set_protocol(T0 | T1);
    ASSERT_EQ(selected.status, STATUS_SUCCESS);
    EXPECT_EQ(as_ulong(selected.output), T1);
    EXPECT_EQ(smartcard().MinorIoControlCode, T0 | T1);
    EXPECT_EQ(smartcard().CardCapabilities.PtsData.Type, PTS_TYPE_OPTIMAL);
    EXPECT_EQ(smartcard().CardCapabilities.PtsData.Dl, 3); // 372/12 unlisted
    // Another protocol needs a reset first; the same one is fine.
    EXPECT_EQ(set_protocol(T0).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(set_protocol(T1 | SCARD_PROTOCOL_DEFAULT).status, STATUS_SUCCESS);
    EXPECT_EQ(smartcard().CardCapabilities.PtsData.Type, PTS_TYPE_DEFAULT);

    // Transmission headers the library refuses.
    EXPECT_EQ(transmit(T0, hex("00 A4 04 00")).status,
              STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(transmit(T1, {}).status, STATUS_INVALID_PARAMETER);
    Bytes long_pci = ulong_bytes(T1);
    const Bytes pci = ulong_bytes(64);
    long_pci.insert(long_pci.end(), pci.begin(), pci.end());
    long_pci.push_back(0);
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_TRANSMIT, long_pci, 64).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_TRANSMIT, {2, 0, 0}, 64).status,
              STATUS_INVALID_PARAMETER);
    // No room for a header, or for the status word behind it.
    Bytes select = ulong_bytes(T1);
    const Bytes eight = ulong_bytes(8);
    select.insert(select.end(), eight.begin(), eight.end());
    select.insert(select.end(), {0x00, 0xA4, 0x04, 0x00});
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_TRANSMIT, select, 4).status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(transmit(T1, hex("00 A4 04 00"), 1).status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(reader()->Reader.Exchanges, 0);
    EXPECT_EQ(calls(RDF_TRANSMIT), 1);

    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_EJECT, {}, 0).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_SWALLOW, {}, 0).status,
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_CONFISCATE, {}, 0).status,
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(as_ulong(ioctl(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4).output),
              static_cast<ULONG>(STATUS_NOT_SUPPORTED));
    tear_down();
  });
}

TEST_F(ReaderTest, UnknownCodesGoToTheVendorFunction) {
  run([&] {
    build();
    IoResult echo = ioctl(IOCTL_TEST_READER_ECHO, {1, 2, 3}, 8);
    ASSERT_EQ(echo.status, STATUS_SUCCESS);
    EXPECT_EQ(echo.output, Bytes({1, 2, 3}));
    EXPECT_EQ(smartcard().MajorIoControlCode, ULONG{IOCTL_TEST_READER_ECHO});
    EXPECT_EQ(smartcard().MinorIoControlCode, 0u);
    EXPECT_EQ(ioctl(0x222024, {}, 0).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(calls(RDF_IOCTL_VENDOR), 2);
    // Entry 8, where a driver built against the published header puts it.
    smartcard().ReaderFunction[8] = nullptr;
    EXPECT_EQ(ioctl(IOCTL_TEST_READER_ECHO, {1}, 1).status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(calls(RDF_IOCTL_VENDOR), 2);
    tear_down();
  });
}

TEST_F(ReaderTest, ReaderFunctionClaimingMoreThanTheBufferIsCaught) {
  kernel().verifier().set_echo(false);
  run([&] {
    build();
    IoResult result = ioctl(IOCTL_TEST_READER_OVERREACH, {}, 4);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 4u);
    tear_down();
  });
  auto findings = kernel().verifier().take();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_THAT(findings[0].message, HasSubstr("output buffer of 4"));
}

TEST_F(ReaderTest, TransmitsInEveryProtocol) {
  run([&] {
    build();
    // T=1: a chained command and a chained answer.
    Bytes big(500, 0x77);
    card_.application = [&](const Bytes &) { return big; };
    ready(T1);
    Bytes apdu = hex("80 E2 00 00 FF");
    apdu.resize(5 + 255, 0x13);
    IoResult answer = transmit(T1, apdu);
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.information, sizeof(SCARD_IO_REQUEST) + big.size());
    EXPECT_EQ(answer_of(answer), big);
    EXPECT_EQ(as_ulong(answer.output), T1);
    ASSERT_EQ(card_.t1->commands().size(), 1u);
    EXPECT_EQ(card_.t1->commands()[0], apdu);
    // Too little room: refused, and the card's chain still taken in full.
    EXPECT_EQ(transmit(T1, hex("00 B0 00 00 00"), 100).status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(transmit(T1, hex("00 B0 00 00 00")).status, STATUS_SUCCESS);

    // T=0 on a T=0 card.
    card_.atr = hex("3B 02 14 50");
    ready(T0 | T1);
    EXPECT_EQ(as_ulong(attribute(SCARD_ATTR_CURRENT_PROTOCOL_TYPE).output), T0);
    IoResult read = transmit(T0, hex("00 B0 00 00 04"));
    ASSERT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(answer_of(read), hex("5A 5A 5A 5A 90 00"));
    EXPECT_EQ(transmit(T0, hex("00 D6 00 00 05 01")).status,
              STATUS_INVALID_PARAMETER);

    // Raw, on a reader that offers it.
    smartcard().ReaderCapabilities.SupportedProtocols |= SCARD_PROTOCOL_RAW;
    ASSERT_EQ(power(SCARD_WARM_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(set_protocol(SCARD_PROTOCOL_RAW).status, STATUS_SUCCESS);
    IoResult raw = transmit(SCARD_PROTOCOL_RAW, hex("01 02 03"));
    ASSERT_EQ(raw.status, STATUS_SUCCESS);
    EXPECT_EQ(answer_of(raw), hex("03 02 01"));

    // Power down: back to present, no protocol.
    ASSERT_EQ(power(SCARD_POWER_DOWN).status, STATUS_SUCCESS);
    EXPECT_EQ(state(), ULONG{SCARD_PRESENT});
    EXPECT_EQ(transmit(SCARD_PROTOCOL_RAW, hex("01")).status,
              STATUS_INVALID_DEVICE_STATE);
    tear_down();
  });
}

TEST_F(ReaderTest, TransmissionLeftHalfDoneDoesNotLeakIntoTheNext) {
  run([&] {
    build();
    ready(T1);
    // The card goes away in the middle of a chained command: the reader
    // gives up without the library seeing a reply. (S(IFS) first, then
    // the command's first block.)
    card_.fail_in = 2;
    Bytes apdu = hex("80 E2 00 00 FF");
    apdu.resize(5 + 255, 0x13);
    EXPECT_EQ(transmit(T1, apdu).status, STATUS_DEVICE_NOT_CONNECTED);
    // The library's exchange is over; IoRequest still describes the
    // request, whose buffer went back to the pool with it.
    EXPECT_EQ(smartcard().OsData->CurrentIrp, nullptr);
    EXPECT_FALSE(smartcard().T1.WaitForReply);
    EXPECT_EQ(smartcard().T1.ReplyData, nullptr);
    EXPECT_EQ(smartcard().IoRequest.RequestBufferLength, 8u + apdu.size());
    EXPECT_EQ(smartcard().IoRequest.ReplyBufferLength, 8u + 1024u);
    ASSERT_NE(smartcard().IoRequest.ReplyBuffer, nullptr);
    EXPECT_EQ(smartcard().IoRequest.RequestBuffer,
              smartcard().IoRequest.ReplyBuffer);
    EXPECT_NE(smartcard().IoRequest.Information, nullptr);
    EXPECT_FALSE(kernel().pool().owns(smartcard().IoRequest.ReplyBuffer));
    // The next request starts its own transmission, in step with the card.
    IoResult next = transmit(T1, hex("00 A4 04 00 02 3F 00"));
    ASSERT_EQ(next.status, STATUS_SUCCESS);
    EXPECT_EQ(answer_of(next), hex("3F 00 90 00"));
    tear_down();
  });
}

TEST_F(ReaderTest, WriteThroughAFinishedRequestIsFound) {
  kernel().verifier().set_echo(false);
  run([&] {
    build();
    ASSERT_EQ(ioctl(IOCTL_TEST_READER_ECHO, {1, 2, 3}, 8).status,
              STATUS_SUCCESS);
    TestReaderWriteThroughLastRequest(device_);
    tear_down();
  });
  kernel().check_teardown();
  auto findings = kernel().verifier().take();
  // The system buffer and the IRP, both freed at completion.
  ASSERT_EQ(findings.size(), 2u);
  for (const auto &finding : findings) {
    EXPECT_EQ(finding.kind, kernel::FindingKind::PoolCorruption);
    EXPECT_THAT(finding.message, HasSubstr("was written after its free"));
  }
  EXPECT_THAT(findings[0].message + findings[1].message, HasSubstr("IoBu"));
}

TEST_F(ReaderTest, TrackingRequestsWaitForTheCardAndOneAtATime) {
  run([&] {
    build();
    // Already as asked: at once, no callback.
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_IS_ABSENT, {}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(calls(RDF_CARD_TRACKING), 0);

    auto present = send(IRP_MJ_DEVICE_CONTROL, IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_EQ(present->returned, STATUS_PENDING);
    EXPECT_EQ(smartcard().OsData->NotificationIrp, present->irp);
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_IS_PRESENT, {}, 0).status,
              STATUS_DEVICE_BUSY);
    sleep_ms(10);
    EXPECT_FALSE(present->completed());
    insert();
    EXPECT_EQ(present->wait(), STATUS_SUCCESS);
    EXPECT_EQ(smartcard().OsData->NotificationIrp, nullptr);

    // Cancelled, then ended by the handle's cleanup.
    auto absent = send(IRP_MJ_DEVICE_CONTROL, IOCTL_SMARTCARD_IS_ABSENT);
    ASSERT_EQ(absent->returned, STATUS_PENDING);
    IoCancelIrp(absent->irp);
    EXPECT_EQ(absent->wait(), STATUS_CANCELLED);
    EXPECT_EQ(smartcard().OsData->NotificationIrp, nullptr);
    auto again = send(IRP_MJ_DEVICE_CONTROL, IOCTL_SMARTCARD_IS_ABSENT);
    ASSERT_EQ(again->returned, STATUS_PENDING);
    auto cleanup = send(IRP_MJ_CLEANUP);
    EXPECT_EQ(cleanup->wait(), STATUS_SUCCESS);
    EXPECT_EQ(again->wait(), STATUS_SUCCESS);

    // A reader without tracking says so.
    smartcard().ReaderFunction[RDF_CARD_TRACKING] = nullptr;
    EXPECT_EQ(ioctl(IOCTL_SMARTCARD_IS_ABSENT, {}, 0).status,
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(smartcard().OsData->NotificationIrp, nullptr);
    tear_down();
  });
}

// What the tracking callback found when the library called it, and what
// it does before the reader's own callback runs.
struct TrackingCall {
  PRDF_FUNCTION reader = nullptr;
  enum class Before { nothing, insert, cancel, refuse } before;
  PDEVICE_OBJECT device = nullptr;
  KIRQL irql = HIGH_LEVEL;
  PIRP stored = nullptr;
  bool marked_pending = false;
  BOOLEAN cancelled = FALSE;
};
TrackingCall tracking_call;

NTSTATUS WatchedTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  TrackingCall &call = tracking_call;
  call.irql = KeGetCurrentIrql();
  call.stored = SmartcardExtension->OsData->NotificationIrp;
  if (call.stored != nullptr)
    call.marked_pending = (IoGetCurrentIrpStackLocation(call.stored)->Control &
                           SL_PENDING_RETURNED) != 0;
  switch (call.before) {
  case TrackingCall::Before::insert: // a change before it is cancellable
    TestReaderUpdateCardState(call.device, TRUE);
    break;
  case TrackingCall::Before::cancel: // no cancel routine to run yet
    call.cancelled = IoCancelIrp(call.stored);
    break;
  case TrackingCall::Before::refuse:
    return STATUS_INVALID_DEVICE_STATE;
  case TrackingCall::Before::nothing:
    break;
  }
  return call.reader(SmartcardExtension);
}

TEST_F(ReaderTest, TrackingCallbackRunsUnlockedOnceTheRequestIsStored) {
  run([&] {
    build();
    tracking_call = {smartcard().ReaderFunction[RDF_CARD_TRACKING],
                     TrackingCall::Before::nothing, device_};
    smartcard().ReaderFunction[RDF_CARD_TRACKING] = WatchedTracking;

    // Stored and marked pending, then called at PASSIVE_LEVEL without the
    // card-state lock, which the reader's callback takes itself.
    auto plain = send(IRP_MJ_DEVICE_CONTROL, IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_EQ(plain->returned, STATUS_PENDING);
    EXPECT_EQ(tracking_call.irql, PASSIVE_LEVEL);
    EXPECT_EQ(tracking_call.stored, plain->irp);
    EXPECT_TRUE(tracking_call.marked_pending);
    EXPECT_FALSE(plain->completed());
    insert();
    EXPECT_EQ(plain->wait(), STATUS_SUCCESS);

    // A change between the store and the callback completes it; the
    // callback then finds none.
    tracking_call.before = TrackingCall::Before::insert;
    remove();
    auto changed = send(IRP_MJ_DEVICE_CONTROL, IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_EQ(changed->returned, STATUS_PENDING);
    EXPECT_TRUE(changed->completed());
    EXPECT_EQ(changed->wait(), STATUS_SUCCESS);
    EXPECT_EQ(smartcard().OsData->NotificationIrp, nullptr);

    // Cancelled before it was cancellable: the callback completes it.
    tracking_call.before = TrackingCall::Before::cancel;
    auto cancelled = send(IRP_MJ_DEVICE_CONTROL, IOCTL_SMARTCARD_IS_ABSENT);
    EXPECT_EQ(cancelled->returned, STATUS_PENDING);
    EXPECT_FALSE(tracking_call.cancelled);
    EXPECT_EQ(cancelled->wait(), STATUS_CANCELLED);
    EXPECT_EQ(smartcard().OsData->NotificationIrp, nullptr);

    // A callback that does not keep it hands it back to be completed.
    tracking_call.before = TrackingCall::Before::refuse;
    auto refused = send(IRP_MJ_DEVICE_CONTROL, IOCTL_SMARTCARD_IS_ABSENT);
    EXPECT_EQ(refused->returned, STATUS_PENDING);
    EXPECT_EQ(refused->wait(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(smartcard().OsData->NotificationIrp, nullptr);
    EXPECT_EQ(calls(RDF_CARD_TRACKING), 3);
    tear_down();
  });
}

TEST_F(ReaderTest, TrackingRequestCancelledBeforeTheReaderTookIt) {
  run([&] {
    build();
    insert();
    // A reset keeps the reader busy for 10 ms; the tracking request waits
    // for its turn and is cancelled meanwhile, before the reader could make
    // it cancellable. When its turn comes the reader hands it back.
    reader()->Reader.CallbackDelay = 100'000; // 10 ms
    auto absent = prepare(IRP_MJ_DEVICE_CONTROL, IOCTL_SMARTCARD_IS_ABSENT);
    struct Helpers {
      ReaderTest *test;
      PIRP irp; // cppcheck-suppress unusedStructMember ; the canceller's
      KEVENT done;
    } helpers{this, absent->irp, {}};
    KeInitializeEvent(&helpers.done, NotificationEvent, FALSE);
    HANDLE thread;
    PsCreateSystemThread(
        &thread, 0, nullptr, nullptr, nullptr,
        [](PVOID context) {
          auto *h = static_cast<Helpers *>(context);
          EXPECT_EQ(h->test->power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
          KeSetEvent(&h->done, IO_NO_INCREMENT, FALSE);
        },
        &helpers);
    ZwClose(thread);
    PsCreateSystemThread(
        &thread, 0, nullptr, nullptr, nullptr,
        [](PVOID context) {
          sleep_ms(3);
          EXPECT_FALSE(IoCancelIrp(static_cast<Helpers *>(context)->irp));
        },
        &helpers);
    ZwClose(thread);
    sleep_ms(1);
    absent->returned = IoCallDriver(device_, absent->irp);
    EXPECT_EQ(absent->returned, STATUS_PENDING);
    EXPECT_EQ(absent->wait(), STATUS_CANCELLED);
    KeWaitForSingleObject(&helpers.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(smartcard().OsData->NotificationIrp, nullptr);
    EXPECT_EQ(calls(RDF_CARD_TRACKING), 1);
    tear_down();
  });
}

TEST_F(ReaderTest, CallbacksRunOneAtATimeUnderManySeeds) {
  for (std::uint64_t seed : sweep(20)) {
    start(seed);
    run([&] {
      build();
      ready(T1);
      reader()->Reader.CallbackDelay = 10'000; // 1 ms
      struct Worker {
        ReaderTest *test;
        int index;
        KEVENT done;
        int failures = 0;
      };
      Worker workers[4] = {
          {this, 0, {}}, {this, 1, {}}, {this, 2, {}}, {this, 3, {}}};
      for (Worker &worker : workers) {
        KeInitializeEvent(&worker.done, NotificationEvent, FALSE);
        HANDLE thread;
        PsCreateSystemThread(
            &thread, 0, nullptr, nullptr, nullptr,
            [](PVOID context) {
              auto *w = static_cast<Worker *>(context);
              for (int i = 0; i < 3; ++i) {
                Bytes apdu = hex("00 D6 00 00 02");
                apdu.push_back(static_cast<std::uint8_t>(w->index));
                apdu.push_back(static_cast<std::uint8_t>(i));
                IoResult result = w->test->transmit(T1, apdu);
                if (result.status != STATUS_SUCCESS ||
                    answer_of(result) != Bytes({apdu[5], apdu[6], 0x90, 0x00}))
                  ++w->failures;
                if (w->test->attribute(SCARD_ATTR_ATR_STRING).status !=
                    STATUS_SUCCESS)
                  ++w->failures;
                if (w->test->ioctl(IOCTL_TEST_READER_ECHO, {9}, 1).status !=
                    STATUS_SUCCESS)
                  ++w->failures;
              }
              KeSetEvent(&w->done, IO_NO_INCREMENT, FALSE);
            },
            &worker);
        ZwClose(thread);
      }
      for (Worker &worker : workers) {
        KeWaitForSingleObject(&worker.done, Executive, KernelMode, FALSE,
                              nullptr);
        EXPECT_EQ(worker.failures, 0) << "seed " << seed;
      }
      EXPECT_EQ(reader()->Reader.Overlaps, 0) << "seed " << seed;
      EXPECT_EQ(calls(RDF_TRANSMIT), 12);
      tear_down();
    });
    finish();
  }
}

TEST_F(ReaderTest, MalformedRequestsAllEndInAStatus) {
  // Every smart card code with every short input and output length, and
  // bytes that make no sense: each request completes, nothing is found.
  const ULONG codes[] = {
      IOCTL_SMARTCARD_POWER,         IOCTL_SMARTCARD_GET_ATTRIBUTE,
      IOCTL_SMARTCARD_SET_ATTRIBUTE, IOCTL_SMARTCARD_CONFISCATE,
      IOCTL_SMARTCARD_TRANSMIT,      IOCTL_SMARTCARD_EJECT,
      IOCTL_SMARTCARD_SWALLOW,       IOCTL_SMARTCARD_SET_PROTOCOL,
      IOCTL_SMARTCARD_GET_STATE,     IOCTL_SMARTCARD_GET_LAST_ERROR,
      IOCTL_SMARTCARD_GET_PERF_CNTR,
  };
  run([&] {
    build();
    for (int stage = 0; stage < 3; ++stage) {
      if (stage == 1)
        insert();
      if (stage == 2) {
        ASSERT_NO_FATAL_FAILURE(ready(T1));
      }
      std::uint32_t noise = 0x12345678u + static_cast<std::uint32_t>(stage);
      for (ULONG code : codes)
        for (ULONG in = 0; in <= 12; in += 3)
          for (ULONG out : {0u, 1u, 4u, 9u, 300u}) {
            Bytes input(in);
            for (auto &byte : input) {
              noise = noise * 1103515245u + 12345u;
              byte = static_cast<std::uint8_t>(noise >> 16);
            }
            // Half the time a plausible first ULONG.
            if (in >= 4 && (noise & 0x10000))
              input[0] = static_cast<std::uint8_t>(noise & 3);
            IoResult result = ioctl(code, input, out);
            EXPECT_NE(result.status, STATUS_PENDING) << std::hex << code;
            EXPECT_LE(result.information, out);
          }
    }
    tear_down();
  });
}

} // namespace
} // namespace talvor::test
