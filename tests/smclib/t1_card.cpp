#include "tests/smclib/t1_card.h"

#include <algorithm>
#include <functional>
#include <numeric>

namespace talvor::test {

namespace {

constexpr std::uint8_t kIMore = 0x20;
constexpr std::uint8_t kRBlock = 0x80;
constexpr std::uint8_t kSBlock = 0xC0;
constexpr std::uint8_t kSResponse = 0x20;
constexpr std::uint8_t kResynch = 0x00, kIfs = 0x01, kAbort = 0x02, kWtx = 0x03;

// CRC-16 of ISO/IEC 13239 in its byte-wise form (reflected, preset FFFF).
std::uint16_t crc16(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0xFFFF;
  for (std::uint8_t byte : bytes) {
    std::uint8_t x = static_cast<std::uint8_t>((crc ^ byte) & 0xFF);
    x = static_cast<std::uint8_t>(x ^ (x << 4));
    crc =
        static_cast<std::uint16_t>((crc >> 8) ^ (x << 8) ^ (x << 3) ^ (x >> 4));
  }
  return crc;
}

void append_edc(Bytes &block, bool crc) {
  if (crc) {
    const std::uint16_t sum = crc16(block);
    block.push_back(static_cast<std::uint8_t>(sum >> 8));
    block.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    return;
  }
  block.push_back(std::accumulate(block.begin(), block.end(), std::uint8_t{0},
                                  std::bit_xor<std::uint8_t>()));
}

bool edc_ok(std::span<const std::uint8_t> block, bool crc) {
  const std::size_t edc = crc ? 2 : 1;
  const auto body = block.first(block.size() - edc);
  if (crc) {
    const std::uint16_t sum = crc16(body);
    return block[body.size()] == (sum >> 8) &&
           block[body.size() + 1] == (sum & 0xFF);
  }
  return block[body.size()] == std::accumulate(body.begin(), body.end(),
                                               std::uint8_t{0},
                                               std::bit_xor<std::uint8_t>());
}

} // namespace

Bytes T1Card::echo(const Bytes &command) {
  Bytes answer = command;
  if (command.size() > 5) {
    const auto data_length = static_cast<std::ptrdiff_t>(
        std::min<std::size_t>(command[4], command.size() - 5));
    answer.assign(command.begin() + 5, command.begin() + 5 + data_length);
  }
  answer.push_back(0x90);
  answer.push_back(0x00);
  return answer;
}

T1Card::T1Card(Options options, Application application)
    : options_(options), application_(std::move(application)) {}

Bytes T1Card::frame(std::uint8_t nad, std::uint8_t pcb,
                    std::span<const std::uint8_t> inf, bool crc) {
  Bytes out{nad, pcb, static_cast<std::uint8_t>(inf.size())};
  out.insert(out.end(), inf.begin(), inf.end());
  append_edc(out, crc);
  return out;
}

void T1Card::inject(Fault fault, int count, int after) {
  unharmed_ = after;
  for (int i = 0; i < count; ++i)
    faults_.push_back(fault);
}

void T1Card::ask_for_time(int count, std::uint8_t multiplier) {
  wtx_left_ = count;
  wtx_multiplier_ = multiplier;
}

Bytes T1Card::send(Bytes out) {
  last_ = out;
  if (faults_.empty() || harmless_)
    return out;
  const std::size_t edc = options_.crc ? 2 : 1;
  auto reframe = [&](Bytes &block) {
    block = frame(block[0], block[1],
                  std::span(block).subspan(3, block.size() - 3 - edc),
                  options_.crc);
  };
  switch (faults_.front()) {
  case Fault::bad_edc:
    faults_.pop_front();
    out.back() ^= 0x5A;
    break;
  case Fault::wrong_sequence:
    if ((out[1] & 0x80) != 0)
      break; // waits for an I-block
    faults_.pop_front();
    out[1] ^= 0x40;
    reframe(out);
    break;
  case Fault::lost:
    faults_.pop_front();
    return {};
  case Fault::lying_len: {
    faults_.pop_front();
    // LEN one more than the bytes that follow, EDC right for what is sent.
    Bytes lying(out.begin(), out.end() - static_cast<long>(edc));
    ++lying[2];
    append_edc(lying, options_.crc);
    return lying;
  }
  case Fault::garbled_in:
    break; // applies to the reader's next block
  }
  return out;
}

Bytes T1Card::send_r(std::uint8_t nr, std::uint8_t error) {
  return send(
      block(static_cast<std::uint8_t>(kRBlock | (nr << 4) | error), {}));
}

Bytes T1Card::send_answer() {
  if (!answering_)
    return send_r(expect_ns_, 2);
  if (endless_wtx_ || wtx_left_ > 0) {
    if (wtx_left_ > 0)
      --wtx_left_;
    const std::uint8_t multiplier = wtx_multiplier_;
    return send(block(kSBlock | kWtx, std::span(&multiplier, 1)));
  }
  if (ifs_request_) {
    const std::uint8_t ifsc = *ifs_request_;
    ifs_request_.reset();
    return send(block(kSBlock | kIfs, std::span(&ifsc, 1)));
  }
  if (abort_next_) {
    abort_next_ = false;
    answering_ = false;
    return send(block(kSBlock | kAbort, {}));
  }
  Bytes data;
  bool more;
  if (endless_chain_) {
    data.assign(ifsd_, 0xAA);
    more = true;
  } else {
    const std::size_t remaining = answer_.size() - answer_sent_;
    const std::size_t chunk = std::min<std::size_t>(remaining, ifsd_);
    data.assign(answer_.begin() + static_cast<long>(answer_sent_),
                answer_.begin() + static_cast<long>(answer_sent_ + chunk));
    more = remaining > chunk;
  }
  last_chunk_ = data.size();
  last_i_ns_ = card_ns_;
  card_ns_ ^= 1;
  last_i_more_ = more;
  if (!more)
    answering_ = false;
  last_i_ = block(
      static_cast<std::uint8_t>((last_i_ns_ << 6) | (more ? kIMore : 0)), data);
  return send(last_i_);
}

Bytes T1Card::exchange(std::span<const std::uint8_t> in) {
  received_.emplace_back(in.begin(), in.end());
  harmless_ = unharmed_ > 0;
  if (harmless_)
    --unharmed_;
  if (!harmless_ && !faults_.empty() && faults_.front() == Fault::garbled_in) {
    faults_.pop_front();
    return send_r(expect_ns_, 1);
  }
  const std::size_t edc = options_.crc ? 2 : 1;
  if (in.size() < 3 + edc || in[2] != in.size() - 3 - edc)
    return send_r(expect_ns_, 2);
  if (!edc_ok(in, options_.crc))
    return send_r(expect_ns_, 1);
  const std::uint8_t pcb = in[1];
  const auto inf = in.subspan(3, in[2]);

  if ((pcb & 0x80) == 0) { // I-block
    const std::uint8_t ns = (pcb >> 6) & 1;
    if (ns != expect_ns_)
      return send(last_); // one it has: its answer went missing
    expect_ns_ ^= 1;
    command_.insert(command_.end(), inf.begin(), inf.end());
    if (pcb & kIMore)
      return send_r(expect_ns_, 0);
    commands_.push_back(command_);
    answer_ = application_(command_);
    command_.clear();
    answer_sent_ = 0;
    last_chunk_ = 0;
    answering_ = true;
    return send_answer();
  }
  if ((pcb & 0xC0) == kRBlock) {
    const std::uint8_t nr = (pcb >> 4) & 1;
    if (answering_ && last_i_more_ && nr != last_i_ns_) {
      answer_sent_ += last_chunk_; // the chained block arrived
      last_chunk_ = 0;
      return send_answer();
    }
    if (!last_i_.empty() && nr == last_i_ns_)
      return send(last_i_);
    return send(last_);
  }
  const std::uint8_t type = pcb & 0x1F;
  if ((pcb & kSResponse) == 0) {
    switch (type) {
    case kResynch:
      ++resynchs_;
      card_ns_ = expect_ns_ = 0;
      command_.clear();
      answering_ = false;
      last_i_.clear();
      ifsd_ = 32;
      return send(block(kSBlock | kSResponse, {})); // RESYNCH
    case kIfs:
      if (options_.mute_ifs)
        return {};
      if (options_.refuse_ifs || inf.size() != 1)
        return send_r(expect_ns_, 2);
      ifsd_ = inf[0];
      return send(block(kSBlock | kSResponse | kIfs, inf));
    case kAbort:
      answering_ = false;
      command_.clear();
      return send(block(kSBlock | kSResponse | kAbort, {}));
    default:
      return send_r(expect_ns_, 2);
    }
  }
  switch (type) {
  case kWtx:
  case kIfs:
    return send_answer();
  case kAbort:
    answering_ = false;
    return {};
  default:
    return send_r(expect_ns_, 2);
  }
}

} // namespace talvor::test
