// The answer-to-reset as the driver gave it back, decoded for people
// (ISO/IEC 7816-3 clause 8). Decodes what it can of a short, malformed or
// unchecked ATR too, and says what is wrong with it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace talvor::cli {

struct AtrReport {
  bool inverse = false;        // TS 0x3F (or 0x03, a direct-read 0x3F)
  bool coded_inverse = false;  // bytes still in the line's coding: TS 0x03
  std::uint16_t protocols = 0; // bit T for every T a TD byte names
  std::uint8_t first_protocol = 0;
  std::uint8_t ta1 = 0x11; // Fi, Di; 0x11 when absent
  bool ta1_present = false;
  std::uint16_t f = 372; // 0 for a reserved index
  std::uint8_t d = 1;
  std::uint8_t n = 0;                        // TC1, extra guard time
  std::uint8_t wi = 10;                      // TC2 of T=0
  std::optional<std::uint8_t> specific_mode; // TA2
  std::uint8_t ifsc = 32, bwi = 4, cwi = 13;
  bool crc = false;
  std::vector<std::uint8_t> historical;
  std::optional<std::uint8_t> tck;
  bool tck_ok = true;
  std::vector<std::string> problems; // empty for a sound ATR
};

AtrReport decode_atr(std::span<const std::uint8_t> atr);
// The report as lines to print: convention and protocols, rates, waiting
// times, historical bytes, TCK and problems.
std::vector<std::string> describe_atr(const AtrReport &report);

} // namespace talvor::cli
