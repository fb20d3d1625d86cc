// The USB transport: URB submission with time-out and card-event abort,
// reader commands, and the card data transfers as they appear on the wire.
#include <array>
#include <string>

#include <gtest/gtest.h>

#include "tests/driver/driver_fixture.h"

namespace talvor::test {
namespace {

class TransportTest : public DriverTest {
protected:
  // Card in and powered; its ATR read back unannounced.
  void ready() {
    start();
    insert();
    UCHAR length = 0;
    READER_COMMAND reset = {0x40, READER_COLD_RESET, 0xFFFF, 0xFFFF, 1};
    ASSERT_EQ(USBSCCommand(fdo_, FALSE, &length, &reset), STATUS_SUCCESS);
    ASSERT_GT(length, 0);
    std::array<UCHAR, 64> atr{};
    ULONG moved = 0;
    ASSERT_EQ(
        SCReadWriteDirectIO(smartcard(), atr.data(), length, &moved, FALSE),
        STATUS_SUCCESS);
    EXPECT_EQ(moved, length);
  }
  NTSTATUS command(UCHAR request, PUCHAR buffer, USHORT length = 0,
                   BOOLEAN write = TRUE) {
    // I2C COMMAND and VENDOR WRITE carry value and index 0; the reader
    // refuses them otherwise.
    const USHORT field =
        request == READER_I2C_COMMAND || request == READER_VENDOR_WRITE
            ? 0
            : 0xFFFF;
    READER_COMMAND record = {0, request, field, field, length};
    return USBSCCommand(fdo_, write, buffer, &record);
  }
  // Milliseconds a read of `length` announced bytes waits for a silent
  // card before it gives up.
  std::uint64_t read_wait(ULONG length, UCHAR wtx, NTSTATUS expected) {
    std::array<UCHAR, 32> buffer{};
    ULONG moved = 0;
    std::uint64_t before = KeQueryInterruptTime();
    EXPECT_EQ(
        SCReadWriteIO(smartcard(), buffer.data(), length, &moved, FALSE, wtx),
        expected);
    EXPECT_EQ(moved, 0u);
    return (KeQueryInterruptTime() - before) / 10'000;
  }
  // The library's current request while the test's transfers run: an
  // IRP_MJ_DEVICE_CONTROL whose status starts out as STATUS_PENDING.
  struct CurrentRequest {
    PSMARTCARD_EXTENSION smartcard;
    PIRP irp;
    CurrentRequest(TransportTest &test, ULONG input = 0, ULONG output = 0,
                   PVOID buffer = nullptr)
        : smartcard(test.smartcard()),
          irp(IoAllocateIrp(test.fdo_->StackSize, FALSE)) {
      PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
      stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
      stack->Parameters.DeviceIoControl.InputBufferLength = input;
      stack->Parameters.DeviceIoControl.OutputBufferLength = output;
      IoSetNextIrpStackLocation(irp);
      irp->AssociatedIrp.SystemBuffer = buffer;
      irp->IoStatus.Status = STATUS_PENDING;
      irp->IoStatus.Information = 0xEEEE;
      smartcard->OsData->CurrentIrp = irp;
    }
    ~CurrentRequest() {
      smartcard->OsData->CurrentIrp = nullptr;
      IoFreeIrp(irp);
    }
    NTSTATUS status() const { return irp->IoStatus.Status; }
  };
  // An I2C exchange through the current request, as the vendor IOCTLs make
  // it: one system buffer, its input and output lengths.
  NTSTATUS i2c(BOOLEAN write, PUCHAR buffer, ULONG input, ULONG output,
               ULONG_PTR *information) {
    CurrentRequest request(*this, input, output, buffer);
    NTSTATUS status = SCReadWriteI2C(smartcard(), write);
    EXPECT_EQ(request.status(), status);
    *information = request.irp->IoStatus.Information;
    return status;
  }
};

TEST_F(TransportTest, AnnouncedTransfersMoveSixteenBytesAtATime) {
  run([&] {
    build();
    ready();
    std::array<UCHAR, 17> block{};
    for (UCHAR i = 0; i < 17; ++i)
      block[i] = static_cast<UCHAR>(0x50 + i);
    ULONG moved = 0;
    std::uint64_t allocations = driver_allocations();
    kernel().trace().clear();
    {
      CurrentRequest request(*this);
      ASSERT_EQ(SCReadWriteIO(smartcard(), block.data(), 17, &moved, TRUE, 1),
                STATUS_SUCCESS);
      EXPECT_EQ(request.status(), STATUS_SUCCESS);
    }
    EXPECT_EQ(moved, 17u);
    // One URB for the announcement and one per chunk; the announcement is
    // card-bound with 2500 ms, the chunks with 5000 ms.
    EXPECT_EQ(driver_allocations() - allocations, 3u);
    EXPECT_EQ(submissions(),
              (std::vector<std::string>{"timeout=9C4, cardCommand=1",
                                        "timeout=1388, cardCommand=1",
                                        "timeout=1388, cardCommand=1"}));
    auto announced = commands(READER_WRITE_LENGTH);
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_EQ(announced[0].setup->index, 17);
    EXPECT_EQ(announced[0].setup->request_type, 0x40);
    EXPECT_EQ(announced[0].setup->length, 0);
    auto out = bulk(false);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].data, usb::Bytes(block.begin(), block.begin() + 16));
    EXPECT_EQ(out[1].data, usb::Bytes{0x60});

    // Nothing to send is announced as 0 and sent as one empty transfer.
    moved = 99;
    ASSERT_EQ(SCReadWriteIO(smartcard(), block.data(), 0, &moved, TRUE, 1),
              STATUS_SUCCESS);
    EXPECT_EQ(moved, 0u);
    announced = commands(READER_WRITE_LENGTH);
    ASSERT_EQ(announced.size(), 2u);
    EXPECT_EQ(announced[1].setup->index, 0);
    out = bulk(false);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[2].length, 0u);

    // An unannounced transfer of nothing is still one transfer.
    moved = 0;
    kernel().trace().clear();
    EXPECT_EQ(SCReadWriteDirectIO(smartcard(), block.data(), 0, &moved, TRUE),
              STATUS_SUCCESS);
    EXPECT_EQ(bulk(false).size(), 4u);
    EXPECT_EQ(commands(READER_WRITE_LENGTH).size(), 2u);
    EXPECT_EQ(submissions(),
              std::vector<std::string>{"timeout=9C4, cardCommand=1"});
    tear_down();
  });
}

TEST_F(TransportTest, FailedAnnouncedTransferIsRecoveredFrom) {
  run([&] {
    build();
    ready();
    std::array<UCHAR, 20> block{};
    ULONG moved = 99;
    const std::string abort = "       - SCReadwrite - SEND ABORT\n";

    // A refused announcement: nothing is sent, and HOST ABORT follows.
    usb::TransferFilter announce;
    announce.request = READER_WRITE_LENGTH;
    injector_->inject(usb::Fault::stall(), announce);
    EXPECT_EQ(SCReadWriteIO(smartcard(), block.data(), 20, &moved, TRUE, 1),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(moved, 0u);
    EXPECT_TRUE(bulk(false).empty());
    EXPECT_EQ(commands(READER_HOST_ABORT).size(), 1u);
    EXPECT_EQ(kernel().trace().count(abort), 1u);

    // A chunk after the first fails: the first one's bytes are counted, the
    // request carries the failure, HOST ABORT follows.
    usb::TransferFilter out;
    out.type = usb::TransferType::Bulk;
    out.endpoint = reader::kBulkOut;
    injector_->inject(usb::Fault::silence(), out, 1, 1);
    {
      CurrentRequest request(*this);
      EXPECT_EQ(SCReadWriteIO(smartcard(), block.data(), 20, &moved, TRUE, 1),
                STATUS_CANCELLED);
      EXPECT_EQ(request.status(), STATUS_CANCELLED);
    }
    EXPECT_EQ(moved, 16u);
    EXPECT_EQ(bulk(false).size(), 2u);
    EXPECT_EQ(commands(READER_HOST_ABORT).size(), 2u);
    EXPECT_EQ(kernel().trace().count(abort), 2u);
    tear_down();
  });
}

TEST_F(TransportTest, ReadTimeOutComesFromTheCardsWaitingTimes) {
  run([&] {
    build();
    ready();
    // Small waiting times: the 300 ms floor.
    reader()->CharacterWaitingTime = 1000;
    reader()->BlockWaitingTime = 10000;
    std::uint64_t waited = read_wait(4, 1, STATUS_CANCELLED);
    EXPECT_GE(waited, 300u);
    EXPECT_LT(waited, 350u);
    EXPECT_TRUE(kernel().trace().contains("       - Time Out is 300\n"));
    // A failed read is followed by HOST ABORT.
    EXPECT_EQ(commands(READER_HOST_ABORT).size(), 1u);

    // 5 characters of 100 ms and twice a block of 1 s.
    reader()->CharacterWaitingTime = 100000;
    reader()->BlockWaitingTime = 1000000;
    waited = read_wait(5, 2, STATUS_CANCELLED);
    EXPECT_GE(waited, 2500u);
    EXPECT_LT(waited, 2550u);
    EXPECT_TRUE(kernel().trace().contains("       - Time Out is 2500\n"));

    // The longest extension a card may ask for, of a block so long that the
    // product passes 32 bits: the longest wait, not a wrapped short one.
    reader()->CharacterWaitingTime = 0;
    reader()->BlockWaitingTime = 16843010;
    waited = read_wait(1, 255, STATUS_CANCELLED);
    EXPECT_GE(waited, 429496u);
    EXPECT_LT(waited, 429550u);
    EXPECT_TRUE(kernel().trace().contains("       - Time Out is 429496\n"));

    // TransferTimeOut replaces the computed read time-out...
    ext_->TransferTimeOut = 700;
    kernel().trace().clear();
    waited = read_wait(5, 2, STATUS_CANCELLED);
    EXPECT_GE(waited, 700u);
    EXPECT_LT(waited, 750u);
    EXPECT_EQ(submissions(),
              (std::vector<std::string>{"timeout=9C4, cardCommand=1",
                                        "timeout=2BC, cardCommand=1",
                                        "timeout=9C4, cardCommand=0"}));

    // ...but never the 5000 ms of a write.
    usb::TransferFilter filter;
    filter.type = usb::TransferType::Bulk;
    filter.endpoint = reader::kBulkOut;
    injector_->inject(usb::Fault::silence(), filter);
    std::array<UCHAR, 4> block{};
    ULONG moved = 0;
    std::uint64_t before = KeQueryInterruptTime();
    EXPECT_EQ(SCReadWriteIO(smartcard(), block.data(), 4, &moved, TRUE, 1),
              STATUS_CANCELLED);
    waited = (KeQueryInterruptTime() - before) / 10'000;
    EXPECT_GE(waited, 5000u);
    EXPECT_LT(waited, 5050u);
    tear_down();
  });
}

TEST_F(TransportTest, TimeOutIsTracedAndLongOnesAreClamped) {
  run([&] {
    build();
    start();
    injector_->inject(usb::Fault::silence(), {}, 0, 1);
    kernel().trace().clear();
    UCHAR scratch[1] = {};
    EXPECT_EQ(command(READER_HOST_ABORT, scratch), STATUS_CANCELLED);
    auto lines = kernel().trace().lines();
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[1], "enter KorvoSCD_CallUSBD,timeout=9C4, cardCommand=0");
    EXPECT_EQ(lines[4], "TimeOut=FE8287C0 (100ns)");
    EXPECT_TRUE(kernel().trace().contains(
        "Exit\tKorvoSCD_CallUSBD ntStatus=0xc0000120)\n"));
    const std::string tildes(39, '~');
    EXPECT_EQ(lines[0].rfind(tildes + "(urb=", 0), 0u) << lines[0];
    EXPECT_EQ(lines.back(), tildes + "(urb) ExFreePool---");

    // A registry time-out past 429,496 ms waits that long, no longer.
    insert();
    ext_->TransferTimeOut = 500000;
    std::array<UCHAR, 4> buffer{};
    ULONG moved = 0;
    std::uint64_t before = KeQueryInterruptTime();
    EXPECT_EQ(SCReadWrite(smartcard(), buffer.data(), 4, &moved, FALSE, 1),
              STATUS_CANCELLED);
    std::uint64_t waited = (KeQueryInterruptTime() - before) / 10'000;
    EXPECT_GE(waited, 429496u);
    EXPECT_LT(waited, 429550u);
    tear_down();
  });
}

TEST_F(TransportTest, TimedOutTransferIsBackFromTheBusBeforeItIsReported) {
  for (std::uint64_t seed : sweep(20)) {
    restart(seed);
    run([&] {
      build();
      ready();
      std::array<UCHAR, 8> buffer{};
      ULONG moved = 0;
      EXPECT_EQ(SCReadWrite(smartcard(), buffer.data(), 8, &moved, FALSE, 1),
                STATUS_CANCELLED);
      // The bus has given the request back: nothing pending, the transfer
      // cancelled, and the buffer may go.
      EXPECT_EQ(bus().pending(pdo_), 0u);
      auto in = bulk(true);
      ASSERT_EQ(in.size(), 2u); // the ATR, then this one
      EXPECT_EQ(in[1].outcome, usb::TransferRecord::Outcome::Cancelled);
      EXPECT_LE(in[1].finished, KeQueryInterruptTime());
      tear_down();
    });
    if (HasFailure())
      return;
  }
}

TEST_F(TransportTest, PendedFailureIsReportedAsAFailure) {
  run([&] {
    build();
    ready();
    // Pulled while a read waits: the request fails after having pended.
    later(50, [&] { injector_->disconnect_now(); });
    std::array<UCHAR, 4> buffer{};
    ULONG moved = 0;
    NTSTATUS status =
        SCReadWriteDirect(smartcard(), buffer.data(), 4, &moved, FALSE);
    EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << status;
    EXPECT_NE(status, STATUS_CANCELLED);
    EXPECT_EQ(moved, 0u);
    tear_down();
  });
}

TEST_F(TransportTest, TransferThatMovesNothingEndsTheLoops) {
  run([&] {
    // A reader that takes no byte of what reaches its bulk-out pipe, and
    // says so with success.
    intercept_ = [](const usb::TransferPtr &transfer) {
      if (transfer->type() != usb::TransferType::Bulk || transfer->in())
        return false;
      transfer->complete({USBD_STATUS_SUCCESS, {}, 0u});
      return true;
    };
    build();
    start();
    insert();
    std::array<UCHAR, 20> buffer{};
    ULONG moved = 0;
    EXPECT_EQ(SCReadWriteDirectIO(smartcard(), buffer.data(), 4, &moved, TRUE),
              STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(bulk(false).size(), 1u);
    EXPECT_EQ(SCReadWriteIO(smartcard(), buffer.data(), 20, &moved, TRUE, 1),
              STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(bulk(false).size(), 2u);
    tear_down();
  });
}

TEST_F(TransportTest, CommandsAndTheirCardBinding) {
  run([&] {
    build();
    start();
    insert();
    // A NULL buffer is refused before anything reaches the bus.
    std::size_t before = injector_->log().size();
    EXPECT_EQ(command(READER_HOST_ABORT, nullptr), STATUS_NO_MEMORY);
    ULONG count = 7;
    READER_COMMAND read = {0, READER_VENDOR_READ, 0, 0, 2};
    EXPECT_EQ(USBSCCommand(fdo_, FALSE, nullptr, &read, &count),
              STATUS_NO_MEMORY);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(injector_->log().size(), before);

    // With a card event pending, every request that pends: card-bound ones
    // are aborted, the others run. No thread runs, so it counts as ended.
    injector_->inject(usb::Fault::delayed(ms(5)), {}, 0, 0);
    KeSetEvent(&ext_->ThreadStopped, IO_NO_INCREMENT, FALSE);
    kernel().trace().clear();
    UCHAR data[2] = {0x12, 0x34};
    for (UCHAR request : {READER_POWER_DOWN, READER_HOST_ABORT,
                          READER_I2C_COMMAND, READER_VENDOR_WRITE}) {
      KeSetEvent(&ext_->CardChangeEvent, IO_NO_INCREMENT, FALSE);
      USHORT length =
          request == READER_I2C_COMMAND || request == READER_VENDOR_WRITE ? 2
                                                                          : 0;
      EXPECT_EQ(command(request, data, length), STATUS_SUCCESS)
          << std::hex << int(request);
      EXPECT_NE(KeReadStateEvent(&ext_->CardChangeEvent), 0);
      EXPECT_FALSE(ext_->ThreadShouldStop);
    }
    struct Bound {
      UCHAR request;
      USHORT length;
      BOOLEAN write;
    };
    for (Bound bound : {Bound{READER_COLD_RESET, 1, FALSE},
                        Bound{READER_WARM_RESET, 1, FALSE},
                        Bound{READER_SET_PARAMETERS, 2, TRUE},
                        Bound{READER_WRITE_LENGTH, 0, TRUE},
                        Bound{READER_READ_LENGTH, 0, TRUE}}) {
      KeSetEvent(&ext_->CardChangeEvent, IO_NO_INCREMENT, FALSE);
      EXPECT_EQ(command(bound.request, data, bound.length, bound.write),
                STATUS_IO_TIMEOUT)
          << std::hex << int(bound.request);
      EXPECT_EQ(KeReadStateEvent(&ext_->CardChangeEvent), 0);
      EXPECT_TRUE(ext_->ThreadShouldStop);
      ext_->ThreadShouldStop = FALSE;
    }
    // VENDOR READ is card-bound through its form, not its code.
    KeSetEvent(&ext_->CardChangeEvent, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(USBSCCommand(fdo_, FALSE, data, &read, &count),
              STATUS_IO_TIMEOUT);
    ext_->ThreadShouldStop = FALSE;
    injector_->clear();
    std::vector<std::string> expected(4, "timeout=9C4, cardCommand=0");
    expected.resize(10, "timeout=9C4, cardCommand=1");
    EXPECT_EQ(submissions(), expected);

    // Without a card event it reads the reader's register.
    EXPECT_EQ(command(READER_VENDOR_WRITE, data, 2), STATUS_SUCCESS);
    UCHAR back[2] = {};
    EXPECT_EQ(USBSCCommand(fdo_, FALSE, back, &read, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(back[0], 0x12);
    EXPECT_EQ(back[1], 0x34);
    // The record's request type has no effect on the request sent.
    auto writes = commands(READER_VENDOR_WRITE);
    EXPECT_EQ(writes.back().setup->request_type, 0x40);
    EXPECT_EQ(commands(READER_VENDOR_READ).back().setup->request_type, 0xC0);
    tear_down();
  });
}

TEST_F(TransportTest, RequestThatCannotBeBuiltIsReportedAndNothingIsSent) {
  run([&] {
    build();
    start();
    insert();
    std::size_t before = injector_->log().size();
    // IRPs come from pool with the I/O manager's tag: refuse them.
    const ULONG irp_tag = kernel::make_pool_tag("Irp ");
    kernel().pool().fail_tag(irp_tag);
    UCHAR scratch = 0;
    EXPECT_EQ(command(READER_HOST_ABORT, &scratch),
              STATUS_INSUFFICIENT_RESOURCES);
    kernel().pool().clear_faults();
    EXPECT_EQ(injector_->log().size(), before);
    EXPECT_EQ(command(READER_HOST_ABORT, &scratch), STATUS_SUCCESS);
    tear_down();
  });
}

TEST_F(TransportTest, OneCardEventAbortsEveryWaitingCardBoundTransfer) {
  for (std::uint64_t seed : sweep(20)) {
    restart(seed);
    run([&] {
      build();
      ready();
      // No thread runs: it counts as ended.
      KeSetEvent(&ext_->ThreadStopped, IO_NO_INCREMENT, FALSE);
      std::array<UCHAR, 4> first{};
      NTSTATUS secondStatus = STATUS_PENDING;
      // The second waits on an announcement that the reader is slow with.
      usb::TransferFilter slow;
      slow.request = READER_WRITE_LENGTH;
      injector_->inject(usb::Fault::delayed(ms(200)), slow);
      KEVENT secondDone;
      KeInitializeEvent(&secondDone, NotificationEvent, FALSE);
      later(0, [&] {
        UCHAR scratch[1] = {};
        secondStatus = command(READER_WRITE_LENGTH, scratch);
        KeSetEvent(&secondDone, IO_NO_INCREMENT, FALSE);
      });
      later(50, [&] {
        KeSetEvent(&ext_->CardChangeEvent, IO_NO_INCREMENT, FALSE);
      });
      ULONG moved = 0;
      EXPECT_EQ(SCReadWriteDirect(smartcard(), first.data(), 4, &moved, FALSE),
                STATUS_IO_TIMEOUT);
      KeWaitForSingleObject(&secondDone, Executive, KernelMode, FALSE, nullptr);
      // The one that took the event stopped the thread; the other gave its
      // request up all the same, and neither is left with the bus.
      EXPECT_EQ(secondStatus, STATUS_IO_TIMEOUT);
      EXPECT_EQ(kernel().trace().count("Detected Card Removed/insert Event"),
                1u);
      EXPECT_EQ(bus().pending(pdo_), 0u);
      ext_->ThreadShouldStop = FALSE;
      tear_down();
    });
    if (HasFailure())
      return;
  }
}

TEST_F(TransportTest, NotCardBoundRequestTimesOutDespiteACardEvent) {
  run([&] {
    build();
    start();
    injector_->inject(usb::Fault::silence(), {}, 0, 1);
    KeSetEvent(&ext_->CardChangeEvent, IO_NO_INCREMENT, FALSE);
    UCHAR scratch[1] = {};
    std::uint64_t before = KeQueryInterruptTime();
    EXPECT_EQ(command(READER_HOST_ABORT, scratch), STATUS_CANCELLED);
    EXPECT_GE(KeQueryInterruptTime() - before, ms(2500));
    EXPECT_NE(KeReadStateEvent(&ext_->CardChangeEvent), 0);
    tear_down();
  });
}

TEST_F(TransportTest, I2cMemoryIsWrittenAndReadThroughTheRequest) {
  run([&] {
    build();
    start();
    UCHAR select[2] = {reader::kI2cMemoryAddress, 0x10};
    std::array<UCHAR, 4> data = {1, 2, 3, 4};
    ULONG_PTR information = 0;
    ASSERT_EQ(command(READER_I2C_COMMAND, select, 2), STATUS_SUCCESS);
    ASSERT_EQ(i2c(TRUE, data.data(), 4, 0, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(firmware_->i2c_memory()[0x11], 2);

    std::array<UCHAR, 4> back{};
    ASSERT_EQ(command(READER_I2C_COMMAND, select, 2), STATUS_SUCCESS);
    kernel().trace().clear();
    ASSERT_EQ(i2c(FALSE, back.data(), 0, 4, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 4u);
    EXPECT_EQ(back, data);
    // A read without input sends no write phase; both of its requests are
    // card-bound.
    EXPECT_EQ(commands(READER_WRITE_LENGTH).size(), 1u);
    EXPECT_EQ(commands(READER_READ_LENGTH).back().setup->index, 4);
    EXPECT_EQ(submissions(),
              std::vector<std::string>(2, "timeout=9C4, cardCommand=1"));

    // An empty write is still announced and sent.
    ASSERT_EQ(i2c(TRUE, nullptr, 0, 0, &information), STATUS_SUCCESS);
    EXPECT_EQ(commands(READER_WRITE_LENGTH).back().setup->index, 0);
    EXPECT_EQ(bulk(false).back().length, 0u);

    // The longest the announcement carries goes out whole.
    std::vector<UCHAR> longest(0xFFFF, 0x77);
    EXPECT_EQ(i2c(TRUE, longest.data(), 0xFFFF, 0, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(commands(READER_WRITE_LENGTH).back().setup->index, 0xFFFF);
    EXPECT_EQ(bulk(false).back().length, 0xFFFFu);

    // A read whose address write a card event cuts short reads nothing and
    // fails with the write's status, the thread stopped for the caller's
    // recovery. No thread runs here: it counts as ended.
    KeSetEvent(&ext_->ThreadStopped, IO_NO_INCREMENT, FALSE);
    usb::TransferFilter out;
    out.type = usb::TransferType::Bulk;
    out.endpoint = reader::kBulkOut;
    injector_->inject(usb::Fault::delayed(ms(100)), out);
    later(20,
          [&] { KeSetEvent(&ext_->CardChangeEvent, IO_NO_INCREMENT, FALSE); });
    std::size_t reads = commands(READER_READ_LENGTH).size();
    EXPECT_EQ(i2c(FALSE, back.data(), 2, 4, &information), STATUS_IO_TIMEOUT);
    EXPECT_EQ(information, 0xEEEEu);
    EXPECT_EQ(commands(READER_READ_LENGTH).size(), reads);
    EXPECT_EQ(bulk(true).size(), 1u);
    EXPECT_TRUE(ext_->ThreadShouldStop);
    ext_->ThreadShouldStop = FALSE;

    // Lengths the 16-bit announcement cannot carry, and bytes without a
    // buffer, are refused unsent.
    std::size_t sent = injector_->log().size();
    EXPECT_EQ(i2c(TRUE, data.data(), 0x10000, 0, &information),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(i2c(FALSE, data.data(), 0, 0x10000, &information),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(i2c(TRUE, nullptr, 4, 0, &information), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(information, 0xEEEEu);
    EXPECT_EQ(injector_->log().size(), sent);
    tear_down();
  });
}

TEST_F(TransportTest, TransfersWithoutConfigurationFailClearly) {
  run([&] {
    build();
    std::array<UCHAR, 4> buffer{};
    ULONG moved = 0;
    EXPECT_EQ(SCReadWrite(smartcard(), buffer.data(), 4, &moved, TRUE, 1),
              STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(ext_->ThreadShouldStop);
    EXPECT_EQ(SCReadWriteDirect(smartcard(), buffer.data(), 4, &moved, TRUE),
              STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(SCReadWriteInterrupt(smartcard(), buffer.data(), 1, FALSE),
              STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(bulk(false).empty());
    // And without pool, no URB, no transfer.
    start();
    kernel().pool().fail_tag(USCR_POOL_TAG);
    EXPECT_EQ(SCReadWriteDirect(smartcard(), buffer.data(), 4, &moved, TRUE),
              STATUS_INSUFFICIENT_RESOURCES);
    UCHAR scratch[1] = {};
    EXPECT_EQ(command(READER_HOST_ABORT, scratch), STATUS_NO_MEMORY);
    kernel().pool().clear_faults();
    EXPECT_TRUE(bulk(false).empty());
    ext_->ThreadShouldStop = FALSE;
    tear_down();
  });
}

} // namespace
} // namespace talvor::test
