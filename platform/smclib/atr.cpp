#include "platform/smclib/atr.h"

#include <algorithm>

namespace talvor::smclib {

namespace {

// ISO/IEC 7816-3 Table 7 (Fi, f max) and Table 8 (Di); 0 = reserved.
constexpr std::array<std::uint32_t, 16> kFi = {372,  372,  558, 744, 1116, 1488,
                                               1860, 0,    0,   512, 768,  1024,
                                               1536, 2048, 0,   0};
constexpr std::array<std::uint32_t, 16> kFmaxKhz = {
    4000, 5000, 6000, 8000,  12000, 16000, 20000, 0,
    0,    5000, 7500, 10000, 15000, 20000, 0,     0};
constexpr std::array<std::uint32_t, 16> kDi = {0,  1,  2, 4, 8, 16, 32, 64,
                                               12, 20, 0, 0, 0, 0,  0,  0};

constexpr std::uint8_t kDirectTs = 0x3B;
constexpr std::uint8_t kInverseTs = 0x3F;
// TS of an inverse-convention card read as if it were direct.
constexpr std::uint8_t kUndecodedInverseTs = 0x03;

constexpr std::uint8_t kTaPresent = 0x1;
constexpr std::uint8_t kTbPresent = 0x2;
constexpr std::uint8_t kTcPresent = 0x4;
constexpr std::uint8_t kTdPresent = 0x8;

constexpr std::uint8_t kMaxBwi = 9; // A to F are reserved

std::uint64_t div_up(std::uint64_t value, std::uint64_t divisor) {
  return (value + divisor - 1) / divisor;
}

std::uint32_t clamp32(std::uint64_t value) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(value, UINT32_MAX));
}

} // namespace

const char *to_string(AtrError error) {
  switch (error) {
  case AtrError::none:
    return "usable";
  case AtrError::too_short:
    return "shorter than TS and T0";
  case AtrError::too_long:
    return "longer than 64 bytes";
  case AtrError::bad_ts:
    return "TS names no convention";
  case AtrError::truncated:
    return "truncated";
  case AtrError::bad_tck:
    return "TCK does not check";
  }
  return "unknown";
}

void invert_bytes(std::span<std::uint8_t> bytes) {
  std::transform(bytes.begin(), bytes.end(), bytes.begin(), invert_byte);
}

AtrError parse_atr(std::span<const std::uint8_t> input, Atr &atr) {
  atr = Atr{};
  if (input.size() < 2)
    return AtrError::too_short;
  if (input.size() > kAtrBufferLength)
    return AtrError::too_long;
  std::copy(input.begin(), input.end(), atr.bytes.begin());
  const std::size_t size = input.size();
  auto &b = atr.bytes;

  switch (b[0]) {
  case kDirectTs:
    break;
  case kInverseTs:
    atr.inverse = true;
    break;
  case kUndecodedInverseTs:
    atr.inverse = true;
    invert_bytes({b.data(), size});
    break;
  default:
    return AtrError::bad_ts;
  }

  std::size_t pos = 1;
  const std::uint8_t t0 = b[pos++];
  std::uint8_t presence = t0 >> 4;
  const std::size_t historical = t0 & 0x0F;

  // Group i holds TAi, TBi, TCi, TDi; the protocol a group speaks for is
  // the one TD(i-1) names (groups 1 and 2 are global, TC2 is T=0's).
  unsigned group = 1;
  unsigned group_protocol = 0;
  bool tck_due = false;
  bool any_td = false;
  bool t1_ta_seen = false, t1_tb_seen = false, t1_tc_seen = false;
  for (;;) {
    std::optional<std::uint8_t> ta, tb, tc, td;
    auto take = [&](std::optional<std::uint8_t> &slot) {
      if (pos >= size)
        return false;
      slot = b[pos++];
      return true;
    };
    if ((presence & kTaPresent) && !take(ta))
      return AtrError::truncated;
    if ((presence & kTbPresent) && !take(tb))
      return AtrError::truncated;
    if ((presence & kTcPresent) && !take(tc))
      return AtrError::truncated;
    if ((presence & kTdPresent) && !take(td))
      return AtrError::truncated;

    if (group == 1) {
      if (ta) {
        atr.has_ta1 = true;
        atr.fl = *ta >> 4;
        atr.dl = *ta & 0x0F;
      }
      if (tb) {
        atr.ii = (*tb >> 5) & 0x03;
        atr.p = *tb & 0x1F;
      }
      if (tc)
        atr.n = *tc;
    } else if (group == 2) {
      atr.ta2 = ta;
      if (tc && *tc != 0) // WI 0 is reserved: keep the default
        atr.wi = *tc;
    } else if (group_protocol == 1) {
      if (ta && !t1_ta_seen) {
        t1_ta_seen = true;
        // IFSC 0x00 and 0xFF are reserved: keep the default.
        if (*ta != 0x00 && *ta != 0xFF)
          atr.ifsc = *ta;
      }
      if (tb && !t1_tb_seen) {
        t1_tb_seen = true;
        atr.bwi = std::min<std::uint8_t>(*tb >> 4, kMaxBwi);
        atr.cwi = *tb & 0x0F;
      }
      if (tc && !t1_tc_seen) {
        t1_tc_seen = true;
        atr.edc = *tc & 0x01;
      }
    }

    if (!td)
      break;
    any_td = true;
    group_protocol = *td & 0x0F;
    atr.offered =
        static_cast<std::uint16_t>(atr.offered | 1u << group_protocol);
    if (group_protocol != 0)
      tck_due = true; // TCK follows unless only T=0 is indicated
    presence = *td >> 4;
    ++group;
  }
  if (!any_td)
    atr.offered = 1; // T=0

  if (size - pos < historical)
    return AtrError::truncated;
  atr.historical_offset = pos;
  atr.historical_length = historical;
  pos += historical;

  if (tck_due) {
    if (pos >= size)
      return AtrError::truncated;
    std::uint8_t check = 0;
    for (std::size_t i = 1; i <= pos; ++i)
      check ^= b[i];
    if (check != 0)
      return AtrError::bad_tck;
    atr.has_tck = true;
    ++pos;
  }
  atr.length = pos;
  return AtrError::none;
}

std::uint32_t clock_rate_factor(std::uint8_t fl) {
  return kFi[fl & 0x0F];
}

std::uint32_t bit_rate_factor(std::uint8_t dl) {
  return kDi[dl & 0x0F];
}

std::uint32_t max_clock_khz(std::uint8_t fl) {
  return kFmaxKhz[fl & 0x0F];
}

CardTiming card_timing(const Atr &atr, std::uint32_t clock_khz) {
  constexpr std::uint64_t kDefaultF = 372;
  if (clock_khz == 0)
    clock_khz = 3571; // ISO's default-rate clock, 3.5712 MHz
  std::uint64_t f = clock_rate_factor(atr.fl);
  std::uint64_t d = bit_rate_factor(atr.dl);
  if (f == 0 || d == 0) {
    f = kDefaultF;
    d = 1;
  }
  // etu = F / (D f), in microseconds with f in kHz: 1000 F / (D f).
  const std::uint64_t etu_ns_card = div_up(f * 1'000'000, d * clock_khz);
  const std::uint64_t etu_ns_slow =
      std::max(etu_ns_card, div_up(kDefaultF * 1'000'000, clock_khz));

  CardTiming timing;
  timing.etu = clamp32(div_up(etu_ns_card, 1000));
  const std::uint64_t guard_etus = 12 + (atr.n == 255 ? 0 : atr.n);
  timing.gt = clamp32(div_up(guard_etus * etu_ns_card, 1000));
  // WT = WI x 960 x Fi / f
  timing.wt =
      clamp32(div_up(std::uint64_t{atr.wi} * 960 * f * 1000, clock_khz));
  // CWT = (11 + 2^CWI) etu
  timing.cwt =
      clamp32(div_up(((std::uint64_t{1} << atr.cwi) + 11) * etu_ns_slow, 1000));
  // BWT = 11 etu + 2^BWI x 960 x 372 / f
  timing.bwt =
      clamp32(div_up(11 * etu_ns_slow, 1000) +
              div_up((std::uint64_t{1} << atr.bwi) * 960 * kDefaultF * 1000,
                     clock_khz));
  timing.bgt = clamp32(div_up(22 * etu_ns_slow, 1000));
  return timing;
}

} // namespace talvor::smclib
