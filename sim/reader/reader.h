// The reader's firmware: its USB descriptors, the vendor commands, the
// announced and unannounced bulk transfers, the interrupt presence byte,
// the card slot and a small I2C memory. Bytes move between the bulk pipes
// and the card at the card's rate, on the kernel's clock.
//
// Commands (vendor requests on the default pipe):
//   0xA1 COLD RESET, 0xA0 WARM RESET  in, 1 byte: the ATR length; the ATR is
//                                     then readable on bulk-in unannounced
//   0xA3 POWER DOWN, 0xA4 HOST ABORT  out, no data
//   0xA5 SET PARAMETERS               out, 2 bytes: protocol, Fl<<4 | Dl
//   0xC0 WRITE LENGTH, 0xC1 READ LENGTH  out, no data; wIndex bytes follow
//                                     on bulk-out / are wanted on bulk-in
//   0x43 I2C COMMAND                  out, 2 bytes: device address, word
//                                     address; the announced transfers that
//                                     follow go to the I2C memory
//   0x02 VENDOR WRITE, 0x03 VENDOR READ  a two-byte register
// A card command (resets, SET PARAMETERS, an announcement for the card)
// with no card in the slot stalls, as the real reader does.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/card/card.h"
#include "platform/kernel/kernel.h"
#include "platform/usb/device.h"

namespace talvor::reader {

enum class Command : std::uint8_t {
  WarmReset = 0xA0,
  ColdReset = 0xA1,
  PowerDown = 0xA3,
  HostAbort = 0xA4,
  SetParameters = 0xA5,
  WriteLength = 0xC0,
  ReadLength = 0xC1,
  I2cCommand = 0x43,
  VendorWrite = 0x02,
  VendorRead = 0x03,
};

constexpr std::uint8_t kInterruptIn = 0x81;
constexpr std::uint8_t kBulkOut = 0x02;
constexpr std::uint8_t kBulkIn = 0x82;
constexpr std::uint8_t kI2cMemoryAddress = 0xA0; // the memory's device address
constexpr std::uint16_t kVendorId = 0x1FC9;      // the reader's IDs
constexpr std::uint16_t kProductId = 0x5310;

// Descriptor layouts: the reader as built, and broken ones for the driver's
// failure paths.
enum class Layout {
  Standard,          // interrupt-in, bulk-out, bulk-in
  LongConfiguration, // the same behind vendor descriptors: over 521 bytes
  WrongOrder,        // bulk-out, bulk-in, interrupt-in
  MissingBulkIn,     // interrupt-in, bulk-out
  NoEndpoints,
};

usb::UsbDescriptors reader_descriptors(Layout layout = Layout::Standard);

struct ReaderOptions {
  Layout layout = Layout::Standard;
  std::uint32_t card_clock_hz = card::kDefaultClockHz;
  // Charges each transaction this much bus time (100 ns units), e.g. one
  // full-speed frame (10000), so that benchmarks report modelled wire time.
  std::uint64_t frame_time = 0;
};

struct ReaderCounters {
  std::size_t commands = 0;
  std::size_t stalls = 0;
  std::size_t aborts = 0;
  std::size_t bytes_to_card = 0;
  std::size_t bytes_from_card = 0;
  std::size_t bytes_discarded = 0; // dropped by HOST ABORT or a reset
};

class ReaderFirmware : public usb::StandardDevice {
public:
  ReaderFirmware(kernel::Kernel &kernel, ReaderOptions options = {});

  // The slot. Insertion and removal queue a presence byte (1 / 0).
  void insert(std::unique_ptr<card::Card> card);
  std::unique_ptr<card::Card> remove();
  bool card_present() const;
  // Runs `f` on the card in the slot, under the reader's lock.
  template <typename F> auto with_card(F &&f) {
    std::lock_guard guard(reader_lock_);
    return f(card_.get());
  }
  // Any byte on the interrupt pipe, for tests.
  void inject_interrupt(std::uint8_t byte);

  std::array<std::uint8_t, 256> i2c_memory() const;
  void set_i2c_memory(const std::array<std::uint8_t, 256> &memory);
  std::array<std::uint8_t, 2> vendor_register() const;
  ReaderCounters counters() const;

protected:
  void handle(const usb::TransferPtr &transfer) override;
  void cancelled(const usb::TransferPtr &transfer) override;
  void configured(std::uint8_t value) override;
  void detached() override;

private:
  struct TimedByte {
    std::uint8_t value;
    std::uint64_t ready; // kernel interrupt time
  };
  // What a completion is: done outside the lock.
  struct Completion {
    usb::TransferPtr transfer;
    usb::TransferResult result;
    std::uint64_t delay = 0;
  };
  using Completions = std::vector<Completion>;

  void control(const usb::TransferPtr &transfer, Completions &done);
  void bulk_out(const usb::TransferPtr &transfer, Completions &done);
  void bulk_in(const usb::TransferPtr &transfer, Completions &done);
  void interrupt_in(const usb::TransferPtr &transfer, Completions &done);
  void reset_card(bool cold, const usb::TransferPtr &transfer,
                  Completions &done);
  void abort_exchange();
  // Moves every byte the card has scheduled into received_.
  void collect_card_output();
  void serve_reads(Completions &done);
  void serve_interrupts(Completions &done);
  void stall(const usb::TransferPtr &transfer, Completions &done);
  void finish(Completions &done);
  std::uint64_t now() const;
  card::Time card_time(std::uint64_t interrupt_time) const;
  std::uint64_t interrupt_time(card::Time time) const;

  kernel::Kernel &kernel_;
  const ReaderOptions options_;

  // reader_lock_ guards everything below. Transfers are completed after it
  // is released: a completion may run the host's code.
  mutable std::mutex reader_lock_;
  std::unique_ptr<card::Card> card_;
  std::deque<std::uint8_t> presence_; // bytes for the interrupt pipe
  bool report_state_ = false;         // first read after configuration
  std::vector<usb::TransferPtr> interrupt_reads_;
  std::deque<TimedByte> received_; // from the card, not yet delivered
  std::uint32_t unannounced_ = 0;  // bulk-in bytes due without READ LENGTH
  std::uint32_t write_budget_ = 0; // announced bulk-out bytes
  std::uint32_t read_budget_ = 0;  // announced bulk-in bytes
  std::optional<usb::TransferPtr> pending_read_;
  bool i2c_selected_ = false;
  std::uint8_t i2c_device_ = 0;
  std::uint8_t i2c_address_ = 0;
  std::array<std::uint8_t, 256> i2c_memory_{};
  std::array<std::uint8_t, 2> register_{};
  std::uint64_t line_free_ = 0;  // the UART is busy sending until then
  std::uint64_t card_quiet_ = 0; // the card's last byte has arrived by then
  ReaderCounters counters_;
};

} // namespace talvor::reader
