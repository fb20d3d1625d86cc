// T=0 (ISO/IEC 7816-3 clause 10, 7816-4 clause 5): the command APDU turned
// into the TPDU a reader sends, header and command data. Pure.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace talvor::smclib {

enum class ApduCase { invalid, case1, case2, case3, case4 };

struct T0Tpdu {
  ApduCase apdu_case = ApduCase::invalid;
  std::array<std::uint8_t, 5> header{}; // CLA INS P1 P2 P3
  std::span<const std::uint8_t> data;   // Lc bytes of command data
  std::uint32_t lc = 0;
  std::uint32_t le = 0; // data bytes the card sends back (P3 0 means 256)
};

// Short APDUs only: T=0 cannot carry an extended length. A case 4 APDU goes
// as its case 3 TPDU; the card then announces its answer with 61xx and the
// application fetches it with GET RESPONSE. An APDU whose length disagrees
// with its Lc is invalid.
T0Tpdu make_t0_tpdu(std::span<const std::uint8_t> apdu);

} // namespace talvor::smclib
