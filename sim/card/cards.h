// Ready cards: the profiles tests, tools and the reader model put in the
// slot, each with a name to choose it by.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "sim/card/card.h"

namespace talvor::card {

enum class ReadyCard {
  t0,            // T=0 only, TA1 0x94
  t1_lrc,        // T=1 only, LRC, IFSC 128
  t1_crc,        // T=1 only, CRC, IFSC 32
  dual,          // T=0 and T=1, T=0 first
  specific_mode, // TA2: T=1 at once, no PPS
  inverse,       // inverse convention, T=0
  long_atr,      // 33 bytes, both protocols
  bad_tck,       // T=1 with a wrong TCK
  truncated_atr, // T=1: T0 announces three bytes that are never sent
  oversized_atr, // well formed but over 64 bytes
  // Cards with the faults real cards have.
  atr_slow,               // a pause within the ATR's 9600 etu gap
  atr_stalled,            // a pause beyond it: the rest comes too late
  warm_atr_differs,       // a warm reset answers another ATR
  pps_late,               // the PPS answer 150 ms late
  pps_too_late,           // the PPS answer 800 ms late
  t0_silent_after_header, // the first command: nothing after the header
  t0_silent_in_data,      // the first command: half its data, then nothing
  t0_early_status,        // the first command: 9000 in place of ACK and data
  t0_ins_plus_one,        // procedure bytes INS+1 and its complement
  t0_trailing_bytes,      // the first command: two bytes after SW2
  t1_card_abort,          // the first command: S(ABORT request) for an answer
  t1_oversized_block,     // answers in blocks beyond IFSD
  t1_len_ff,              // the first answer: a block with LEN 0xFF
  t1_slow_characters,     // the first answer: a gap beyond CWT in the block
  t1_late_answer,         // the first answer: three BWT late
};

// The well-behaved cards and the long-standing ATR faults.
std::span<const ReadyCard> all_ready_cards();
// Every profile, the faulty ones included.
std::span<const ReadyCard> all_cards();
CardProfile ready_profile(ReadyCard which);
// The profile of that name (as CardProfile::name has it).
std::optional<ReadyCard> find_card(std::string_view name);

inline Card make_card(ReadyCard which,
                      std::unique_ptr<Application> application) {
  return Card(ready_profile(which), std::move(application));
}

} // namespace talvor::card
