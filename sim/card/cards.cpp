#include "sim/card/cards.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <string_view>

namespace talvor::card {

namespace {

using namespace std::chrono_literals;

constexpr std::array kReady = {
    ReadyCard::t0,           ReadyCard::t1_lrc,        ReadyCard::t1_crc,
    ReadyCard::dual,         ReadyCard::specific_mode, ReadyCard::inverse,
    ReadyCard::long_atr,     ReadyCard::bad_tck,       ReadyCard::truncated_atr,
    ReadyCard::oversized_atr};

constexpr std::array kAll = {
    ReadyCard::t0,
    ReadyCard::t1_lrc,
    ReadyCard::t1_crc,
    ReadyCard::dual,
    ReadyCard::specific_mode,
    ReadyCard::inverse,
    ReadyCard::long_atr,
    ReadyCard::bad_tck,
    ReadyCard::truncated_atr,
    ReadyCard::oversized_atr,
    ReadyCard::atr_slow,
    ReadyCard::atr_stalled,
    ReadyCard::warm_atr_differs,
    ReadyCard::pps_late,
    ReadyCard::pps_too_late,
    ReadyCard::t0_silent_after_header,
    ReadyCard::t0_silent_in_data,
    ReadyCard::t0_early_status,
    ReadyCard::t0_ins_plus_one,
    ReadyCard::t0_trailing_bytes,
    ReadyCard::t1_card_abort,
    ReadyCard::t1_oversized_block,
    ReadyCard::t1_len_ff,
    ReadyCard::t1_slow_characters,
    ReadyCard::t1_late_answer,
};

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

// The T=0 card, the first command meeting `fault`.
CardProfile t0_with(const char *name, T0Fault fault) {
  CardProfile profile = ready_profile(ReadyCard::t0);
  profile.name = name;
  profile.t0.faults = {{1, fault}};
  return profile;
}

// The T=1 card with LRC, the first command meeting `fault`.
CardProfile t1_with(const char *name, T1Fault fault) {
  CardProfile profile = ready_profile(ReadyCard::t1_lrc);
  profile.name = name;
  profile.t1.answer_faults = {{1, fault}};
  return profile;
}

CardProfile t1_lrc_as(const char *name) {
  CardProfile profile = ready_profile(ReadyCard::t1_lrc);
  profile.name = name;
  return profile;
}

} // namespace

std::span<const ReadyCard> all_ready_cards() {
  return kReady;
}

std::span<const ReadyCard> all_cards() {
  return kAll;
}

std::optional<ReadyCard> find_card(std::string_view name) {
  auto found = std::find_if(kAll.begin(), kAll.end(), [&](ReadyCard which) {
    return ready_profile(which).name == name;
  });
  return found == kAll.end() ? std::nullopt : std::optional(*found);
}

CardProfile ready_profile(ReadyCard which) {
  CardProfile profile;
  switch (which) {
  case ReadyCard::t0:
    profile.name = "t0";
    // TA1 0x94: F 512, D 8, a rate the reader offers.
    profile.atr.ta(0x94).next_group(0).tc(0x0A).historical(text("talvor T0"));
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
  case ReadyCard::atr_slow:
    // 9600 etu at the default rate are about a second.
    profile = t1_lrc_as("atr-slow");
    profile.atr_pause = AtrPause{2, 500ms};
    break;
  case ReadyCard::atr_stalled:
    profile = t1_lrc_as("atr-stalled");
    profile.atr_pause = AtrPause{4, 1500ms};
    break;
  case ReadyCard::warm_atr_differs:
    profile = t1_lrc_as("warm-atr-differs");
    profile.warm_atr_bytes =
        t1_atr(0x96, 0x80, false).historical(text("talvor WARM")).bytes();
    break;
  case ReadyCard::pps_late:
    profile = t1_lrc_as("pps-late");
    profile.pps_delay = 150ms;
    break;
  case ReadyCard::pps_too_late:
    profile = t1_lrc_as("pps-too-late");
    profile.pps_delay = 800ms;
    break;
  case ReadyCard::t0_silent_after_header:
    profile = t0_with("t0-silent-after-header", T0Fault::silent_after_header);
    break;
  case ReadyCard::t0_silent_in_data:
    profile = t0_with("t0-silent-in-data", T0Fault::silent_in_data);
    break;
  case ReadyCard::t0_early_status:
    profile = t0_with("t0-early-status", T0Fault::early_status);
    break;
  case ReadyCard::t0_ins_plus_one:
    profile = ready_profile(ReadyCard::t0);
    profile.name = "t0-ins-plus-one";
    profile.t0.ins_plus_one = true;
    break;
  case ReadyCard::t0_trailing_bytes:
    profile = t0_with("t0-trailing-bytes", T0Fault::trailing_bytes);
    break;
  case ReadyCard::t1_card_abort:
    profile = t1_with("t1-card-abort", T1Fault::abort_request);
    break;
  case ReadyCard::t1_oversized_block:
    profile = t1_lrc_as("t1-oversized-block");
    profile.t1.ignore_ifsd = true;
    break;
  case ReadyCard::t1_len_ff:
    profile = t1_with("t1-len-ff", T1Fault::len_ff);
    break;
  case ReadyCard::t1_slow_characters:
    profile = t1_with("t1-slow-characters", T1Fault::slow_characters);
    break;
  case ReadyCard::t1_late_answer:
    profile = t1_with("t1-late-answer", T1Fault::late);
    break;
  }
  return profile;
}

} // namespace talvor::card
