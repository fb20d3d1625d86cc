// The reader's firmware: its USB descriptors, the vendor commands, the
// announced and unannounced bulk transfers, the interrupt presence byte,
// the card slot and a small I2C memory. Bytes move between the bulk pipes
// and the card at the card's rate, and every answer comes at a full-speed
// frame, on the kernel's clock.
//
// Commands (vendor requests on the default pipe; bmRequestType 0x40 out,
// 0xC0 in; anything else, or other fields, stalls):
//   request               dir  wValue wIndex  wLength
//   0xA1 COLD RESET       in   FFFF   FFFF    1  the ATR length; the ATR is
//   0xA0 WARM RESET       in   FFFF   FFFF    1  then readable unannounced
//   0xA3 POWER DOWN       out  FFFF   FFFF    0
//   0xA4 HOST ABORT       out  FFFF   FFFF    0
//   0xA5 SET PARAMETERS   out  FFFF   FFFF    2  protocol (0 T=0, 1 T=1),
//                                                Fl<<4 | Dl of a rate the
//                                                reader reports
//   0xC0 WRITE LENGTH     out  FFFF   count   0  bytes that follow on
//   0xC1 READ LENGTH      out  FFFF   count   0  bulk-out / wanted on bulk-in
//   0x43 I2C COMMAND      out  0      0       2  device address, word
//                                                address; the announced
//                                                transfers that follow go
//                                                to the I2C memory
//   0x02 VENDOR WRITE     out  0      0       2  a two-byte register
//   0x03 VENDOR READ      in   0      0       2
// A card command (resets, SET PARAMETERS, an announcement for the card)
// with no card in the slot stalls, as the real reader does. A stall on a
// bulk or interrupt endpoint halts it until CLEAR_FEATURE(ENDPOINT_HALT).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/kernel/kernel.h"
#include "platform/usb/device.h"
#include "sim/card/card.h"
#include "sim/reader/alarm.h"

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

enum class Timing {
  // A full-speed device: an answer no earlier than the next 1 ms frame,
  // the interrupt endpoint polled every bInterval frames, card bytes when
  // they have crossed the line at the card's rate.
  FullSpeed,
  // No bus or line time at all: what the software costs, alone.
  Instant,
};

struct ReaderOptions {
  Layout layout = Layout::Standard;
  std::uint32_t card_clock_hz = card::kDefaultClockHz;
  Timing timing = Timing::FullSpeed;
  // Faults of the reader's own: VENDOR READ answers this many bytes of
  // its two; the I2C device stops acknowledging after this many bytes of
  // a transfer (its bulk transfer stalls there).
  std::uint16_t vendor_read_bytes = 2;
  std::optional<std::size_t> i2c_ack_limit;
};

// Reader profiles by name: "standard", "instant", "short-vendor-read",
// "i2c-stops-acking".
std::span<const std::string_view> reader_profile_names();
std::optional<ReaderOptions> reader_profile(std::string_view name);

// The rates the reader reports (3.7 MHz divided by these F/D), of which it
// can run those up to its maximum.
inline constexpr std::array<std::uint32_t, 8> kReaderRateDivisors = {
    512, 372, 256, 128, 64, 93, 24, 16};
inline constexpr std::uint32_t kReaderClockHz = 3'700'000;
inline constexpr std::uint32_t kReaderMaxDataRate = 223'200;
bool reader_supports(card::Rate rate);

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
  explicit ReaderFirmware(kernel::Kernel &kernel, ReaderOptions options = {});

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
  // What the locked part decided: completions, done outside the lock (a
  // completion may run the host's code), and times to look again.
  struct Completion {
    usb::TransferPtr transfer;
    usb::TransferResult result;
    std::uint64_t delay = 0;
  };
  struct Work {
    std::vector<Completion> done;
    std::vector<std::uint64_t> alarms;
  };
  struct PendingReset {
    usb::TransferPtr transfer;
    std::uint64_t start = 0;
  };

  void control(const usb::TransferPtr &transfer, Work &work);
  void command(const usb::TransferPtr &transfer, Work &work);
  void bulk_out(const usb::TransferPtr &transfer, Work &work);
  void bulk_in(const usb::TransferPtr &transfer, Work &work);
  void interrupt_in(const usb::TransferPtr &transfer, Work &work);
  void set_parameters(const usb::TransferPtr &transfer, Work &work);
  void i2c_write(const usb::TransferPtr &transfer, Work &work);
  void reset_card(bool cold, const usb::TransferPtr &transfer, Work &work);
  // Answers the reset in progress once its ATR has come to an end.
  void serve_reset(Work &work);
  void answer_reset(std::uint8_t length, Work &work);
  void abort_exchange(Work &work);
  void flush_card_output();
  // Moves every byte the card has scheduled into received_.
  void collect_card_output();
  void serve_reads(Work &work);
  void serve_interrupts(Work &work);
  void ok(const usb::TransferPtr &transfer, Work &work);
  void answer(const usb::TransferPtr &transfer, usb::TransferResult result,
              std::uint64_t ready, Work &work);
  void stall(const usb::TransferPtr &transfer, Work &work);
  void finish(Work &work);
  void ring();
  std::uint64_t now() const;
  // How long until something due at `ready` reaches the host: the next
  // frame (or poll) after it.
  std::uint64_t frames_until(std::uint64_t ready, std::uint64_t frames) const;
  std::uint64_t ready_at(card::Time time) const;
  card::Time card_time(std::uint64_t interrupt_time) const;
  std::uint64_t interrupt_time(card::Time time) const;

  kernel::Kernel &kernel_;
  const ReaderOptions options_;
  Alarm alarm_;

  // reader_lock_ guards everything below. Transfers are completed and the
  // alarm set after it is released.
  mutable std::mutex reader_lock_;
  std::unique_ptr<card::Card> card_;
  std::uint64_t insertions_ = 0;
  std::deque<std::uint8_t> presence_; // bytes for the interrupt pipe
  bool report_state_ = false;         // first read after configuration
  std::vector<usb::TransferPtr> interrupt_reads_;
  std::deque<TimedByte> received_; // from the card, not yet delivered
  std::uint32_t unannounced_ = 0;  // bulk-in bytes due without READ LENGTH
  std::uint32_t write_budget_ = 0; // announced bulk-out bytes
  std::uint32_t read_budget_ = 0;  // announced bulk-in bytes
  std::optional<usb::TransferPtr> pending_read_;
  std::optional<PendingReset> pending_reset_;
  bool i2c_selected_ = false;
  std::uint8_t i2c_device_ = 0;
  std::uint8_t i2c_address_ = 0;
  std::size_t i2c_acknowledged_ = 0; // bytes since the I2C COMMAND
  std::array<std::uint8_t, 256> i2c_memory_{};
  std::array<std::uint8_t, 2> register_{};
  std::uint64_t line_free_ = 0;  // the UART is busy sending until then
  std::uint64_t card_quiet_ = 0; // the card's last byte has arrived by then
  ReaderCounters counters_;
};

} // namespace talvor::reader
