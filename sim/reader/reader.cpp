#include "sim/reader/reader.h"

#include <algorithm>
#include <vector>

namespace talvor::reader {

namespace {

using usb::TransferPtr;
using usb::TransferResult;

constexpr std::uint64_t kNanosecondsPerTick = 100;
constexpr std::uint64_t kFrame = 10'000; // a full-speed frame, 1 ms
// A card that sends nothing after a reset: the reader gives up after the
// ATR's longest wait (40000 clock cycles at the slowest clock, rounded up).
constexpr std::uint64_t kSilentAtrWait = 200'000; // 20 ms
// The longest pause between two ATR characters (ISO/IEC 7816-3 8.2).
constexpr std::int64_t kAtrGapEtus = 9600;
constexpr std::uint8_t kLineTsInverse = 0x03; // TS 0x3F to a direct UART
constexpr std::uint8_t kVendorOut = 0x40;
constexpr std::uint8_t kVendorIn = 0xC0;
constexpr std::uint16_t kReaderField = 0xFFFF;

usb::EndpointSpec endpoint(std::uint8_t address, std::uint8_t type,
                           std::uint16_t max_packet, std::uint8_t interval) {
  usb::EndpointSpec shape;
  shape.address = address;
  shape.attributes = type;
  shape.max_packet = max_packet;
  shape.interval = interval;
  return shape;
}

// Each command as the reader defines it; `index` empty: any (a count).
struct Definition {
  Command command;
  bool in;
  std::uint16_t value;
  std::optional<std::uint16_t> index;
  std::uint16_t length;
};

constexpr Definition kCommands[] = {
    {Command::ColdReset, true, kReaderField, kReaderField, 1},
    {Command::WarmReset, true, kReaderField, kReaderField, 1},
    {Command::PowerDown, false, kReaderField, kReaderField, 0},
    {Command::HostAbort, false, kReaderField, kReaderField, 0},
    {Command::SetParameters, false, kReaderField, kReaderField, 2},
    {Command::WriteLength, false, kReaderField, std::nullopt, 0},
    {Command::ReadLength, false, kReaderField, std::nullopt, 0},
    {Command::I2cCommand, false, 0, 0, 2},
    {Command::VendorWrite, false, 0, 0, 2},
    {Command::VendorRead, true, 0, 0, 2},
};

bool well_formed(const usb::SetupPacket &setup, const usb::Bytes &data) {
  for (const Definition &definition : kCommands) {
    if (static_cast<std::uint8_t>(definition.command) != setup.request)
      continue;
    return setup.request_type == (definition.in ? kVendorIn : kVendorOut) &&
           setup.value == definition.value &&
           (!definition.index || setup.index == *definition.index) &&
           setup.length == definition.length &&
           (definition.in || data.size() == definition.length);
  }
  return false;
}

constexpr std::string_view kReaderProfiles[] = {
    "standard", "instant", "short-vendor-read", "i2c-stops-acking"};

std::uint64_t mix(std::uint64_t value) {
  // splitmix64's finaliser: neighbouring seeds give unrelated cards.
  value += 0x9E3779B97F4A7C15ull;
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
  return value ^ (value >> 31);
}

} // namespace

std::span<const std::string_view> reader_profile_names() {
  return kReaderProfiles;
}

std::optional<ReaderOptions> reader_profile(std::string_view name) {
  ReaderOptions options;
  if (name == "standard")
    return options;
  if (name == "instant") {
    options.timing = Timing::Instant;
    return options;
  }
  if (name == "short-vendor-read") {
    options.vendor_read_bytes = 1;
    return options;
  }
  if (name == "i2c-stops-acking") {
    options.i2c_ack_limit = 4;
    return options;
  }
  return std::nullopt;
}

bool reader_supports(card::Rate rate) {
  if (!rate.valid() || rate.f() % rate.d() != 0)
    return false;
  const std::uint32_t divisor = rate.f() / rate.d();
  return std::find(kReaderRateDivisors.begin(), kReaderRateDivisors.end(),
                   divisor) != kReaderRateDivisors.end() &&
         kReaderClockHz / divisor <= kReaderMaxDataRate;
}

usb::UsbDescriptors reader_descriptors(Layout layout) {
  usb::DeviceSpec device;
  device.usb_version = 0x0110;
  device.max_packet0 = 8;
  device.vendor = kVendorId;
  device.product = kProductId;
  device.release = 0x0110;
  device.manufacturer = 1;
  device.product_name = 2;
  device.serial_number = 3;

  auto interrupt_in =
      endpoint(kInterruptIn, USB_ENDPOINT_TYPE_INTERRUPT, 8, 10);
  auto bulk_out = endpoint(kBulkOut, USB_ENDPOINT_TYPE_BULK, 16, 0);
  auto bulk_in = endpoint(kBulkIn, USB_ENDPOINT_TYPE_BULK, 16, 0);
  usb::InterfaceSpec interface;
  interface.number = 0;
  interface.interface_class = 0xFF;
  switch (layout) {
  case Layout::Standard:
    interface.endpoints = {interrupt_in, bulk_out, bulk_in};
    break;
  case Layout::LongConfiguration:
    interface.endpoints = {interrupt_in, bulk_out, bulk_in};
    for (int i = 0; i < 3; ++i) {
      auto extra =
          usb::vendor_descriptor(0x41, 200, static_cast<std::uint8_t>(i));
      interface.extra.insert(interface.extra.end(), extra.begin(), extra.end());
    }
    break;
  case Layout::WrongOrder:
    interface.endpoints = {bulk_out, bulk_in, interrupt_in};
    break;
  case Layout::MissingBulkIn:
    interface.endpoints = {interrupt_in, bulk_out};
    break;
  case Layout::NoEndpoints:
    break;
  }
  usb::ConfigurationSpec configuration;
  configuration.value = 1;
  configuration.attributes = USB_CONFIG_BUS_POWERED | USB_CONFIG_REMOTE_WAKEUP;
  configuration.max_power = 50;
  configuration.interfaces = {interface};

  usb::UsbDescriptors descriptors;
  descriptors.device = usb::build_device_descriptor(device);
  descriptors.configurations.push_back(
      usb::build_configuration_descriptor(configuration));
  descriptors.strings[0] = {4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04};
  descriptors.strings[1] = usb::string_descriptor(u"Veltraxon");
  descriptors.strings[2] = usb::string_descriptor(u"USB Smart Card Reader");
  descriptors.strings[3] = usb::string_descriptor(u"000000000001");
  return descriptors;
}

ReaderFirmware::ReaderFirmware(kernel::Kernel &kernel, ReaderOptions options)
    : StandardDevice(reader_descriptors(options.layout), usb::Speed::Full),
      kernel_(kernel), options_(options), alarm_(kernel, [this] { ring(); }) {}

// ---------------------------------------------------------------------------
// The slot and test hooks

void ReaderFirmware::insert(std::unique_ptr<card::Card> card) {
  Work work;
  {
    std::lock_guard guard(reader_lock_);
    card->set_clock_hz(options_.card_clock_hz);
    // The card's randomness replays with the kernel's seed.
    card->seed(mix(kernel_.seed() ^ mix(++insertions_)));
    card_ = std::move(card);
    presence_.push_back(1);
    serve_interrupts(work);
  }
  finish(work);
}

std::unique_ptr<card::Card> ReaderFirmware::remove() {
  Work work;
  std::unique_ptr<card::Card> card;
  {
    std::lock_guard guard(reader_lock_);
    card = std::move(card_);
    // What the card had still to send never comes; a reset waiting for
    // its ATR is answered without one.
    counters_.bytes_discarded += received_.size();
    received_.clear();
    write_budget_ = read_budget_ = unannounced_ = 0;
    if (pending_reset_)
      answer_reset(0, work);
    presence_.push_back(0);
    serve_interrupts(work);
  }
  finish(work);
  return card;
}

bool ReaderFirmware::card_present() const {
  std::lock_guard guard(reader_lock_);
  return card_ != nullptr;
}

void ReaderFirmware::inject_interrupt(std::uint8_t byte) {
  Work work;
  {
    std::lock_guard guard(reader_lock_);
    presence_.push_back(byte);
    serve_interrupts(work);
  }
  finish(work);
}

std::array<std::uint8_t, 256> ReaderFirmware::i2c_memory() const {
  std::lock_guard guard(reader_lock_);
  return i2c_memory_;
}

void ReaderFirmware::set_i2c_memory(
    const std::array<std::uint8_t, 256> &memory) {
  std::lock_guard guard(reader_lock_);
  i2c_memory_ = memory;
}

std::array<std::uint8_t, 2> ReaderFirmware::vendor_register() const {
  std::lock_guard guard(reader_lock_);
  return register_;
}

ReaderCounters ReaderFirmware::counters() const {
  std::lock_guard guard(reader_lock_);
  return counters_;
}

// ---------------------------------------------------------------------------
// The bus side

void ReaderFirmware::handle(const TransferPtr &transfer) {
  Work work;
  {
    std::lock_guard guard(reader_lock_);
    switch (transfer->type()) {
    case usb::TransferType::Control:
      control(transfer, work);
      break;
    case usb::TransferType::Bulk:
      if (transfer->endpoint() == kBulkOut)
        bulk_out(transfer, work);
      else if (transfer->endpoint() == kBulkIn)
        bulk_in(transfer, work);
      else
        stall(transfer, work);
      break;
    case usb::TransferType::Interrupt:
      if (transfer->endpoint() == kInterruptIn)
        interrupt_in(transfer, work);
      else
        stall(transfer, work);
      break;
    default:
      stall(transfer, work);
      break;
    }
  }
  finish(work);
}

void ReaderFirmware::cancelled(const TransferPtr &transfer) {
  std::lock_guard guard(reader_lock_);
  if (pending_read_ && *pending_read_ == transfer)
    pending_read_.reset();
  if (pending_reset_ && pending_reset_->transfer == transfer)
    pending_reset_.reset();
  std::erase(interrupt_reads_, transfer);
}

void ReaderFirmware::configured(std::uint8_t value) {
  std::lock_guard guard(reader_lock_);
  if (value == 0)
    return;
  // Configured afresh: the host learns the slot's state from the first
  // interrupt read, not from changes it could not have heard.
  presence_.clear();
  report_state_ = true;
}

void ReaderFirmware::detached() {
  StandardDevice::detached();
  alarm_.cancel();
  std::lock_guard guard(reader_lock_);
  pending_read_.reset();
  pending_reset_.reset();
  interrupt_reads_.clear();
}

void ReaderFirmware::ring() {
  Work work;
  {
    std::lock_guard guard(reader_lock_);
    serve_reset(work);
    serve_reads(work);
  }
  finish(work);
}

void ReaderFirmware::ok(const TransferPtr &transfer, Work &work) {
  answer(transfer, TransferResult::ok(), now(), work);
}

void ReaderFirmware::answer(const TransferPtr &transfer, TransferResult result,
                            std::uint64_t ready, Work &work) {
  work.done.push_back({transfer, std::move(result), frames_until(ready, 1)});
}

// A real stall: on a bulk or interrupt endpoint the halt stays until the
// host clears it; the default pipe takes the next setup packet.
void ReaderFirmware::stall(const TransferPtr &transfer, Work &work) {
  ++counters_.stalls;
  if (transfer->type() != usb::TransferType::Control)
    halt(transfer->endpoint());
  answer(transfer, TransferResult::stall(), now(), work);
}

void ReaderFirmware::finish(Work &work) {
  for (std::uint64_t time : work.alarms)
    alarm_.at(time);
  for (auto &completion : work.done)
    completion.transfer->complete(std::move(completion.result),
                                  completion.delay);
  work = {};
}

// ---------------------------------------------------------------------------
// Commands

void ReaderFirmware::control(const TransferPtr &transfer, Work &work) {
  const usb::SetupPacket &setup = *transfer->setup();
  if (!well_formed(setup, transfer->out())) {
    stall(transfer, work);
    return;
  }
  ++counters_.commands;
  command(transfer, work);
}

void ReaderFirmware::command(const TransferPtr &transfer, Work &work) {
  const usb::SetupPacket &setup = *transfer->setup();
  const usb::Bytes &data = transfer->out();
  switch (static_cast<Command>(setup.request)) {
  case Command::ColdReset:
  case Command::WarmReset:
    if (!card_ || pending_reset_) {
      stall(transfer, work);
      return;
    }
    reset_card(setup.request == static_cast<std::uint8_t>(Command::ColdReset),
               transfer, work);
    return;
  case Command::PowerDown:
    abort_exchange(work);
    flush_card_output();
    if (card_)
      card_->power_off(card_time(now()));
    ok(transfer, work);
    return;
  case Command::HostAbort:
    ++counters_.aborts;
    abort_exchange(work);
    ok(transfer, work);
    return;
  case Command::SetParameters:
    set_parameters(transfer, work);
    return;
  case Command::WriteLength:
  case Command::ReadLength:
    if (!card_ && !i2c_selected_) {
      stall(transfer, work);
      return;
    }
    if (setup.request == static_cast<std::uint8_t>(Command::WriteLength)) {
      write_budget_ = setup.index;
    } else {
      read_budget_ = setup.index;
      unannounced_ = 0;
    }
    ok(transfer, work);
    serve_reads(work);
    return;
  case Command::I2cCommand:
    i2c_selected_ = true;
    i2c_device_ = data[0];
    i2c_address_ = data[1];
    i2c_acknowledged_ = 0;
    ok(transfer, work);
    return;
  case Command::VendorWrite:
    register_ = {data[0], data[1]};
    ok(transfer, work);
    return;
  case Command::VendorRead: {
    const std::size_t count = std::min<std::size_t>(
        {options_.vendor_read_bytes, register_.size(), setup.length});
    answer(transfer,
           TransferResult::in(usb::Bytes(
               register_.begin(),
               register_.begin() + static_cast<std::ptrdiff_t>(count))),
           now(), work);
    return;
  }
  }
  stall(transfer, work);
}

// Byte 0 sets the UART's protocol, byte 1 its rate; a rate the reader does
// not report, or one above its maximum, is refused.
void ReaderFirmware::set_parameters(const TransferPtr &transfer, Work &work) {
  const usb::Bytes &data = transfer->out();
  const card::Rate rate = card::Rate::from_byte(data[1]);
  if (!card_ || data[0] > 1 || !reader_supports(rate)) {
    stall(transfer, work);
    return;
  }
  card_->set_line_rate(rate);
  card_->set_line_protocol(data[0]);
  i2c_selected_ = false;
  ok(transfer, work);
}

void ReaderFirmware::reset_card(bool cold, const TransferPtr &transfer,
                                Work &work) {
  abort_exchange(work);
  flush_card_output();
  i2c_selected_ = false;
  const std::uint64_t start = now();
  if (cold)
    card_->power_on(card_time(start));
  else
    card_->warm_reset(card_time(start));
  line_free_ = start;
  card_quiet_ = start;
  pending_reset_ = PendingReset{transfer, start};
  serve_reset(work);
}

// The ATR ends where T0 and the TD bytes say it does, or where a pause
// longer than the ATR allows cuts it short; what comes later stays in the
// reader's buffer, as any byte the card sends unasked does.
void ReaderFirmware::serve_reset(Work &work) {
  if (!pending_reset_ || !card_)
    return;
  collect_card_output();
  const std::uint64_t gap = interrupt_time(
      card::etus(kAtrGapEtus, card::Rate{}, options_.card_clock_hz));
  std::size_t count = 0;
  std::uint64_t end = pending_reset_->start + kSilentAtrWait; // no TS
  if (!received_.empty() && received_.front().ready <= end) {
    const bool inverse = received_.front().value == kLineTsInverse;
    std::vector<std::uint8_t> logical;
    std::optional<std::size_t> announced;
    end = 0;
    for (const TimedByte &byte : received_) {
      if (count > 0 && byte.ready > end + gap)
        break;
      logical.push_back(inverse ? card::inverse_coding(byte.value)
                                : byte.value);
      end = byte.ready;
      ++count;
      announced = card::Atr::announced_length(logical);
      if (announced && count >= *announced)
        break;
    }
    if (!announced || count < *announced)
      end += gap; // the reader waits the gap out before it gives up
  }
  if (options_.timing == Timing::Instant)
    end = now();
  if (end > now()) {
    work.alarms.push_back(end);
    return;
  }
  unannounced_ = static_cast<std::uint32_t>(std::min<std::size_t>(count, 0xFF));
  answer_reset(static_cast<std::uint8_t>(unannounced_), work);
}

void ReaderFirmware::answer_reset(std::uint8_t length, Work &work) {
  answer(pending_reset_->transfer, TransferResult::in({length}), now(), work);
  pending_reset_.reset();
}

// HOST ABORT and its kin end the exchange in progress: the announced
// transfers, a reset still waiting for its ATR, and what the card has sent
// so far. What the card sends from now on still arrives.
void ReaderFirmware::abort_exchange(Work &work) {
  collect_card_output();
  const std::uint64_t current = now();
  while (!received_.empty() && received_.front().ready <= current) {
    received_.pop_front();
    ++counters_.bytes_discarded;
  }
  write_budget_ = 0;
  read_budget_ = 0;
  unannounced_ = 0;
  i2c_selected_ = false;
  if (pending_reset_)
    answer_reset(0, work);
}

// A reset or power down: the card stops sending, and the reader forgets it.
void ReaderFirmware::flush_card_output() {
  collect_card_output();
  counters_.bytes_discarded += received_.size();
  received_.clear();
}

void ReaderFirmware::collect_card_output() {
  if (!card_)
    return;
  while (auto next = card_->next_output()) {
    auto bytes = card_->take_output(*next, 1);
    for (std::uint8_t byte : bytes)
      received_.push_back({byte, ready_at(*next)});
    card_quiet_ = std::max(card_quiet_, interrupt_time(*next));
    if (bytes.empty())
      break;
  }
}

// ---------------------------------------------------------------------------
// Bulk and interrupt pipes

void ReaderFirmware::bulk_out(const TransferPtr &transfer, Work &work) {
  const usb::Bytes &bytes = transfer->out();
  if (bytes.size() > write_budget_) {
    // More than was announced: the reader refuses the packet.
    stall(transfer, work);
    return;
  }
  write_budget_ -= static_cast<std::uint32_t>(bytes.size());
  if (i2c_selected_) {
    i2c_write(transfer, work);
    return;
  }
  if (!card_) {
    stall(transfer, work);
    return;
  }
  // The reader takes a packet once its UART has sent the one before.
  const std::uint64_t accepted = line_free_;
  if (!bytes.empty()) {
    // Half duplex: the reader waits for the card to finish sending.
    const std::uint64_t start = std::max({now(), line_free_, card_quiet_});
    const card::Time end = card_->receive(card_time(start), bytes);
    line_free_ = std::max(line_free_, interrupt_time(end));
    counters_.bytes_to_card += bytes.size();
  }
  answer(transfer, TransferResult::ok(), accepted, work);
  collect_card_output();
  serve_reads(work);
}

void ReaderFirmware::i2c_write(const TransferPtr &transfer, Work &work) {
  const usb::Bytes &bytes = transfer->out();
  if (i2c_device_ != kI2cMemoryAddress && !bytes.empty()) {
    stall(transfer, work); // no such device answers on the I2C bus
    return;
  }
  for (std::uint8_t byte : bytes) {
    if (options_.i2c_ack_limit &&
        i2c_acknowledged_ >= *options_.i2c_ack_limit) {
      stall(transfer, work); // the device stopped acknowledging
      return;
    }
    i2c_memory_[i2c_address_++] = byte;
    ++i2c_acknowledged_;
  }
  ok(transfer, work);
}

void ReaderFirmware::bulk_in(const TransferPtr &transfer, Work &work) {
  if (pending_read_) {
    stall(transfer, work); // the host has one read outstanding at a time
    return;
  }
  pending_read_ = transfer;
  serve_reads(work);
}

void ReaderFirmware::serve_reads(Work &work) {
  if (!pending_read_)
    return;
  const TransferPtr transfer = *pending_read_;
  const std::uint32_t length = transfer->length();

  if (i2c_selected_ && unannounced_ == 0) {
    const bool acknowledged =
        !options_.i2c_ack_limit || i2c_acknowledged_ < *options_.i2c_ack_limit;
    pending_read_.reset();
    if ((i2c_device_ != kI2cMemoryAddress || !acknowledged) && length > 0) {
      stall(transfer, work);
      return;
    }
    const std::uint32_t count = std::min(length, read_budget_);
    usb::Bytes bytes;
    for (std::uint32_t i = 0; i < count; ++i)
      bytes.push_back(i2c_memory_[i2c_address_++]);
    read_budget_ -= count;
    answer(transfer, TransferResult::in(std::move(bytes)), now(), work);
    return;
  }

  std::uint32_t &budget = unannounced_ > 0 ? unannounced_ : read_budget_;
  const std::uint32_t want = std::min(length, budget);
  if (want == 0 && length > 0)
    return; // nothing announced: the reader NAKs until the host gives up
  collect_card_output();
  if (received_.size() < want)
    return; // the card has not sent enough (yet)
  const std::uint64_t ready = want == 0 ? now() : received_[want - 1].ready;
  if (ready > now()) {
    work.alarms.push_back(ready); // still on the line
    return;
  }
  usb::Bytes bytes;
  for (std::uint32_t i = 0; i < want; ++i) {
    bytes.push_back(received_.front().value);
    received_.pop_front();
  }
  budget -= want;
  counters_.bytes_from_card += want;
  pending_read_.reset();
  answer(transfer, TransferResult::in(std::move(bytes)), now(), work);
}

void ReaderFirmware::interrupt_in(const TransferPtr &transfer, Work &work) {
  interrupt_reads_.push_back(transfer);
  serve_interrupts(work);
}

void ReaderFirmware::serve_interrupts(Work &work) {
  // The host polls the endpoint every bInterval frames.
  constexpr std::uint64_t kPollFrames = 10;
  while (!interrupt_reads_.empty() && (report_state_ || !presence_.empty())) {
    std::uint8_t byte;
    if (report_state_) {
      // The state reported includes every change queued before it.
      byte = card_ ? 1 : 0;
      report_state_ = false;
      presence_.clear();
    } else {
      byte = presence_.front();
      presence_.pop_front();
    }
    TransferPtr transfer = interrupt_reads_.front();
    interrupt_reads_.erase(interrupt_reads_.begin());
    work.done.push_back({transfer, TransferResult::in({byte}),
                         frames_until(now(), kPollFrames)});
  }
}

// ---------------------------------------------------------------------------
// Time

std::uint64_t ReaderFirmware::now() const {
  return kernel_.now();
}

// The clock is read once: under the real-time clock a second reading is
// later, and the delay to a time taken from the first would run below zero.
std::uint64_t ReaderFirmware::frames_until(std::uint64_t ready,
                                           std::uint64_t frames) const {
  if (options_.timing == Timing::Instant)
    return 0;
  const std::uint64_t current = now();
  const std::uint64_t period = kFrame * frames;
  return (std::max(ready, current) / period + 1) * period - current;
}

// Instant: whatever the card sends is there at once.
std::uint64_t ReaderFirmware::ready_at(card::Time time) const {
  return options_.timing == Timing::Instant ? 0 : interrupt_time(time);
}

card::Time ReaderFirmware::card_time(std::uint64_t interrupt_time) const {
  return card::Time{
      static_cast<std::int64_t>(interrupt_time * kNanosecondsPerTick)};
}

std::uint64_t ReaderFirmware::interrupt_time(card::Time time) const {
  auto nanoseconds =
      static_cast<std::uint64_t>(std::max<std::int64_t>(time.count(), 0));
  return (nanoseconds + kNanosecondsPerTick - 1) / kNanosecondsPerTick;
}

} // namespace talvor::reader
