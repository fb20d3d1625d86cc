// Ready cards: the profiles tests and the reader model put in the slot.
#pragma once

#include <memory>
#include <span>

#include "sim/card/card.h"

namespace talvor::card {

enum class ReadyCard {
  t0,            // T=0 only, TA1 0x95
  t1_lrc,        // T=1 only, LRC, IFSC 128
  t1_crc,        // T=1 only, CRC, IFSC 32
  dual,          // T=0 and T=1, T=0 first
  specific_mode, // TA2: T=1 at once, no PPS
  inverse,       // inverse convention, T=0
  long_atr,      // 33 bytes, both protocols
  bad_tck,       // T=1 with a wrong TCK
  truncated_atr, // T=1, the last three bytes never sent
  oversized_atr, // well formed but over 64 bytes
};

std::span<const ReadyCard> all_ready_cards();
CardProfile ready_profile(ReadyCard which);

inline Card make_card(ReadyCard which,
                      std::unique_ptr<Application> application) {
  return Card(ready_profile(which), std::move(application));
}

} // namespace talvor::card
