#include "sim/card/t0.h"

#include <algorithm>
#include <utility>

namespace talvor::card {

namespace {

constexpr std::uint8_t kNull = 0x60;
constexpr std::uint8_t kGetResponse = 0xC0;
constexpr std::size_t kMaxShort = 256;
// A character in the other direction starts at least 16 etu after the
// leading edge of the last one received, which ended 12 etu after it.
constexpr std::int64_t kTurnaroundEtus = 4;

std::uint8_t count_byte(std::size_t count) {
  return static_cast<std::uint8_t>(count >= kMaxShort ? 0 : count);
}

} // namespace

T0Card::T0Card(T0Options options, Duration work_waiting_time)
    : options_(std::move(options)), null_interval_(options_.null_interval) {
  if (null_interval_ <= Duration::zero())
    null_interval_ = std::max(work_waiting_time / 2, Duration{1});
}

void T0Card::on_byte(std::uint8_t byte, Time arrival, LinePort &port,
                     Application &app) {
  if (receiving_) {
    data_.push_back(byte);
    if (data_.size() == expected_) {
      receiving_ = false;
      execute(arrival, port, app);
    } else {
      ask_for_data(data_.size(), arrival, port);
    }
    return;
  }
  header_[header_length_++] = byte;
  if (header_length_ == header_.size()) {
    header_length_ = 0;
    on_header(arrival, port, app);
  }
}

std::uint8_t T0Card::full_ack() const {
  return static_cast<std::uint8_t>(header_[1] +
                                   (options_.ins_plus_one ? 1 : 0));
}

bool T0Card::fault_now(T0Fault fault) const {
  return std::any_of(options_.faults.begin(), options_.faults.end(),
                     [&](const T0FaultAt &planned) {
                       return planned.fault == fault &&
                              (planned.command == 0 ||
                               planned.command == commands_);
                     });
}

void T0Card::on_header(Time arrival, LinePort &port, Application &app) {
  const std::uint8_t ins = header_[1];
  const std::uint8_t p3 = header_[4];
  ++commands_;
  if (fault_now(T0Fault::silent_after_header))
    return;
  if (fault_now(T0Fault::early_status)) {
    status(arrival, arrival, sw::kOk, port);
    return;
  }
  // INS 6x and 9x would read as procedure bytes (ISO/IEC 7816-3 10.3.2).
  if ((ins & 0xF0) == 0x60 || (ins & 0xF0) == 0x90) {
    status(arrival, arrival, sw::kInsNotSupported, port);
    return;
  }
  if (ins == kGetResponse && !app.takes_command_data(header_[0], ins)) {
    get_response(p3 == 0 ? kMaxShort : p3, arrival, arrival, port);
    return;
  }
  has_pending_ = false;
  data_.clear();
  if (app.takes_command_data(header_[0], ins) && p3 != 0) {
    receiving_ = true;
    expected_ = p3;
    ask_for_data(0, arrival, port);
    return;
  }
  execute(arrival, port, app);
}

void T0Card::ask_for_data(std::size_t index, Time arrival, LinePort &port) {
  const std::uint8_t ins = full_ack();
  const auto one = static_cast<std::uint8_t>(~ins);
  std::uint8_t procedure = 0;
  switch (options_.ack) {
  case T0Options::Ack::full:
    if (index != 0)
      return; // the whole remainder is on its way
    procedure = ins;
    break;
  case T0Options::Ack::byte_by_byte:
    procedure = one;
    break;
  case T0Options::Ack::one_then_full:
    if (index > 1)
      return;
    procedure = index == 0 ? one : ins;
    break;
  }
  answer(arrival, arrival, std::span<const std::uint8_t>(&procedure, 1), port);
}

void T0Card::execute(Time arrival, LinePort &port, Application &app) {
  const std::uint8_t ins = header_[1];
  const std::uint8_t p3 = header_[4];
  const bool incoming = app.takes_command_data(header_[0], ins);
  CommandApdu command{header_[0], header_[1], header_[2], header_[3], data_, 0};
  // T=0 carries no Le with command data, and Le 00 means 256.
  if (!incoming)
    command.ne = p3 == 0 ? kMaxShort : p3;
  data_.clear();
  ResponseApdu response = app.process(command);
  const Time ready = arrival + std::max(response.busy, Duration::zero());
  if (response.data.empty() || !status_carries_data(response.sw)) {
    status(arrival, ready, response.sw, port);
    return;
  }
  const std::size_t available = std::min(response.data.size(), kMaxShort);
  if (incoming || options_.answer_through_get_response) {
    // Case 4 (and a card that always works so): 61xx, then GET RESPONSE.
    keep(std::move(response.data), 0, response.sw);
    status(arrival, ready,
           static_cast<std::uint16_t>(0x6100 | count_byte(available)), port);
    return;
  }
  if (command.ne != available) {
    // Wrong Le: 6Cxx names the right one and the reader sends the header
    // again (ISO/IEC 7816-3 12.2.3, case 2S.3).
    status(arrival, ready,
           static_cast<std::uint16_t>(0x6C00 | count_byte(available)), port);
    return;
  }
  keep(std::move(response.data), 0, response.sw);
  get_response(available, arrival, ready, port);
}

void T0Card::keep(std::vector<std::uint8_t> data, std::size_t from,
                  std::uint16_t sw) {
  pending_.assign(data.begin() + static_cast<std::ptrdiff_t>(from), data.end());
  pending_sw_ = sw;
  has_pending_ = true;
}

void T0Card::get_response(std::size_t le, Time arrival, Time ready,
                          LinePort &port) {
  if (!has_pending_ || pending_.empty()) {
    has_pending_ = false;
    status(arrival, arrival, sw::kConditionsNotSatisfied, port);
    return;
  }
  const std::size_t available = std::min(pending_.size(), kMaxShort);
  if (le > available) {
    status(arrival, arrival,
           static_cast<std::uint16_t>(0x6C00 | count_byte(available)), port);
    return;
  }
  // ACK, Le data bytes, then 61xx while more remain or the final status.
  std::vector<std::uint8_t> out{full_ack()};
  if (fault_now(T0Fault::silent_in_data)) {
    out.insert(out.end(), pending_.begin(),
               pending_.begin() + static_cast<std::ptrdiff_t>(le / 2));
    answer(arrival, ready, out, port);
    return;
  }
  if (options_.answer_byte_by_byte) {
    const auto one = static_cast<std::uint8_t>(~full_ack());
    Time at = arrival;
    for (std::size_t i = 0; i < le; ++i) {
      const std::array<std::uint8_t, 2> pair = {one, pending_[i]};
      at = answer(at, i == 0 ? ready : at, pair, port);
    }
    arrival = at;
    ready = at;
    out.clear();
  } else {
    out.insert(out.end(), pending_.begin(),
               pending_.begin() + static_cast<std::ptrdiff_t>(le));
  }
  pending_.erase(pending_.begin(),
                 pending_.begin() + static_cast<std::ptrdiff_t>(le));
  std::uint16_t sw = pending_sw_;
  if (!pending_.empty())
    sw = static_cast<std::uint16_t>(0x6100 | count_byte(pending_.size()));
  else
    has_pending_ = false;
  out.push_back(static_cast<std::uint8_t>(sw >> 8));
  out.push_back(static_cast<std::uint8_t>(sw));
  if (fault_now(T0Fault::trailing_bytes))
    out.insert(out.end(), kT0TrailingBytes.begin(), kT0TrailingBytes.end());
  answer(arrival, ready, out, port);
}

void T0Card::status(Time arrival, Time ready, std::uint16_t sw,
                    LinePort &port) {
  std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(sw >> 8),
                                  static_cast<std::uint8_t>(sw)};
  if (fault_now(T0Fault::trailing_bytes))
    bytes.insert(bytes.end(), kT0TrailingBytes.begin(), kT0TrailingBytes.end());
  answer(arrival, ready, bytes, port);
}

Time T0Card::answer(Time arrival, Time ready,
                    std::span<const std::uint8_t> bytes, LinePort &port) {
  Time at = arrival + port.etus(kTurnaroundEtus);
  // NULLs cannot come closer than one character apart.
  const Duration interval = std::max(null_interval_, port.char_time());
  while (at < ready) {
    port.send(at, kNull);
    at += interval;
  }
  for (unsigned i = 0; i < options_.nulls_before_procedure; ++i) {
    port.send(at, kNull);
    at += interval;
  }
  return port.send(std::max(at, ready), bytes);
}

} // namespace talvor::card
