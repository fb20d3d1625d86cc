#include "tools/talvor/atr.h"

#include <cstdio>

#include "sim/card/line.h"
#include "tools/talvor/text.h"

namespace talvor::cli {

namespace {

std::string hex_byte(std::uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", byte);
  return text;
}

std::string protocol_list(std::uint16_t protocols) {
  std::string text;
  for (unsigned t = 0; t < 16; ++t)
    if (protocols >> t & 1)
      text += (text.empty() ? "T=" : ", T=") + std::to_string(t);
  return text;
}

} // namespace

AtrReport decode_atr(std::span<const std::uint8_t> raw) {
  AtrReport report;
  if (raw.empty()) {
    report.problems.push_back("no ATR bytes");
    report.protocols = 1;
    return report;
  }
  std::vector<std::uint8_t> atr(raw.begin(), raw.end());
  if (atr[0] == 0x03) {
    // An inverse-convention card read as if it were direct.
    report.coded_inverse = true;
    for (auto &byte : atr)
      byte = card::inverse_coding(byte);
  }
  if (atr[0] == 0x3F)
    report.inverse = true;
  else if (atr[0] != 0x3B)
    report.problems.push_back("TS " + hex_byte(atr[0]) +
                              " is neither 3B nor 3F");

  std::size_t at = 1;
  auto next = [&](std::uint8_t &into) {
    if (at >= atr.size())
      return false;
    into = atr[at++];
    return true;
  };
  std::uint8_t t0 = 0;
  bool complete = next(t0);
  std::uint8_t y = static_cast<std::uint8_t>(t0 >> 4);
  const std::size_t k = t0 & 0x0F;
  bool t1_group_seen = false;
  bool needs_tck = false;
  // Group i's bytes speak for the protocol the TD byte before it named.
  std::uint8_t group_protocol = 0;
  for (unsigned group = 1; complete && y != 0; ++group) {
    std::uint8_t ta = 0, tb = 0, tc = 0, td = 0;
    const bool has_ta = y & 1, has_tb = y & 2, has_tc = y & 4, has_td = y & 8;
    if ((has_ta && !(complete = next(ta))) ||
        (has_tb && !(complete = next(tb))) ||
        (has_tc && !(complete = next(tc))) ||
        (has_td && !(complete = next(td))))
      break;
    const bool t1_group = group >= 3 && group_protocol == 1 && !t1_group_seen;
    if (group == 1) {
      if (has_ta) {
        report.ta1 = ta;
        report.ta1_present = true;
      }
      if (has_tc)
        report.n = tc;
    } else if (group == 2) {
      if (has_ta)
        report.specific_mode = ta;
      if (has_tc && group_protocol == 0)
        report.wi = tc;
    } else if (t1_group) {
      t1_group_seen = true;
      if (has_ta)
        report.ifsc = ta;
      if (has_tb) {
        report.bwi = static_cast<std::uint8_t>(tb >> 4);
        report.cwi = tb & 0x0F;
      }
      if (has_tc)
        report.crc = tc & 1;
    }
    if (!has_td)
      break;
    group_protocol = td & 0x0F;
    if (group == 1)
      report.first_protocol = group_protocol;
    if (group_protocol != 0)
      needs_tck = true;
    if (group_protocol != 15)
      report.protocols |= static_cast<std::uint16_t>(1u << group_protocol);
    y = static_cast<std::uint8_t>(td >> 4);
  }
  if (report.protocols == 0)
    report.protocols = 1;
  report.f = card::kFiTable[report.ta1 >> 4];
  report.d = card::kDiTable[report.ta1 & 0x0F];

  const std::size_t historical_at = at;
  if (complete) {
    const std::size_t have = std::min(k, atr.size() - historical_at);
    const auto first = atr.begin() + static_cast<std::ptrdiff_t>(historical_at);
    report.historical.assign(first, first + static_cast<std::ptrdiff_t>(have));
    at = historical_at + have;
    complete = have == k;
  }
  if (complete && needs_tck) {
    if (at < atr.size()) {
      report.tck = atr[at++];
      std::uint8_t sum = 0;
      for (std::size_t i = 1; i < at; ++i)
        sum ^= atr[i];
      report.tck_ok = sum == 0;
      if (!report.tck_ok)
        report.problems.push_back("TCK " + hex_byte(*report.tck) +
                                  " does not check (XOR T0..TCK is " +
                                  hex_byte(sum) + ")");
    } else {
      complete = false;
    }
  }
  if (!complete)
    report.problems.push_back("truncated: " + std::to_string(raw.size()) +
                              " bytes, the interface bytes announce more");
  else if (at < atr.size())
    report.problems.push_back(std::to_string(atr.size() - at) +
                              " bytes after the end the ATR announces");
  return report;
}

std::vector<std::string> describe_atr(const AtrReport &report) {
  std::vector<std::string> lines;
  char text[160];

  std::string convention =
      report.inverse ? "inverse (TS 3F)" : "direct (TS 3B)";
  if (report.coded_inverse)
    convention = "inverse (TS 3F, read as 03)";
  std::string line = "convention " + convention + "; protocols " +
                     protocol_list(report.protocols);
  if (report.specific_mode) {
    const std::uint8_t ta2 = *report.specific_mode;
    std::snprintf(text, sizeof text, "; specific mode T=%u (TA2 %02X%s)",
                  ta2 & 0x0Fu, ta2,
                  ta2 & 0x80 ? ", cannot change" : ", can change");
    line += text;
  } else {
    line +=
        "; negotiable, T=" + std::to_string(report.first_protocol) + " first";
  }
  lines.push_back(line);

  std::string f = report.f ? std::to_string(report.f) : "reserved";
  std::string d = report.d ? std::to_string(report.d) : "reserved";
  std::snprintf(text, sizeof text, "TA1 %02X%s: Fi %u, Di %u (F %s, D %s)",
                report.ta1, report.ta1_present ? "" : " (default)",
                report.ta1 >> 4, report.ta1 & 0x0Fu, f.c_str(), d.c_str());
  lines.emplace_back(text);

  if (report.n == 255)
    lines.emplace_back(
        "guard time: N 255, the minimum (12 etu in T=0, 11 etu in T=1)");
  else
    lines.push_back("guard time: N " + std::to_string(report.n) + " (" +
                    std::to_string(12 + report.n) + " etu)");

  if (report.protocols & 1) {
    std::snprintf(
        text, sizeof text, "T=0: WI %u (WT = 960 x WI x Fi/f: %lu etu at D %u)",
        report.wi, 960ul * report.wi * (report.d ? report.d : 1u), report.d);
    lines.emplace_back(text);
  }
  if (report.protocols & 2) {
    // BWT = 11 etu + 2^BWI x 960 x 372 / f (ISO/IEC 7816-3 11.4.3).
    const double bwt_ms = report.bwi > 9 ? -1
                                         : (1u << report.bwi) * 960.0 * 372.0 /
                                               card::kDefaultClockHz * 1000.0;
    if (bwt_ms < 0)
      std::snprintf(text, sizeof text,
                    "T=1: IFSC %u, CWI %u (CWT %lu etu), BWI %u (reserved), "
                    "%s",
                    report.ifsc, report.cwi, 11ul + (1ul << report.cwi),
                    report.bwi, report.crc ? "CRC" : "LRC");
    else
      std::snprintf(text, sizeof text,
                    "T=1: IFSC %u, CWI %u (CWT %lu etu), BWI %u (BWT %.0f ms "
                    "+ 11 etu at 3.5712 MHz), %s",
                    report.ifsc, report.cwi, 11ul + (1ul << report.cwi),
                    report.bwi, bwt_ms, report.crc ? "CRC" : "LRC");
    lines.emplace_back(text);
  }

  line = "historical bytes (" + std::to_string(report.historical.size()) + ")";
  if (!report.historical.empty()) {
    line += ": " + format_hex(report.historical);
    bool printable = true;
    for (std::uint8_t byte : report.historical)
      printable = printable && byte >= 0x20 && byte < 0x7F;
    if (printable)
      line += " \"" +
              std::string(report.historical.begin(), report.historical.end()) +
              "\"";
  }
  lines.push_back(line);

  if (report.tck && report.tck_ok)
    lines.push_back("TCK " + hex_byte(*report.tck) + " (checks)");
  for (const auto &problem : report.problems)
    lines.push_back("problem: " + problem);
  return lines;
}

} // namespace talvor::cli
