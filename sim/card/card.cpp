#include "sim/card/card.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <numeric>

namespace talvor::card {

namespace {

constexpr std::uint8_t kPpss = 0xFF;
constexpr std::uint8_t kPps1Present = 0x10;
constexpr std::uint8_t kPpsOptional = 0x70; // PPS1, PPS2, PPS3 present
constexpr std::size_t kMaxPps = 6;
constexpr std::uint8_t kImplicitRate = 0x10; // TA2 b5: default Fd and Dd
constexpr std::int64_t kTurnaroundEtus = 4;

// Character frame: 12 etu plus the extra guard time N of TC1; N = 255
// means the minimum, 11 etu under T=1 (ISO/IEC 7816-3 8.3).
int char_etus(const Atr &atr, std::optional<std::uint8_t> protocol) {
  const std::uint8_t n = atr.extra_guard_time();
  if (n == 0xFF)
    return protocol == 1 ? 11 : 12;
  return 12 + n;
}

std::uint8_t xor_of(std::span<const std::uint8_t> bytes) {
  return std::accumulate(bytes.begin(), bytes.end(), std::uint8_t{0},
                         std::bit_xor<std::uint8_t>());
}

} // namespace

Card::Card(CardProfile profile, std::unique_ptr<Application> application)
    : profile_(std::move(profile)), application_(std::move(application)),
      port_(profile_.atr.convention(), profile_.clock_hz) {}

void Card::seed(std::uint64_t value) {
  profile_.t1.seed = value;
  application_->seed(value);
}

void Card::set_clock_hz(std::uint32_t hz) {
  if (hz != 0)
    profile_.clock_hz = hz;
}

std::optional<std::uint8_t> Card::protocol() const {
  if (t0_)
    return 0;
  if (t1_)
    return 1;
  return std::nullopt;
}

void Card::power_on(Time now) {
  start(now, true);
}

void Card::warm_reset(Time now) {
  if (powered())
    start(now, false);
}

void Card::power_off(Time now) {
  port_.clear(now);
  t0_.reset();
  t1_.reset();
  if (powered())
    application_->power_off();
  phase_ = Phase::off;
}

void Card::start(Time now, bool cold) {
  port_.clear(now);
  port_.set_clock_hz(profile_.clock_hz);
  port_.set_rate(Rate{});
  port_.set_char_etus(12);
  line_rate_ = Rate{};
  line_protocol_.reset();
  reader_free_ = now;
  t0_.reset();
  t1_.reset();
  pps_.clear();
  ++counters_.resets;
  application_->reset(cold);
  std::vector<std::uint8_t> atr =
      profile_.atr_bytes ? *profile_.atr_bytes : profile_.atr.bytes();
  if (!cold && profile_.warm_atr_bytes)
    atr = *profile_.warm_atr_bytes;
  const std::span<const std::uint8_t> all(atr);
  const std::size_t first =
      profile_.atr_pause ? std::min(profile_.atr_pause->after, atr.size())
                         : atr.size();
  const Time end = port_.send(now + port_.clocks(profile_.atr_delay_clocks),
                              all.first(first));
  if (first < atr.size())
    port_.send(end + profile_.atr_pause->pause, all.subspan(first));
  phase_ = Phase::negotiable;
  // TA2 puts the card in specific mode: no PPS, its protocol at once, at
  // the rate of TA1 unless b5 asks for the default one.
  if (auto specific = profile_.atr.specific_mode())
    select(*specific & 0x0F,
           (*specific & kImplicitRate) ? Rate{} : profile_.atr.rate());
}

void Card::select(std::uint8_t protocol, Rate rate) {
  port_.set_rate(rate.valid() ? rate : Rate{});
  port_.set_char_etus(char_etus(profile_.atr, protocol));
  if (protocol == 1) {
    t1_.emplace(profile_.t1, profile_.atr.t1(), port_);
  } else {
    // WT = WI x 960 x Fi/f, with Fi from TA1 (10.2).
    const std::int64_t fi =
        profile_.atr.rate().valid() ? profile_.atr.rate().f() : Rate{}.f();
    t0_.emplace(profile_.t0, port_.clocks(std::int64_t{960} *
                                          profile_.atr.waiting_integer() * fi));
  }
  phase_ = Phase::protocol;
}

Time Card::receive(Time now, std::span<const std::uint8_t> bytes) {
  Time at = std::max(now, reader_free_);
  const Duration char_time =
      etus(port_.char_etus(), line_rate_, port_.clock_hz());
  for (std::uint8_t byte : bytes) {
    at += char_time;
    ++counters_.bytes_received;
    // Half duplex: a card that is off, sending, or computing hears nothing.
    if (!powered() || at - char_time < port_.line_free()) {
      ++counters_.bytes_unheard;
      continue;
    }
    if (line_rate_ != port_.rate()) {
      ++counters_.rate_mismatches;
      continue;
    }
    if (phase_ == Phase::protocol && line_protocol_ &&
        line_protocol_ != protocol()) {
      ++counters_.protocol_mismatches;
      continue;
    }
    on_byte(line_coding(port_.convention(), byte), at);
  }
  reader_free_ = at;
  return at;
}

void Card::on_byte(std::uint8_t byte, Time arrival) {
  switch (phase_) {
  case Phase::off:
  case Phase::mute:
    return;
  case Phase::negotiable:
    // PPSS as the first byte after the ATR starts a PPS; anything else
    // starts the first offered protocol at the default rate (9.1).
    if (byte == kPpss) {
      pps_.assign(1, byte);
      phase_ = Phase::pps;
      return;
    }
    select(profile_.atr.first_protocol(), Rate{});
    on_byte(byte, arrival);
    return;
  case Phase::pps:
    pps_.push_back(byte);
    if (pps_.size() == pps_length())
      on_pps(arrival);
    return;
  case Phase::protocol:
    if (t1_)
      t1_->on_byte(byte, arrival, port_, *application_);
    else if (t0_)
      t0_->on_byte(byte, arrival, port_, *application_);
    return;
  }
}

std::size_t Card::pps_length() const {
  if (pps_.size() < 2)
    return kMaxPps + 1; // not known before PPS0
  return 3 + static_cast<std::size_t>(
                 std::popcount(static_cast<unsigned>(pps_[1] & kPpsOptional)));
}

void Card::on_pps(Time arrival) {
  ++counters_.pps_requests;
  const std::vector<std::uint8_t> request = std::move(pps_);
  pps_.clear();
  // PPS is valid only right after the ATR: whatever comes of this one, the
  // next request needs a reset first.
  phase_ = Phase::mute;
  const Time at = arrival + port_.etus(kTurnaroundEtus) + profile_.pps_delay;
  const std::uint8_t pps0 = request[1];
  const std::uint8_t asked_protocol = pps0 & 0x0F;
  const std::uint8_t check = xor_of(request);
  // An erroneous request gets no answer (9.3); the reader resets the card.
  const bool valid = check == 0 && (pps0 & 0x80) == 0 && asked_protocol <= 1 &&
                     profile_.atr.offers(asked_protocol);
  switch (profile_.pps) {
  case PpsBehaviour::silence:
    return;
  case PpsBehaviour::garbage:
    port_.send(at, profile_.pps_garbage);
    return;
  case PpsBehaviour::echo:
  case PpsBehaviour::refuse:
    break;
  }
  if (!valid)
    return;
  // PPS1 is accepted when it keeps the card's F and asks for no more than
  // its D, or asks for the default rate; PPS2 and PPS3 never are.
  std::optional<Rate> asked;
  if (pps0 & kPps1Present)
    asked = Rate::from_byte(request[2]);
  const Rate offered = profile_.atr.rate();
  const bool accept =
      asked && profile_.pps == PpsBehaviour::echo && asked->valid() &&
      (*asked == Rate{} || (offered.valid() && asked->f() == offered.f() &&
                            asked->d() <= offered.d()));
  std::vector<std::uint8_t> response{
      kPpss,
      static_cast<std::uint8_t>(asked_protocol | (accept ? kPps1Present : 0))};
  if (accept)
    response.push_back(asked->byte());
  response.push_back(xor_of(response));
  // The new rate applies after the response, which goes at the old one.
  port_.send(at, response);
  select(asked_protocol, accept ? *asked : Rate{});
}

std::optional<Time> Card::next_output() const {
  const auto &queue = port_.queue();
  auto next = std::find_if(queue.begin(), queue.end(), [&](const TimedByte &b) {
    return b.rate == line_rate_;
  });
  return next == queue.end() ? std::nullopt : std::optional(next->ready);
}

std::vector<std::uint8_t> Card::take_output(Time now, std::size_t max) {
  std::vector<std::uint8_t> out;
  auto &queue = port_.queue();
  while (!queue.empty() && queue.front().ready <= now && out.size() < max) {
    if (queue.front().rate == line_rate_)
      out.push_back(queue.front().value);
    else
      ++counters_.rate_mismatches;
    queue.pop_front();
  }
  return out;
}

} // namespace talvor::card
