// The reader's firmware seen from the USB side, transaction by transaction:
// descriptors, the vendor commands, announced and unannounced transfers with
// a card in the slot, the presence byte and the I2C memory.
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "sim/card/applications.h"
#include "sim/card/cards.h"
#include "platform/kernel/kernel.h"
#include "sim/reader/reader.h"
#include "platform/usb/descriptors.h"

namespace talvor::test {
namespace {

using reader::Command;
using reader::ReaderFirmware;
using usb::Bytes;
using usb::TransferResult;
using usb::TransferType;

struct Outcome {
  std::optional<TransferResult> result; // none while the reader holds it
  std::uint64_t delay = 0;
  usb::TransferPtr transfer;
  bool ok() const { return result && result->status == USBD_STATUS_SUCCESS; }
  bool stalled() const {
    return result && result->status == USBD_STATUS_STALL_PID;
  }
};

class ReaderTest : public ::testing::Test {
protected:
  // Submits a transaction; its outcome fills in when the reader completes
  // it, at once or later (a held transfer).
  std::shared_ptr<Outcome> submit_held(usb::UsbTransfer::Request request) {
    auto outcome = std::make_shared<Outcome>();
    auto transfer = std::make_shared<usb::UsbTransfer>(
        next_id_++, std::move(request),
        // Weak: the outcome holds the transfer, which holds this sink.
        [weak = std::weak_ptr<Outcome>(outcome)](TransferResult result,
                                                 std::uint64_t delay) {
          if (auto outcome = weak.lock()) {
            outcome->result = std::move(result);
            outcome->delay = delay;
          }
        });
    outcome->transfer = transfer;
    firmware_.submit(transfer);
    return outcome;
  }
  Outcome submit(usb::UsbTransfer::Request request) {
    return *submit_held(std::move(request));
  }

  Outcome command(Command code, std::uint16_t index = 0xFFFF, Bytes data = {},
                  bool in = false, std::uint16_t length = 0) {
    usb::UsbTransfer::Request request;
    request.type = TransferType::Control;
    usb::SetupPacket setup;
    setup.request_type = in ? 0xC0 : 0x40;
    setup.request = static_cast<std::uint8_t>(code);
    setup.value = 0xFFFF;
    setup.index = index;
    setup.length = in ? length : static_cast<std::uint16_t>(data.size());
    request.setup = setup;
    request.length = setup.length;
    request.out = std::move(data);
    return submit(std::move(request));
  }
  Outcome write(Bytes bytes) {
    usb::UsbTransfer::Request request;
    request.type = TransferType::Bulk;
    request.endpoint = reader::kBulkOut;
    request.length = static_cast<std::uint32_t>(bytes.size());
    request.out = std::move(bytes);
    return submit(std::move(request));
  }
  usb::UsbTransfer::Request read_request(std::uint32_t length) {
    usb::UsbTransfer::Request request;
    request.type = TransferType::Bulk;
    request.endpoint = reader::kBulkIn;
    request.length = length;
    return request;
  }
  Outcome read(std::uint32_t length) { return submit(read_request(length)); }
  std::shared_ptr<Outcome> interrupt() {
    usb::UsbTransfer::Request request;
    request.type = TransferType::Interrupt;
    request.endpoint = reader::kInterruptIn;
    request.length = 1;
    return submit_held(std::move(request));
  }
  void configure() {
    usb::UsbTransfer::Request request;
    request.type = TransferType::Control;
    usb::SetupPacket setup;
    setup.request_type = 0x00;
    setup.request = USB_REQUEST_SET_CONFIGURATION;
    setup.value = 1;
    request.setup = setup;
    ASSERT_TRUE(submit(std::move(request)).ok());
  }
  void insert(card::ReadyCard which) {
    firmware_.insert(std::make_unique<card::Card>(
        card::make_card(which, std::make_unique<card::EchoApplication>())));
  }
  // COLD RESET, then the ATR read unannounced.
  Bytes cold_reset() {
    Outcome reset = command(Command::ColdReset, 0xFFFF, {}, true, 1);
    EXPECT_TRUE(reset.ok());
    std::uint8_t length = reset.result->data.at(0);
    Outcome atr = read(length);
    EXPECT_TRUE(atr.ok());
    return atr.result->data;
  }
  // An announced exchange: WRITE LENGTH, 16-byte chunks, READ LENGTH 3 for
  // the prologue, then READ LENGTH for the rest, as the driver does for T=1.
  Bytes exchange_t1(const Bytes &block) {
    EXPECT_TRUE(
        command(Command::WriteLength, static_cast<std::uint16_t>(block.size()))
            .ok());
    for (std::size_t at = 0; at < block.size(); at += 16)
      EXPECT_TRUE(write(Bytes(block.begin() + at,
                              block.begin() + std::min(block.size(), at + 16)))
                      .ok());
    EXPECT_TRUE(command(Command::ReadLength, 3).ok());
    Outcome prologue = read(3);
    EXPECT_TRUE(prologue.ok());
    if (!prologue.ok())
      return {};
    Bytes reply = prologue.result->data;
    std::uint16_t rest = reply[2] + 1; // INF and the LRC
    EXPECT_TRUE(command(Command::ReadLength, rest).ok());
    while (rest > 0) {
      std::uint16_t chunk = std::min<std::uint16_t>(rest, 16);
      Outcome part = read(chunk);
      EXPECT_TRUE(part.ok());
      if (!part.ok())
        return reply;
      reply.insert(reply.end(), part.result->data.begin(),
                   part.result->data.end());
      rest -= chunk;
    }
    return reply;
  }
  static Bytes lrc_block(std::uint8_t pcb, const Bytes &inf) {
    Bytes block;
    block.reserve(inf.size() + 4);
    block.push_back(0x00);
    block.push_back(pcb);
    block.push_back(static_cast<std::uint8_t>(inf.size()));
    for (std::uint8_t byte : inf)
      block.push_back(byte);
    std::uint8_t lrc = 0;
    for (std::uint8_t byte : block)
      lrc ^= byte;
    block.push_back(lrc);
    return block;
  }

  kernel::Kernel kernel_;
  ReaderFirmware firmware_{kernel_};
  std::uint64_t next_id_ = 1;
};

TEST(ReaderDescriptors, EndpointOrderAndLayouts) {
  auto standard = reader::reader_descriptors();
  const Bytes &configuration = standard.configurations.at(0);
  // interrupt-in, bulk-out, bulk-in, in that order.
  std::vector<std::uint8_t> endpoints;
  for (std::size_t at = 0; at + 1 < configuration.size();
       at += configuration[at]) {
    if (configuration[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE)
      endpoints.push_back(configuration[at + 2]);
    if (configuration[at] == 0)
      break;
  }
  EXPECT_EQ(endpoints, (std::vector<std::uint8_t>{0x81, 0x02, 0x82}));
  EXPECT_LE(configuration.size(), 521u);
  EXPECT_GT(reader::reader_descriptors(reader::Layout::LongConfiguration)
                .configurations.at(0)
                .size(),
            521u);
  EXPECT_EQ(standard.device.at(1), USB_DEVICE_DESCRIPTOR_TYPE);
}

TEST_F(ReaderTest, CardCommandsStallWithoutACard) {
  EXPECT_TRUE(command(Command::ColdReset, 0xFFFF, {}, true, 1).stalled());
  EXPECT_TRUE(command(Command::WriteLength, 4).stalled());
  EXPECT_TRUE(command(Command::SetParameters, 0xFFFF, {1, 0x11}).stalled());
  // Commands for the reader itself work.
  EXPECT_TRUE(command(Command::HostAbort).ok());
  EXPECT_TRUE(command(Command::PowerDown).ok());
}

TEST_F(ReaderTest, ColdResetGivesTheAtrLengthAndTheAtrUnannounced) {
  insert(card::ReadyCard::t1_lrc);
  Outcome reset = command(Command::ColdReset, 0xFFFF, {}, true, 1);
  ASSERT_TRUE(reset.ok());
  Bytes expected = card::ready_profile(card::ReadyCard::t1_lrc).atr.bytes();
  EXPECT_EQ(reset.result->data,
            Bytes{static_cast<std::uint8_t>(expected.size())});
  // The answer comes once the ATR has crossed the line at 9600 bit/s: about
  // 1.25 ms a character.
  EXPECT_GT(reset.delay, expected.size() * 11000u);
  Outcome atr = read(static_cast<std::uint32_t>(expected.size()));
  ASSERT_TRUE(atr.ok());
  EXPECT_EQ(atr.result->data, expected);
}

TEST_F(ReaderTest, InverseConventionIsPassedOnAsTheLineCarriesIt) {
  insert(card::ReadyCard::inverse);
  Bytes atr = cold_reset();
  ASSERT_FALSE(atr.empty());
  EXPECT_EQ(atr[0], 0x03); // TS 0x3F as a direct-convention UART reads it
}

TEST_F(ReaderTest, T1ExchangeThroughAnnouncedTransfers) {
  insert(card::ReadyCard::t1_lrc);
  cold_reset();
  // A case 2 APDU for 20 bytes: two chunks back, 16 and 8.
  Bytes apdu = {0x00, card::echo::kCase2, 0x05, 0x00, 20};
  Bytes reply = exchange_t1(lrc_block(0x00, apdu));
  ASSERT_GE(reply.size(), 4u + 22u);
  EXPECT_EQ(reply[1], 0x00); // I-block N(S) 0
  EXPECT_EQ(reply[2], 22);   // 20 bytes and SW1 SW2
  EXPECT_EQ(reply[3], card::echo::pattern(0x05, 0));
  EXPECT_EQ(reply[3 + 20], 0x90);
  EXPECT_EQ(reply[3 + 21], 0x00);
}

TEST_F(ReaderTest, AnnouncementsBoundTheTransfers) {
  insert(card::ReadyCard::t1_lrc);
  cold_reset();
  // More than announced is refused.
  ASSERT_TRUE(command(Command::WriteLength, 2).ok());
  EXPECT_TRUE(write({1, 2, 3}).stalled());
  // A zero-length announcement and transfer both work.
  ASSERT_TRUE(command(Command::WriteLength, 0).ok());
  EXPECT_TRUE(write({}).ok());
  ASSERT_TRUE(command(Command::ReadLength, 0).ok());
  Outcome empty = read(0);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty.result->data.empty());
  // A read with nothing announced is held until the host gives up.
  auto held = submit_held(read_request(3));
  EXPECT_FALSE(held->result);
  EXPECT_TRUE(held->transfer->abort());
  static_cast<usb::UsbDevice &>(firmware_).cancelled(held->transfer);
}

TEST_F(ReaderTest, HostAbortDropsWhatTheCardSent) {
  insert(card::ReadyCard::t1_lrc);
  cold_reset();
  Bytes block = lrc_block(0x00, {0x00, card::echo::kCase1, 0, 0});
  ASSERT_TRUE(
      command(Command::WriteLength, static_cast<std::uint16_t>(block.size()))
          .ok());
  ASSERT_TRUE(write(block).ok());
  ASSERT_TRUE(command(Command::HostAbort).ok());
  EXPECT_GT(firmware_.counters().bytes_discarded, 0u);
  ASSERT_TRUE(command(Command::ReadLength, 3).ok());
  auto held = submit_held(read_request(3));
  EXPECT_FALSE(held->result) << "the card's answer was dropped";
  held->transfer->abort();
  static_cast<usb::UsbDevice &>(firmware_).cancelled(held->transfer);
}

TEST_F(ReaderTest, SetParametersMovesTheLineToTheNegotiatedRate) {
  insert(card::ReadyCard::t1_lrc);
  cold_reset();
  auto rate =
      firmware_.with_card([](card::Card *card) { return card->line_rate(); });
  EXPECT_EQ(rate, card::Rate{});
  ASSERT_TRUE(command(Command::SetParameters, 0xFFFF, {1, 0x13}).ok());
  rate =
      firmware_.with_card([](card::Card *card) { return card->line_rate(); });
  EXPECT_EQ(rate, (card::Rate{1, 3}));
}

TEST_F(ReaderTest, PresenceBytes) {
  insert(card::ReadyCard::t0);
  auto before = interrupt();
  // Not configured yet: the insertion waits in the queue...
  ASSERT_TRUE(before->result);
  EXPECT_EQ(before->result->data, Bytes{1});
  // ...and configuration replaces what is queued with the current state.
  firmware_.remove();
  configure();
  auto first = interrupt();
  ASSERT_TRUE(first->result);
  EXPECT_EQ(first->result->data, Bytes{0});
  auto waiting = interrupt();
  EXPECT_FALSE(waiting->result);
  insert(card::ReadyCard::t0);
  ASSERT_TRUE(waiting->result);
  EXPECT_EQ(waiting->result->data, Bytes{1});
  firmware_.inject_interrupt(7);
  auto injected = interrupt();
  ASSERT_TRUE(injected->result);
  EXPECT_EQ(injected->result->data, Bytes{7});
}

TEST_F(ReaderTest, I2cMemoryBehindTheI2cCommand) {
  ASSERT_TRUE(
      command(Command::I2cCommand, 0, {reader::kI2cMemoryAddress, 0x10}).ok());
  ASSERT_TRUE(command(Command::WriteLength, 3).ok());
  ASSERT_TRUE(write({0xAA, 0xBB, 0xCC}).ok());
  EXPECT_EQ(firmware_.i2c_memory()[0x11], 0xBB);

  ASSERT_TRUE(
      command(Command::I2cCommand, 0, {reader::kI2cMemoryAddress, 0x10}).ok());
  ASSERT_TRUE(command(Command::ReadLength, 3).ok());
  Outcome back = read(3);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.result->data, (Bytes{0xAA, 0xBB, 0xCC}));

  // No device answers at another address.
  ASSERT_TRUE(command(Command::I2cCommand, 0, {0x50, 0}).ok());
  ASSERT_TRUE(command(Command::WriteLength, 1).ok());
  EXPECT_TRUE(write({1}).stalled());
}

TEST_F(ReaderTest, VendorRegister) {
  ASSERT_TRUE(command(Command::VendorWrite, 0, {0x12, 0x34}).ok());
  Outcome back = command(Command::VendorRead, 0, {}, true, 2);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.result->data, (Bytes{0x12, 0x34}));
}

} // namespace
} // namespace talvor::test
