// Answer-to-reset parsing (ISO/IEC 7816-3 clause 8) and the card timing it
// implies. Pure: bytes in, values out; every length is checked before a
// byte is read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace talvor::smclib {

inline constexpr std::size_t kAtrBufferLength = 64;

enum class AtrError {
  none,
  too_short, // less than TS and T0
  too_long,  // more than the 64 bytes a reader may hand over
  bad_ts,    // neither convention
  truncated, // interface, historical or check byte missing
  bad_tck,   // the check byte does not check
};

const char *to_string(AtrError error);

struct Atr {
  bool inverse = false;
  // The ATR as the direct convention reads it; an ATR sent in the inverse
  // convention and handed over undecoded (TS 0x03) is decoded here.
  std::array<std::uint8_t, kAtrBufferLength> bytes{};
  std::size_t length = 0; // bytes read, TCK included; later bytes ignored

  bool has_ta1 = false;
  std::uint8_t fl = 1; // TA1 as sent, including reserved values
  std::uint8_t dl = 1;
  std::uint8_t ii = 0; // TB1
  std::uint8_t p = 0;
  std::uint8_t n = 0;   // TC1
  std::uint8_t wi = 10; // TC2
  // Bit T set for every protocol T a TD byte names; T=0 alone without TD1.
  std::uint16_t offered = 0;
  std::optional<std::uint8_t> ta2; // specific mode

  // The first TA, TB and TC after a TD naming T=1.
  std::uint8_t ifsc = 32;
  std::uint8_t cwi = 13;
  std::uint8_t bwi = 4;
  std::uint8_t edc = 0; // bit 0: CRC

  std::size_t historical_offset = 0;
  std::size_t historical_length = 0;
  bool has_tck = false;

  bool offers(unsigned protocol) const {
    return protocol < 16 && ((offered >> protocol) & 1) != 0;
  }
  std::span<const std::uint8_t> historical() const {
    return {bytes.data() + historical_offset, historical_length};
  }
  // The protocol TA2 fixes, and whether it says "implicit parameters".
  std::uint8_t specific_protocol() const { return ta2.value_or(0) & 0x0F; }
  bool implicit_parameters() const { return (ta2.value_or(0) & 0x10) != 0; }
};

AtrError parse_atr(std::span<const std::uint8_t> input, Atr &atr);

// F by Fl and D by Dl; 0 for a reserved index.
std::uint32_t clock_rate_factor(std::uint8_t fl);
std::uint32_t bit_rate_factor(std::uint8_t dl);
// Maximum card clock by Fl, kHz; 0 for a reserved index.
std::uint32_t max_clock_khz(std::uint8_t fl);

// Waiting and guard times in microseconds, rounded up.
struct CardTiming {
  std::uint32_t etu = 0; // at the card's Fl and Dl
  std::uint32_t gt = 0;
  std::uint32_t wt = 0;  // T=0
  std::uint32_t cwt = 0; // T=1
  std::uint32_t bwt = 0;
  std::uint32_t bgt = 0;
};

// Reserved indices count as the default rate. Time-outs (WT, CWT, BWT,
// BGT) use the slower of the default rate and the card's, since which one
// the card runs at depends on a PPS not yet made: a time-out may come late,
// never early.
CardTiming card_timing(const Atr &atr, std::uint32_t clock_khz);

// Inverse convention: bits in the opposite order and complemented. Its own
// inverse.
constexpr std::uint8_t invert_byte(std::uint8_t value) {
  value = static_cast<std::uint8_t>(~value);
  std::uint8_t result = 0;
  for (int bit = 0; bit < 8; ++bit)
    if (value & (1u << bit))
      result = static_cast<std::uint8_t>(result | (0x80u >> bit));
  return result;
}

void invert_bytes(std::span<std::uint8_t> bytes);

} // namespace talvor::smclib
