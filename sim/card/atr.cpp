#include "sim/card/atr.h"

#include <algorithm>
#include <bit>

namespace talvor::card {

namespace {

constexpr std::uint8_t kTsDirect = 0x3B;
constexpr std::uint8_t kTsInverse = 0x3F;
constexpr std::size_t kMaxHistorical = 15;

void fail(std::string *why, const char *text) {
  if (why)
    *why = text;
}

} // namespace

Atr &Atr::ta(std::uint8_t value) {
  groups_.back().ta = value;
  return *this;
}

Atr &Atr::tb(std::uint8_t value) {
  groups_.back().tb = value;
  return *this;
}

Atr &Atr::tc(std::uint8_t value) {
  groups_.back().tc = value;
  return *this;
}

Atr &Atr::next_group(std::uint8_t protocol) {
  AtrGroup next;
  next.protocol = static_cast<std::uint8_t>(protocol & 0x0F);
  groups_.push_back(next);
  return *this;
}

Atr &Atr::historical(std::span<const std::uint8_t> bytes) {
  historical_.assign(bytes.begin(),
                     bytes.begin() + static_cast<std::ptrdiff_t>(std::min(
                                         bytes.size(), kMaxHistorical)));
  return *this;
}

bool Atr::needs_tck() const {
  return std::any_of(groups_.begin() + 1, groups_.end(),
                     [](const AtrGroup &g) { return g.protocol != 0; });
}

std::vector<std::uint8_t> Atr::bytes() const {
  std::vector<std::uint8_t> out;
  out.push_back(convention_ == Convention::inverse ? kTsInverse : kTsDirect);
  // Y(i) of each group: which of TA TB TC TD follow; TD when a group comes
  // next.
  auto presence = [&](std::size_t i) {
    const AtrGroup &g = groups_[i];
    std::uint8_t y = 0;
    if (g.ta)
      y |= 0x10;
    if (g.tb)
      y |= 0x20;
    if (g.tc)
      y |= 0x40;
    if (i + 1 < groups_.size())
      y |= 0x80;
    return y;
  };
  out.push_back(static_cast<std::uint8_t>(presence(0) | historical_.size()));
  for (std::size_t i = 0; i < groups_.size(); ++i) {
    const AtrGroup &g = groups_[i];
    for (const auto &byte : {g.ta, g.tb, g.tc})
      if (byte)
        out.push_back(*byte);
    if (i + 1 < groups_.size())
      out.push_back(
          static_cast<std::uint8_t>(presence(i + 1) | groups_[i + 1].protocol));
  }
  out.insert(out.end(), historical_.begin(), historical_.end());
  if (needs_tck()) {
    std::uint8_t tck = 0;
    for (std::size_t i = 1; i < out.size(); ++i)
      tck ^= out[i];
    out.push_back(tck);
  }
  return out;
}

std::optional<Atr> Atr::parse(std::span<const std::uint8_t> bytes,
                              std::string *why) {
  if (bytes.size() < 2) {
    fail(why, "shorter than TS and T0");
    return std::nullopt;
  }
  if (bytes[0] != kTsDirect && bytes[0] != kTsInverse) {
    fail(why, "TS is neither 0x3B nor 0x3F");
    return std::nullopt;
  }
  Atr atr(bytes[0] == kTsInverse ? Convention::inverse : Convention::direct);
  std::size_t at = 1;
  std::uint8_t y = bytes[at] & 0xF0;
  const std::size_t historical_count = bytes[at] & 0x0F;
  ++at;
  for (;;) {
    AtrGroup &g = atr.groups_.back();
    for (auto [mask, field] : {std::pair{0x10, &g.ta}, std::pair{0x20, &g.tb},
                               std::pair{0x40, &g.tc}}) {
      if (!(y & mask))
        continue;
      if (at >= bytes.size()) {
        fail(why, "truncated in the interface bytes");
        return std::nullopt;
      }
      *field = bytes[at++];
    }
    if (!(y & 0x80))
      break;
    if (at >= bytes.size()) {
      fail(why, "truncated at a TD byte");
      return std::nullopt;
    }
    y = bytes[at] & 0xF0;
    atr.next_group(bytes[at] & 0x0F);
    ++at;
  }
  if (bytes.size() - at < historical_count) {
    fail(why, "truncated in the historical bytes");
    return std::nullopt;
  }
  atr.historical_.assign(
      bytes.begin() + static_cast<std::ptrdiff_t>(at),
      bytes.begin() + static_cast<std::ptrdiff_t>(at + historical_count));
  at += historical_count;
  if (atr.needs_tck()) {
    if (at >= bytes.size()) {
      fail(why, "TCK missing");
      return std::nullopt;
    }
    std::uint8_t check = 0;
    for (std::size_t i = 1; i <= at; ++i)
      check ^= bytes[i];
    if (check != 0) {
      fail(why, "TCK does not check");
      return std::nullopt;
    }
    ++at;
  }
  if (at != bytes.size()) {
    fail(why, "bytes after the end of the ATR");
    return std::nullopt;
  }
  return atr;
}

std::optional<std::size_t>
Atr::announced_length(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 2)
    return std::nullopt;
  std::uint8_t y = bytes[1] & 0xF0;
  const std::size_t historical_count = bytes[1] & 0x0F;
  std::size_t at = 2;
  bool tck = false;
  for (;;) {
    at += static_cast<std::size_t>(
        std::popcount(static_cast<unsigned>(y & 0x70)));
    if (!(y & 0x80))
      break;
    if (at >= bytes.size())
      return std::nullopt;
    // Any protocol but T=0 named by a TD byte makes TCK due.
    tck |= (bytes[at] & 0x0F) != 0;
    y = bytes[at] & 0xF0;
    ++at;
  }
  return at + historical_count + (tck ? 1 : 0);
}

std::uint16_t Atr::protocols() const {
  std::uint16_t mask = 0;
  for (std::size_t i = 1; i < groups_.size(); ++i)
    mask |= static_cast<std::uint16_t>(1u << groups_[i].protocol);
  // T=15 qualifies global bytes and is no transmission protocol.
  mask &= static_cast<std::uint16_t>(~(1u << 15));
  return mask ? mask : 1;
}

std::uint8_t Atr::first_protocol() const {
  return groups_.size() > 1 ? groups_[1].protocol : 0;
}

Rate Atr::rate() const {
  return groups_[0].ta ? Rate::from_byte(*groups_[0].ta) : Rate{};
}

std::uint8_t Atr::extra_guard_time() const {
  return groups_[0].tc.value_or(0);
}

std::uint8_t Atr::waiting_integer() const {
  const AtrGroup *g = group(1);
  return g && g->tc && *g->tc != 0 ? *g->tc : 10;
}

std::optional<std::uint8_t> Atr::specific_mode() const {
  const AtrGroup *g = group(1);
  return g ? g->ta : std::nullopt;
}

T1Parameters Atr::t1() const {
  T1Parameters p;
  // Only groups from the third on, introduced by a TD naming T=1, are T=1's;
  // the first of each kind counts.
  bool have_ta = false, have_tb = false, have_tc = false;
  for (std::size_t i = 2; i < groups_.size(); ++i) {
    const AtrGroup &g = groups_[i];
    if (g.protocol != 1)
      continue;
    if (g.ta && !have_ta) {
      p.ifsc = *g.ta;
      have_ta = true;
    }
    if (g.tb && !have_tb) {
      p.bwi = static_cast<std::uint8_t>(*g.tb >> 4);
      p.cwi = static_cast<std::uint8_t>(*g.tb & 0x0F);
      have_tb = true;
    }
    if (g.tc && !have_tc) {
      p.crc = (*g.tc & 0x01) != 0;
      have_tc = true;
    }
  }
  return p;
}

} // namespace talvor::card
