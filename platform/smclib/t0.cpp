#include "platform/smclib/t0.h"

#include <algorithm>

namespace talvor::smclib {

namespace {
constexpr std::size_t kHeaderLength = 4; // CLA INS P1 P2
constexpr std::size_t kP3 = 4;
} // namespace

T0Tpdu make_t0_tpdu(std::span<const std::uint8_t> apdu) {
  T0Tpdu tpdu;
  if (apdu.size() < kHeaderLength)
    return tpdu;
  std::copy_n(apdu.begin(), kHeaderLength, tpdu.header.begin());

  if (apdu.size() == kHeaderLength) {
    tpdu.apdu_case = ApduCase::case1; // P3 = 0: no data either way
    return tpdu;
  }
  const std::uint8_t p3 = apdu[kP3];
  tpdu.header[kP3] = p3;
  if (apdu.size() == kHeaderLength + 1) {
    tpdu.apdu_case = ApduCase::case2;
    tpdu.le = p3 == 0 ? 256 : p3;
    return tpdu;
  }
  // P3 0 before data marks an extended Lc, which T=0 cannot send.
  if (p3 == 0)
    return tpdu;
  const std::size_t data_end = kHeaderLength + 1 + p3;
  if (apdu.size() == data_end)
    tpdu.apdu_case = ApduCase::case3;
  else if (apdu.size() == data_end + 1)
    tpdu.apdu_case = ApduCase::case4;
  else
    return tpdu;
  tpdu.lc = p3;
  tpdu.data = apdu.subspan(kHeaderLength + 1, p3);
  return tpdu;
}

} // namespace talvor::smclib
