// Halted pipes: a stall on a bulk or interrupt pipe halts it in the bus
// driver, and the failure path resets it before its HOST ABORT, so that
// card data moves again without unplugging the reader.
#include <array>
#include <string>

#include <gtest/gtest.h>

#include "tests/driver/driver_fixture.h"

namespace talvor::test {
namespace {

class HaltTest : public DriverTest {
protected:
  // Configured, thread running, card in.
  void ready() {
    start_with_thread();
    insert();
    settle();
  }
  NTSTATUS write(ULONG length) {
    std::array<UCHAR, 32> block{};
    ULONG moved = 0;
    return SCReadWriteIO(smartcard(), block.data(), length, &moved, TRUE, 1);
  }
  // The wire from the log's `from`th record on, one line a transfer:
  // "bulk 02 4" (endpoint, bytes sent or asked for), "vendor a4 0"
  // (request, data stage length), "clear-halt 02" (endpoint).
  std::vector<std::string> wire(std::size_t from) const {
    std::vector<std::string> lines;
    auto log = injector_->log();
    for (std::size_t i = from; i < log.size(); ++i) {
      const usb::TransferRecord &record = log[i];
      char line[48];
      if (record.type == usb::TransferType::Control && record.setup &&
          record.setup->request == USB_REQUEST_CLEAR_FEATURE &&
          record.setup->recipient() == BMREQUEST_TO_ENDPOINT &&
          record.setup->value == USB_FEATURE_ENDPOINT_STALL)
        std::snprintf(line, sizeof line, "clear-halt %02x",
                      record.setup->index);
      else if (record.type == usb::TransferType::Control && record.setup)
        std::snprintf(line, sizeof line, "vendor %02x %u",
                      record.setup->request, record.setup->length);
      else
        std::snprintf(line, sizeof line, "%s %02x %u",
                      usb::to_string(record.type), record.endpoint,
                      record.length);
      lines.emplace_back(line);
    }
    return lines;
  }
};

TEST_F(HaltTest, AStalledBulkTransferIsFollowedByResetThenHostAbort) {
  run([&] {
    build();
    ready();
    // One bulk-out transfer stalled by the fault injector.
    usb::TransferFilter filter;
    filter.type = usb::TransferType::Bulk;
    filter.endpoint = reader::kBulkOut;
    injector_->inject(usb::Fault::stall(), filter);
    std::size_t from = injector_->log().size();
    EXPECT_EQ(write(4), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(wire(from),
              (std::vector<std::string>{"vendor c0 0", "bulk 02 4",
                                        "clear-halt 02", "vendor a4 0"}));
    EXPECT_TRUE(kernel().trace().contains(
        "Uscr!SCResetHaltedPipes: RESET PIPE 1 ntStatus=0x0\n"));
    EXPECT_EQ(ext_->HaltedPipes, 0);

    // The next exchange works, and resets nothing.
    from = injector_->log().size();
    EXPECT_EQ(write(4), STATUS_SUCCESS);
    EXPECT_EQ(wire(from),
              (std::vector<std::string>{"vendor c0 0", "bulk 02 4"}));

    // The reader's own stall: more bytes than were announced.
    std::array<UCHAR, 4> block{};
    ULONG moved = 0;
    from = injector_->log().size();
    EXPECT_EQ(SCReadWrite(smartcard(), block.data(), 4, &moved, TRUE, 1),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(wire(from), (std::vector<std::string>{
                              "bulk 02 4", "clear-halt 02", "vendor a4 0"}));
    EXPECT_EQ(write(4), STATUS_SUCCESS);

    // A failure with no halt sends HOST ABORT alone.
    injector_->inject(usb::Fault::error(USBD_STATUS_DEV_NOT_RESPONDING),
                      filter);
    from = injector_->log().size();
    EXPECT_EQ(write(4), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(wire(from), (std::vector<std::string>{"vendor c0 0", "bulk 02 4",
                                                    "vendor a4 0"}));
    tear_down();
  });
}

TEST_F(HaltTest, AStalledInterruptReadIsResetBeforeTheThreadRestarts) {
  run([&] {
    build();
    start();
    insert();
    READER_COMMAND announce = {0, READER_READ_LENGTH, 0xFFFF, 4, 0};
    UCHAR scratch[2] = {0, 0};
    ASSERT_EQ(USBSCCommand(fdo_, TRUE, scratch, &announce), STATUS_SUCCESS);
    // The thread's first presence read stalls: it ends and flags a card
    // event, which aborts the next card-bound transfer that waits.
    usb::TransferFilter filter;
    filter.type = usb::TransferType::Interrupt;
    injector_->inject(usb::Fault::stall(), filter);
    std::size_t from = injector_->log().size();
    ASSERT_EQ(UscrStartCardThread(ext_), STATUS_SUCCESS);
    settle();
    EXPECT_EQ(ext_->HaltedPipes, 1 << USCR_PIPE_INTERRUPT);
    std::array<UCHAR, 4> block{};
    ULONG moved = 0;
    EXPECT_EQ(SCReadWrite(smartcard(), block.data(), 4, &moved, FALSE, 1),
              STATUS_IO_TIMEOUT);
    settle();
    // Reset, abort, then the new thread's reads run and report the card.
    std::vector<std::string> lines = wire(from);
    lines.resize(std::min<std::size_t>(lines.size(), 5));
    EXPECT_EQ(lines, (std::vector<std::string>{"interrupt 81 1", "bulk 82 4",
                                               "clear-halt 81", "vendor a4 0",
                                               "interrupt 81 1"}));
    EXPECT_EQ(state(), static_cast<ULONG>(SCARD_PRESENT));
    tear_down();
  });
}

} // namespace
} // namespace talvor::test
