#include "sim/reader/reader.h"

#include <algorithm>

namespace talvor::reader {

namespace {

using usb::TransferPtr;
using usb::TransferResult;

constexpr std::uint64_t kNanosecondsPerTick = 100;
// A card that sends nothing after a reset: the reader gives up after the
// ATR's longest wait (40000 clock cycles at the slowest clock, rounded up).
constexpr std::uint64_t kSilentAtrWait = 200'000; // 20 ms

usb::EndpointSpec endpoint(std::uint8_t address, std::uint8_t type,
                           std::uint16_t max_packet, std::uint8_t interval) {
  usb::EndpointSpec shape;
  shape.address = address;
  shape.attributes = type;
  shape.max_packet = max_packet;
  shape.interval = interval;
  return shape;
}

} // namespace

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
      kernel_(kernel), options_(options) {}

// ---------------------------------------------------------------------------
// The slot and test hooks

void ReaderFirmware::insert(std::unique_ptr<card::Card> card) {
  Completions done;
  {
    std::lock_guard guard(reader_lock_);
    card->set_clock_hz(options_.card_clock_hz);
    card_ = std::move(card);
    presence_.push_back(1);
    serve_interrupts(done);
  }
  finish(done);
}

std::unique_ptr<card::Card> ReaderFirmware::remove() {
  Completions done;
  std::unique_ptr<card::Card> card;
  {
    std::lock_guard guard(reader_lock_);
    card = std::move(card_);
    counters_.bytes_discarded += received_.size();
    received_.clear();
    write_budget_ = read_budget_ = unannounced_ = 0;
    presence_.push_back(0);
    serve_interrupts(done);
  }
  finish(done);
  return card;
}

bool ReaderFirmware::card_present() const {
  std::lock_guard guard(reader_lock_);
  return card_ != nullptr;
}

void ReaderFirmware::inject_interrupt(std::uint8_t byte) {
  Completions done;
  {
    std::lock_guard guard(reader_lock_);
    presence_.push_back(byte);
    serve_interrupts(done);
  }
  finish(done);
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
  Completions done;
  {
    std::lock_guard guard(reader_lock_);
    switch (transfer->type()) {
    case usb::TransferType::Control:
      control(transfer, done);
      break;
    case usb::TransferType::Bulk:
      if (transfer->endpoint() == kBulkOut)
        bulk_out(transfer, done);
      else if (transfer->endpoint() == kBulkIn)
        bulk_in(transfer, done);
      else
        stall(transfer, done);
      break;
    case usb::TransferType::Interrupt:
      if (transfer->endpoint() == kInterruptIn)
        interrupt_in(transfer, done);
      else
        stall(transfer, done);
      break;
    default:
      stall(transfer, done);
      break;
    }
  }
  finish(done);
}

void ReaderFirmware::cancelled(const TransferPtr &transfer) {
  std::lock_guard guard(reader_lock_);
  if (pending_read_ && *pending_read_ == transfer)
    pending_read_.reset();
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
  std::lock_guard guard(reader_lock_);
  pending_read_.reset();
  interrupt_reads_.clear();
}

void ReaderFirmware::stall(const TransferPtr &transfer, Completions &done) {
  ++counters_.stalls;
  done.push_back({transfer, TransferResult::stall(), options_.frame_time});
}

void ReaderFirmware::finish(Completions &done) {
  for (auto &completion : done)
    completion.transfer->complete(std::move(completion.result),
                                  completion.delay);
  done.clear();
}

// ---------------------------------------------------------------------------
// Commands

void ReaderFirmware::control(const TransferPtr &transfer, Completions &done) {
  const usb::SetupPacket &setup = *transfer->setup();
  if (setup.type() != BMREQUEST_VENDOR ||
      setup.recipient() != BMREQUEST_TO_DEVICE) {
    stall(transfer, done);
    return;
  }
  ++counters_.commands;
  const usb::Bytes &data = transfer->out();
  auto ok = [&] {
    done.push_back({transfer, TransferResult::ok(), options_.frame_time});
  };
  switch (static_cast<Command>(setup.request)) {
  case Command::ColdReset:
  case Command::WarmReset:
    if (!card_ || !setup.in() || setup.length < 1) {
      stall(transfer, done);
      return;
    }
    reset_card(setup.request == static_cast<std::uint8_t>(Command::ColdReset),
               transfer, done);
    return;
  case Command::PowerDown:
    abort_exchange();
    i2c_selected_ = false;
    if (card_)
      card_->power_off(card_time(now()));
    ok();
    return;
  case Command::HostAbort:
    ++counters_.aborts;
    abort_exchange();
    i2c_selected_ = false;
    ok();
    return;
  case Command::SetParameters:
    if (!card_ || setup.in() || data.size() < 2) {
      stall(transfer, done);
      return;
    }
    // Byte 0 names the protocol; the UART needs only the rate in byte 1.
    card_->set_line_rate(card::Rate::from_byte(data[1]));
    i2c_selected_ = false;
    ok();
    return;
  case Command::WriteLength:
    if (!card_ && !i2c_selected_) {
      stall(transfer, done);
      return;
    }
    write_budget_ = setup.index;
    ok();
    return;
  case Command::ReadLength:
    if (!card_ && !i2c_selected_) {
      stall(transfer, done);
      return;
    }
    read_budget_ = setup.index;
    unannounced_ = 0;
    ok();
    serve_reads(done);
    return;
  case Command::I2cCommand:
    if (setup.in() || data.size() < 2) {
      stall(transfer, done);
      return;
    }
    i2c_selected_ = true;
    i2c_device_ = data[0];
    i2c_address_ = data[1];
    ok();
    return;
  case Command::VendorWrite:
    if (setup.in() || data.size() < 2) {
      stall(transfer, done);
      return;
    }
    register_ = {data[0], data[1]};
    ok();
    return;
  case Command::VendorRead: {
    if (!setup.in()) {
      stall(transfer, done);
      return;
    }
    usb::Bytes answer(register_.begin(),
                      register_.begin() +
                          std::min<std::size_t>(2, setup.length));
    done.push_back(
        {transfer, TransferResult::in(std::move(answer)), options_.frame_time});
    return;
  }
  }
  stall(transfer, done);
}

void ReaderFirmware::reset_card(bool cold, const TransferPtr &transfer,
                                Completions &done) {
  abort_exchange();
  i2c_selected_ = false;
  std::uint64_t start = now();
  if (cold)
    card_->power_on(card_time(start));
  else
    card_->warm_reset(card_time(start));
  line_free_ = start;
  card_quiet_ = start;
  // The card says nothing after its ATR until it is spoken to: everything
  // it sends now is the ATR.
  collect_card_output();
  std::uint64_t ready = start + kSilentAtrWait;
  if (!received_.empty())
    ready = received_.back().ready;
  std::size_t length = std::min<std::size_t>(received_.size(), 0xFF);
  unannounced_ = static_cast<std::uint32_t>(length);
  std::uint64_t delay =
      (ready > start ? ready - start : 0) + options_.frame_time;
  done.push_back({transfer,
                  TransferResult::in({static_cast<std::uint8_t>(length)}),
                  delay});
}

// HOST ABORT and its kin: drop the announced transfers and whatever the
// card has sent or is still sending.
void ReaderFirmware::abort_exchange() {
  collect_card_output();
  counters_.bytes_discarded += received_.size();
  received_.clear();
  write_budget_ = 0;
  read_budget_ = 0;
  unannounced_ = 0;
}

void ReaderFirmware::collect_card_output() {
  if (!card_)
    return;
  while (auto next = card_->next_output()) {
    auto bytes = card_->take_output(*next, 1);
    for (std::uint8_t byte : bytes)
      received_.push_back({byte, interrupt_time(*next)});
    card_quiet_ = std::max(card_quiet_, interrupt_time(*next));
    if (bytes.empty())
      break;
  }
}

// ---------------------------------------------------------------------------
// Bulk and interrupt pipes

void ReaderFirmware::bulk_out(const TransferPtr &transfer, Completions &done) {
  const usb::Bytes &bytes = transfer->out();
  if (bytes.size() > write_budget_) {
    // More than was announced: the reader refuses the packet.
    stall(transfer, done);
    return;
  }
  write_budget_ -= static_cast<std::uint32_t>(bytes.size());
  if (i2c_selected_) {
    if (i2c_device_ != kI2cMemoryAddress && !bytes.empty()) {
      stall(transfer, done); // no such device answers on the I2C bus
      return;
    }
    for (std::uint8_t byte : bytes)
      i2c_memory_[i2c_address_++] = byte;
    done.push_back({transfer, TransferResult::ok(), options_.frame_time});
    return;
  }
  if (!card_) {
    stall(transfer, done);
    return;
  }
  if (!bytes.empty()) {
    // Half duplex: the reader waits for the card to finish sending.
    std::uint64_t start = std::max({now(), line_free_, card_quiet_});
    card::Time end = card_->receive(card_time(start), bytes);
    line_free_ = interrupt_time(end);
    counters_.bytes_to_card += bytes.size();
  }
  done.push_back({transfer, TransferResult::ok(), options_.frame_time});
  collect_card_output();
  serve_reads(done);
}

void ReaderFirmware::bulk_in(const TransferPtr &transfer, Completions &done) {
  if (pending_read_) {
    stall(transfer, done); // the host has one read outstanding at a time
    return;
  }
  pending_read_ = transfer;
  serve_reads(done);
}

void ReaderFirmware::serve_reads(Completions &done) {
  if (!pending_read_)
    return;
  const TransferPtr transfer = *pending_read_;
  std::uint32_t length = transfer->length();

  if (i2c_selected_ && unannounced_ == 0) {
    if (i2c_device_ != kI2cMemoryAddress && length > 0) {
      pending_read_.reset();
      stall(transfer, done);
      return;
    }
    std::uint32_t count = std::min(length, read_budget_);
    usb::Bytes answer;
    for (std::uint32_t i = 0; i < count; ++i)
      answer.push_back(i2c_memory_[i2c_address_++]);
    read_budget_ -= count;
    pending_read_.reset();
    done.push_back(
        {transfer, TransferResult::in(std::move(answer)), options_.frame_time});
    return;
  }

  std::uint32_t &budget = unannounced_ > 0 ? unannounced_ : read_budget_;
  std::uint32_t want = std::min(length, budget);
  if (want == 0 && length > 0)
    return; // nothing announced: the reader NAKs until the host gives up
  collect_card_output();
  if (received_.size() < want)
    return; // the card has not sent enough (yet)
  usb::Bytes answer;
  std::uint64_t ready = 0;
  for (std::uint32_t i = 0; i < want; ++i) {
    answer.push_back(received_.front().value);
    ready = std::max(ready, received_.front().ready);
    received_.pop_front();
  }
  budget -= want;
  counters_.bytes_from_card += want;
  std::uint64_t current = now();
  std::uint64_t delay =
      (ready > current ? ready - current : 0) + options_.frame_time;
  pending_read_.reset();
  done.push_back({transfer, TransferResult::in(std::move(answer)), delay});
}

void ReaderFirmware::interrupt_in(const TransferPtr &transfer,
                                  Completions &done) {
  interrupt_reads_.push_back(transfer);
  serve_interrupts(done);
}

void ReaderFirmware::serve_interrupts(Completions &done) {
  while (!interrupt_reads_.empty() && (report_state_ || !presence_.empty())) {
    std::uint8_t byte;
    if (report_state_) {
      byte = card_ ? 1 : 0;
      report_state_ = false;
    } else {
      byte = presence_.front();
      presence_.pop_front();
    }
    TransferPtr transfer = interrupt_reads_.front();
    interrupt_reads_.erase(interrupt_reads_.begin());
    done.push_back({transfer, TransferResult::in({byte}), options_.frame_time});
  }
}

// ---------------------------------------------------------------------------
// Time

std::uint64_t ReaderFirmware::now() const {
  return kernel_.now();
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
