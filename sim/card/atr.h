// Answer-to-reset (ISO/IEC 7816-3 clause 8): a value that builds the bytes a
// card sends, and parses bytes back, checking every length first.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/card/line.h"

namespace talvor::card {

// One group of interface bytes. Group 1 (TA1, TB1, TC1) follows T0; every
// later group is introduced by the TD byte of the group before it, whose low
// nibble `protocol` names the protocol the group speaks for.
struct AtrGroup {
  std::uint8_t protocol = 0;
  std::optional<std::uint8_t> ta, tb, tc;
};

// T=1 parameters as the ATR sets them (ISO/IEC 7816-3 11.4), defaults when
// absent.
struct T1Parameters {
  std::uint8_t ifsc = 32;
  std::uint8_t bwi = 4;
  std::uint8_t cwi = 13;
  bool crc = false; // TC3 bit 1: CRC instead of LRC
};

class Atr {
public:
  explicit Atr(Convention convention = Convention::direct)
      : convention_(convention), groups_(1) {}

  // Builder: interface bytes of the last group; `next_group(T)` adds a TD
  // byte naming protocol T to the last group and opens the next one.
  Atr &ta(std::uint8_t value);
  Atr &tb(std::uint8_t value);
  Atr &tc(std::uint8_t value);
  Atr &next_group(std::uint8_t protocol);
  // At most 15 historical bytes fit the count in T0; more are refused by
  // keeping the first 15.
  Atr &historical(std::span<const std::uint8_t> bytes);

  // The logical bytes (before line coding), TCK computed when one is due.
  std::vector<std::uint8_t> bytes() const;

  // Parses logical bytes (TS already 0x3B or 0x3F). Returns nothing and says
  // why for a short, malformed or unchecked ATR.
  static std::optional<Atr> parse(std::span<const std::uint8_t> bytes,
                                  std::string *why = nullptr);
  // The whole length T0 and the TD bytes announce, once the logical bytes
  // received so far tell it; what a reader counts an ATR's end by.
  static std::optional<std::size_t>
  announced_length(std::span<const std::uint8_t> bytes);

  Convention convention() const { return convention_; }
  const std::vector<AtrGroup> &groups() const { return groups_; }
  const std::vector<std::uint8_t> &historical_bytes() const {
    return historical_;
  }

  // Bit T set for every protocol T a TD byte names; T=0 alone when none.
  std::uint16_t protocols() const;
  // The protocol of TD1, T=0 without it: the one used without PPS.
  std::uint8_t first_protocol() const;
  bool offers(std::uint8_t protocol) const {
    return protocol < 16 && (protocols() >> protocol) & 1;
  }
  Rate rate() const;                     // TA1, default 0x11
  std::uint8_t extra_guard_time() const; // TC1 (N), default 0
  std::uint8_t waiting_integer() const;  // TC2 (WI) for T=0, default 10
  // TA2: the card is in specific mode with this byte.
  std::optional<std::uint8_t> specific_mode() const;
  T1Parameters t1() const;

private:
  const AtrGroup *group(std::size_t index) const {
    return index < groups_.size() ? &groups_[index] : nullptr;
  }
  bool needs_tck() const;

  Convention convention_;
  std::vector<AtrGroup> groups_;
  std::vector<std::uint8_t> historical_;
};

} // namespace talvor::card
