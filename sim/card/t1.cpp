#include "sim/card/t1.h"

#include <algorithm>
#include <functional>
#include <numeric>

namespace talvor::card {

namespace {

constexpr std::uint8_t kIBlockNs = 0x40;
constexpr std::uint8_t kIBlockMore = 0x20;
constexpr std::uint8_t kRBlock = 0x80;
constexpr std::uint8_t kRBlockNr = 0x10;
constexpr std::uint8_t kREdcError = 0x01;
constexpr std::uint8_t kROtherError = 0x02;
constexpr std::uint8_t kSBlock = 0xC0;
constexpr std::uint8_t kSResponse = 0x20;
constexpr std::uint8_t kResynch = 0x00; // S-block types
constexpr std::uint8_t kIfs = 0x01;
constexpr std::uint8_t kAbort = 0x02;
constexpr std::uint8_t kWtx = 0x03;
constexpr std::size_t kPrologue = 3;
constexpr std::uint8_t kDefaultIfs = 32;
// Longest short APDU is 261 bytes; a longer chain is answered 6700 but
// not stored past this.
constexpr std::size_t kMaxChain = 512;
constexpr std::int64_t kBlockGuardEtus = 22;
constexpr std::size_t kLongestInf = 254;
constexpr std::uint8_t kReservedLength = 0xFF;

} // namespace

std::uint8_t t1_lrc(std::span<const std::uint8_t> bytes) {
  return std::accumulate(bytes.begin(), bytes.end(), std::uint8_t{0},
                         std::bit_xor<std::uint8_t>());
}

std::uint16_t t1_crc(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0xFFFF;
  for (std::uint8_t byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit)
      crc =
          static_cast<std::uint16_t>(crc & 1 ? (crc >> 1) ^ 0x8408 : crc >> 1);
  }
  return crc;
}

T1Card::T1Card(T1Options options, T1Parameters parameters, const LinePort &port)
    : options_(std::move(options)), parameters_(parameters),
      // BWT = 11 etu + 2^BWI x 960 x Fd/f; CWT = (11 + 2^CWI) etu (11.4.3).
      bwt_(port.etus(11) + port.clocks((std::int64_t{1} << std::min<unsigned>(
                                            parameters.bwi, 9)) *
                                       960 * 372)),
      cwt_(port.etus(11 + (std::int64_t{1} << (parameters.cwi & 0x0F)))),
      random_(options_.seed) {
  if (parameters_.ifsc == 0 || parameters_.ifsc == 0xFF)
    parameters_.ifsc = kDefaultIfs;
  atr_ifsc_ = parameters_.ifsc;
}

Duration T1Card::reply_delay(const LinePort &port) const {
  // BGT: 22 etu between the leading edges of the last character received
  // and the first one sent.
  return std::max(port.etus(kBlockGuardEtus) - port.char_time(), Duration{});
}

void T1Card::on_byte(std::uint8_t byte, Time arrival, LinePort &port,
                     Application &app) {
  // A gap longer than CWT inside a block: the card drops the part it has
  // and takes this byte as the start of a new block (11.4.3).
  if (!rx_.empty() && arrival - rx_last_ > cwt_)
    rx_.clear();
  rx_.push_back(byte);
  rx_last_ = arrival;
  if (rx_.size() < kPrologue || rx_.size() < kPrologue + rx_[2] + edc_length())
    return;
  on_block(arrival, port, app);
  rx_.clear();
}

bool T1Card::edc_ok(std::span<const std::uint8_t> block) const {
  const std::size_t body = block.size() - edc_length();
  if (parameters_.crc) {
    const std::uint16_t crc = t1_crc(block.first(body));
    return block[body] == (crc >> 8) && block[body + 1] == (crc & 0xFF);
  }
  return t1_lrc(block.first(body)) == block[body];
}

bool T1Card::answer_fault(T1Fault fault) const {
  return std::any_of(
      options_.answer_faults.begin(), options_.answer_faults.end(),
      [&](const T1FaultAt &planned) {
        return planned.fault == fault &&
               (planned.ordinal == 0 || planned.ordinal == commands_);
      });
}

bool T1Card::fault_due(std::size_t ordinal, bool sending, T1Fault &fault) {
  bool due = false;
  for (const T1FaultAt &planned : options_.faults)
    if (planned.ordinal == ordinal &&
        fault_on_sending(planned.fault) == sending) {
      fault = planned.fault;
      due = true;
    }
  if (!due && options_.random_faults_per_mille != 0 &&
      !options_.random_kinds.empty() &&
      random_() % 1000 < options_.random_faults_per_mille) {
    fault = options_.random_kinds[random_() % options_.random_kinds.size()];
    due = fault_on_sending(fault) == sending;
  }
  if (due)
    ++counters_.faults_injected;
  return due;
}

void T1Card::on_block(Time arrival, LinePort &port, Application &app) {
  ++counters_.blocks_received;
  T1Fault fault{};
  const bool faulty = fault_due(counters_.blocks_received, false, fault);
  if (faulty && fault == T1Fault::drop_received)
    return;
  const std::uint8_t pcb = rx_[1];
  const std::uint8_t length = rx_[2];
  const std::span<const std::uint8_t> block(rx_);
  // Rule 7.1: a block with a wrong EDC or the reserved LEN 0xFF is answered
  // with an R-block naming the I-block expected and an EDC error.
  if ((faulty && fault == T1Fault::corrupt_received) || length == 0xFF ||
      !edc_ok(block)) {
    ++counters_.errors_detected;
    send_r_block(kREdcError, arrival, port);
    return;
  }
  nad_ = static_cast<std::uint8_t>(((rx_[0] & 0x07) << 4) |
                                   ((rx_[0] >> 4) & 0x07));
  const auto inf = block.subspan(kPrologue, length);
  if ((answer_pending_ || ifs_pending_ || abort_pending_) &&
      (pcb & 0xC0) != kSBlock && (pcb & 0xC0) != kRBlock) {
    // The card waits for the response to its S-request; an I-block is an
    // error.
    ++counters_.errors_detected;
    send_r_block(kROtherError, arrival, port);
    return;
  }
  if ((pcb & 0x80) == 0)
    on_i_block(pcb, inf, arrival, port, app);
  else if ((pcb & 0xC0) == kRBlock)
    on_r_block(pcb, arrival, port);
  else
    on_s_block(pcb, inf, arrival, port);
}

void T1Card::on_i_block(std::uint8_t pcb, std::span<const std::uint8_t> inf,
                        Time arrival, LinePort &port, Application &app) {
  const std::uint8_t ns = (pcb & kIBlockNs) ? 1 : 0;
  // An I-block while the card chains, out of sequence, or longer than IFSC
  // is an error other than EDC (rule 7.1); the reader will repeat it.
  if (chaining_out_ || ns != expect_ns_ || inf.size() > parameters_.ifsc) {
    ++counters_.errors_detected;
    send_r_block(kROtherError, arrival, port);
    return;
  }
  expect_ns_ ^= 1;
  if (chain_in_.size() + inf.size() > kMaxChain)
    chain_in_overflow_ = true;
  else
    chain_in_.insert(chain_in_.end(), inf.begin(), inf.end());
  if (pcb & kIBlockMore) {
    // Rule 5: each chained I-block is acknowledged by R(N(R)).
    send_r_block(0, arrival, port);
    return;
  }
  ++commands_;
  if (answer_fault(T1Fault::abort_request)) {
    // Rule 9, from the card's side: it gives the command up.
    chain_in_.clear();
    chain_in_overflow_ = false;
    abort_pending_ = true;
    transmit(kSBlock | kAbort, {}, arrival + reply_delay(port), port);
    return;
  }
  ResponseApdu response;
  const auto command =
      chain_in_overflow_ ? std::nullopt : CommandApdu::parse(chain_in_);
  if (command)
    response = app.process(*command);
  else
    response.sw = sw::kWrongLength;
  chain_in_.clear();
  chain_in_overflow_ = false;
  out_ = response.bytes();
  out_sent_ = 0;
  const Time ready = arrival + std::max(response.busy, Duration{});
  if (options_.ifsc_request && !ifsc_announced_) {
    // Rule 4: the card may set IFSC by S(IFS request) when it has the turn.
    ifsc_announced_ = true;
    ifs_pending_ = true;
    answer_ready_ = ready;
    const std::uint8_t ifsc = *options_.ifsc_request;
    transmit(kSBlock | kIfs, std::span<const std::uint8_t>(&ifsc, 1),
             arrival + reply_delay(port), port);
    return;
  }
  answer(arrival, ready, port);
}

void T1Card::answer(Time arrival, Time ready, LinePort &port) {
  const Duration allowed = bwt_ * (answer_pending_ ? wtx_asked_ : 1);
  answer_pending_ = false;
  // Keep a tenth of the waiting time in hand for the line itself.
  if ((ready - arrival) + reply_delay(port) <= allowed * 9 / 10) {
    send_next_chunk(std::max(ready, arrival + reply_delay(port)), port);
    return;
  }
  request_time(arrival, ready, port);
}

void T1Card::request_time(Time arrival, Time ready, LinePort &port) {
  // Rule 3: S(WTX request) with the multiplier that covers the rest.
  const Duration needed = ((ready - arrival) + reply_delay(port)) * 10 / 9;
  const std::int64_t multiplier =
      std::clamp<std::int64_t>((needed.count() + bwt_.count() - 1) /
                                   std::max<std::int64_t>(bwt_.count(), 1),
                               1, 255);
  wtx_asked_ = static_cast<std::uint8_t>(multiplier);
  answer_ready_ = ready;
  answer_pending_ = true;
  ++counters_.wtx_requests;
  transmit(kSBlock | kWtx, std::span<const std::uint8_t>(&wtx_asked_, 1),
           arrival + reply_delay(port), port);
}

void T1Card::send_next_chunk(Time at, LinePort &port) {
  const std::size_t left = out_.size() - out_sent_;
  const std::size_t chunk = std::min<std::size_t>(
      left, options_.ignore_ifsd ? kLongestInf : std::size_t{ifsd_});
  chaining_out_ = chunk < left;
  const auto pcb = static_cast<std::uint8_t>((send_ns_ ? kIBlockNs : 0) |
                                             (chaining_out_ ? kIBlockMore : 0));
  const std::span<const std::uint8_t> inf(out_.data() + out_sent_, chunk);
  send_ns_ ^= 1;
  out_sent_ += chunk;
  if (answer_fault(T1Fault::late))
    at += bwt_ * 3;
  if (answer_fault(T1Fault::len_ff)) {
    // The reserved length, with as many bytes as it claims.
    last_block_ = frame(pcb, std::vector<std::uint8_t>(kReservedLength, 0));
    ++counters_.blocks_sent;
    port.send(at, last_block_);
    return;
  }
  last_block_ = frame(pcb, inf);
  if (answer_fault(T1Fault::slow_characters)) {
    ++counters_.blocks_sent;
    const std::span<const std::uint8_t> block(last_block_);
    const Time prologue = port.send(at, block.first(kPrologue));
    port.send(prologue + cwt_ * 2, block.subspan(kPrologue));
    return;
  }
  put_on_line(last_block_, at, port);
}

void T1Card::on_r_block(std::uint8_t pcb, Time arrival, LinePort &port) {
  const std::uint8_t nr = (pcb & kRBlockNr) ? 1 : 0;
  const Time at = arrival + reply_delay(port);
  const bool last_is_i = !last_block_.empty() && (last_block_[1] & 0x80) == 0;
  const std::uint8_t last_ns = last_is_i && (last_block_[1] & kIBlockNs);
  // Rule 5: while the card chains, R(N(R)) naming the next N(S) asks for
  // the next block.
  if (chaining_out_ && nr == send_ns_) {
    send_next_chunk(at, port);
    return;
  }
  // Rules 7.2 and 7.3: the reader missed or could not read the last I-block
  // (it names that block's N(S)), an S(WTX request) still unanswered, or an
  // R-block of ours: send it again.
  const bool repeat =
      (last_is_i && (chaining_out_ || nr == last_ns)) || answer_pending_ ||
      ifs_pending_ || abort_pending_ ||
      (!last_block_.empty() && (last_block_[1] & 0xC0) == kRBlock);
  if (repeat) {
    ++counters_.retransmissions;
    put_on_line(last_block_, at, port);
    return;
  }
  // Otherwise the reader lost track of what the card received: name the
  // I-block expected, and the reader sends it (again).
  send_r_block(kROtherError, arrival, port);
}

void T1Card::on_s_block(std::uint8_t pcb, std::span<const std::uint8_t> inf,
                        Time arrival, LinePort &port) {
  const bool response = (pcb & kSResponse) != 0;
  const std::uint8_t type = pcb & 0x1F;
  const Time at = arrival + reply_delay(port);
  if (!response && type == kResynch) {
    // Rule 6: RESYNCH returns both sides to the state after the ATR.
    send_ns_ = expect_ns_ = 0;
    ifsd_ = kDefaultIfs;
    parameters_.ifsc = atr_ifsc_;
    ifs_pending_ = false;
    chain_in_.clear();
    chain_in_overflow_ = false;
    chaining_out_ = false;
    answer_pending_ = false;
    abort_pending_ = false;
    transmit(kSBlock | kSResponse, {}, at, port); // RESYNCH is type 0
    return;
  }
  if (!response && type == kIfs && inf.size() == 1 && inf[0] != 0 &&
      inf[0] != 0xFF) {
    // Rule 4: S(IFS request) sets IFSD and is echoed.
    ifsd_ = inf[0];
    transmit(kSBlock | kSResponse | kIfs, inf, at, port);
    return;
  }
  if (!response && type == kAbort) {
    // Rule 9: the chain in progress, either way, is abandoned.
    chain_in_.clear();
    chain_in_overflow_ = false;
    chaining_out_ = false;
    transmit(kSBlock | kSResponse | kAbort, {}, at, port);
    return;
  }
  if (response && type == kAbort && abort_pending_) {
    // The reader took the abort; the turn is its own again.
    abort_pending_ = false;
    return;
  }
  if (response && type == kIfs && ifs_pending_ && inf.size() == 1 &&
      options_.ifsc_request && inf[0] == *options_.ifsc_request) {
    ifs_pending_ = false;
    parameters_.ifsc = inf[0];
    answer(arrival, answer_ready_, port);
    return;
  }
  if (response && type == kWtx && answer_pending_ && inf.size() == 1 &&
      inf[0] == wtx_asked_) {
    answer(arrival, answer_ready_, port);
    return;
  }
  ++counters_.errors_detected;
  send_r_block(kROtherError, arrival, port);
}

void T1Card::send_r_block(std::uint8_t error, Time arrival, LinePort &port) {
  const auto pcb =
      static_cast<std::uint8_t>(kRBlock | (expect_ns_ ? kRBlockNr : 0) | error);
  const Time at = arrival + reply_delay(port);
  // An error report is not kept for repetition: the block the reader may
  // still need is the one before it, and a fresh report is sent on demand.
  if (error != 0)
    put_on_line(frame(pcb, {}), at, port);
  else
    transmit(pcb, {}, at, port);
}

std::vector<std::uint8_t>
T1Card::frame(std::uint8_t pcb, std::span<const std::uint8_t> inf) const {
  std::vector<std::uint8_t> block{nad_, pcb,
                                  static_cast<std::uint8_t>(inf.size())};
  block.insert(block.end(), inf.begin(), inf.end());
  if (parameters_.crc) {
    const std::uint16_t crc = t1_crc(block);
    block.push_back(static_cast<std::uint8_t>(crc >> 8));
    block.push_back(static_cast<std::uint8_t>(crc));
  } else {
    block.push_back(t1_lrc(block));
  }
  return block;
}

void T1Card::transmit(std::uint8_t pcb, std::span<const std::uint8_t> inf,
                      Time at, LinePort &port) {
  last_block_ = frame(pcb, inf);
  put_on_line(last_block_, at, port);
}

void T1Card::put_on_line(const std::vector<std::uint8_t> &block, Time at,
                         LinePort &port) {
  ++counters_.blocks_sent;
  T1Fault fault{};
  if (!fault_due(counters_.blocks_sent, true, fault)) {
    port.send(at, block);
    return;
  }
  switch (fault) {
  case T1Fault::lost_block:
    return;
  case T1Fault::bad_edc: {
    std::vector<std::uint8_t> garbled = block;
    garbled.back() ^= 0xFF;
    port.send(at, garbled);
    return;
  }
  default: {
    // Wrong sequence: an I-block's N(S) or an R-block's N(R) flipped, with
    // a correct EDC; S-blocks carry no number and go out unchanged.
    std::uint8_t pcb = block[1];
    if ((pcb & 0x80) == 0)
      pcb ^= kIBlockNs;
    else if ((pcb & 0xC0) == kRBlock)
      pcb ^= kRBlockNr;
    port.send(at, frame(pcb, std::span(block).subspan(kPrologue, block[2])));
    return;
  }
  }
}

} // namespace talvor::card
