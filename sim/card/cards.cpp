#include "sim/card/cards.h"

#include <array>
#include <string_view>

namespace talvor::card {

namespace {

constexpr std::array kAll = {
    ReadyCard::t0,           ReadyCard::t1_lrc,        ReadyCard::t1_crc,
    ReadyCard::dual,         ReadyCard::specific_mode, ReadyCard::inverse,
    ReadyCard::long_atr,     ReadyCard::bad_tck,       ReadyCard::truncated_atr,
    ReadyCard::oversized_atr};

std::vector<std::uint8_t> text(std::string_view value) {
  return {value.begin(), value.end()};
}

// T=1: TA IFSC, TB BWI 4 and CWI 5, TC for the EDC.
Atr t1_atr(std::uint8_t ta1, std::uint8_t ifsc, bool crc) {
  Atr atr;
  atr.ta(ta1).next_group(1).next_group(1).ta(ifsc).tb(0x45);
  if (crc)
    atr.tc(0x01);
  return atr;
}

} // namespace

std::span<const ReadyCard> all_ready_cards() {
  return kAll;
}

CardProfile ready_profile(ReadyCard which) {
  CardProfile profile;
  switch (which) {
  case ReadyCard::t0:
    profile.name = "t0";
    profile.atr.ta(0x95).next_group(0).tc(0x0A).historical(text("talvor T0"));
    break;
  case ReadyCard::t1_lrc:
    profile.name = "t1-lrc";
    profile.atr = t1_atr(0x96, 0x80, false);
    profile.atr.historical(text("talvor T1"));
    break;
  case ReadyCard::t1_crc:
    profile.name = "t1-crc";
    profile.atr = t1_atr(0x13, 0x20, true);
    profile.atr.historical(text("talvor CRC"));
    break;
  case ReadyCard::dual:
    profile.name = "dual";
    profile.atr.ta(0x18).next_group(0).next_group(1).ta(0xFE).tb(0x45);
    profile.atr.historical(text("talvor"));
    break;
  case ReadyCard::specific_mode:
    profile.name = "specific-mode";
    // TA2 0x81: T=1 only, parameters of TA1, unable to change mode.
    profile.atr.ta(0x11).next_group(1).ta(0x81).next_group(1).ta(0x20).tb(0x45);
    profile.atr.historical(text("TA2"));
    break;
  case ReadyCard::inverse:
    profile.name = "inverse";
    profile.atr = Atr(Convention::inverse);
    profile.atr.ta(0x11).historical(text("inverse"));
    break;
  case ReadyCard::long_atr:
    profile.name = "long-atr";
    profile.atr.ta(0x96).tb(0x00).tc(0x00).next_group(0).tc(0x0A);
    profile.atr.next_group(1).ta(0xFE).tb(0x45).tc(0x00);
    profile.atr.next_group(15).ta(0x03).tb(0x00).tc(0x00);
    profile.atr.next_group(15).ta(0x01);
    profile.atr.historical(text("talvor long ATR"));
    break;
  case ReadyCard::bad_tck:
    profile.name = "bad-tck";
    profile.atr = t1_atr(0x11, 0x20, false);
    profile.atr.historical(text("bad TCK"));
    profile.atr_bytes = profile.atr.bytes();
    profile.atr_bytes->back() ^= 0x01;
    break;
  case ReadyCard::truncated_atr:
    profile.name = "truncated-atr";
    profile.atr = t1_atr(0x11, 0x20, false);
    profile.atr.historical(text("truncated"));
    profile.atr_bytes = profile.atr.bytes();
    profile.atr_bytes->resize(profile.atr_bytes->size() - 3);
    break;
  case ReadyCard::oversized_atr:
    profile.name = "oversized-atr";
    profile.atr.ta(0x11).next_group(1).next_group(1).ta(0x20).tb(0x45);
    for (int i = 0; i < 15; ++i)
      profile.atr.next_group(15).ta(0x01).tb(0x00).tc(0x00);
    profile.atr.historical(text("oversized ATR"));
    break;
  }
  return profile;
}

} // namespace talvor::card
