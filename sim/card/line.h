// The card's I/O line: time, transmission rates and the character coding
// both sides of ISO/IEC 7816-3 agree on.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

namespace talvor::card {

// Line time in nanoseconds since an epoch the caller chooses (the reader
// model passes its clock). Cards never read a clock of their own.
using Duration = std::chrono::nanoseconds;
using Time = std::chrono::nanoseconds;

// Clock rate conversion factor F and bit rate adjustment factor D by the
// index in TA1 and PPS1; 0 marks a reserved index.
inline constexpr std::array<std::uint16_t, 16> kFiTable = {
    372, 372, 558, 744,  1116, 1488, 1860, 0,
    0,   512, 768, 1024, 1536, 2048, 0,    0};
inline constexpr std::array<std::uint8_t, 16> kDiTable = {
    0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

// A transmission rate as the pair of indices TA1 and PPS1 carry.
struct Rate {
  std::uint8_t fi = 1; // default Fd = 372
  std::uint8_t di = 1; // default Dd = 1

  static constexpr Rate from_byte(std::uint8_t ta1) {
    return {static_cast<std::uint8_t>(ta1 >> 4),
            static_cast<std::uint8_t>(ta1 & 0x0F)};
  }
  constexpr std::uint8_t byte() const {
    return static_cast<std::uint8_t>((fi << 4) | (di & 0x0F));
  }
  constexpr bool valid() const {
    return fi < 16 && di < 16 && kFiTable[fi] != 0 && kDiTable[di] != 0;
  }
  constexpr std::uint16_t f() const { return kFiTable[fi & 0x0F]; }
  constexpr std::uint8_t d() const { return kDiTable[di & 0x0F]; }
  friend constexpr bool operator==(Rate, Rate) = default;
};

// 3.5712 MHz makes the default rate exactly 9600 bit/s.
inline constexpr std::uint32_t kDefaultClockHz = 3'571'200;

// The time `clocks` cycles of the card clock take.
constexpr Duration clock_cycles(std::int64_t clocks, std::uint32_t clock_hz) {
  return Duration{clocks * 1'000'000'000 / clock_hz};
}

// The time `count` elementary time units take at `rate`; an invalid rate
// counts as the default one so that timing never divides by zero.
constexpr Duration etus(std::int64_t count, Rate rate, std::uint32_t clock_hz) {
  if (!rate.valid())
    rate = Rate{};
  return Duration{count * rate.f() * 1'000'000'000 /
                  (static_cast<std::int64_t>(rate.d()) * clock_hz)};
}

enum class Convention { direct, inverse };

// Under the inverse convention a byte travels with its bits in the opposite
// order and complemented; the mapping is its own inverse. A UART reading in
// the direct convention sees this value (TS 0x3F arrives as 0x03).
constexpr std::uint8_t inverse_coding(std::uint8_t value) {
  std::uint8_t reversed = 0;
  for (int bit = 0; bit < 8; ++bit)
    if (value & (1u << bit))
      reversed |= static_cast<std::uint8_t>(0x80u >> bit);
  return static_cast<std::uint8_t>(~reversed);
}

constexpr std::uint8_t line_coding(Convention convention, std::uint8_t value) {
  return convention == Convention::inverse ? inverse_coding(value) : value;
}

} // namespace talvor::card
