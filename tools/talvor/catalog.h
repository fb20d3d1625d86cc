// The cards the tool puts in the reader: every card model by its name, each
// with the application that suits it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/card/card.h"
#include "sim/card/cards.h"

namespace talvor::cli {

enum class AppKind {
  file_system, // SELECT, READ/UPDATE BINARY, VERIFY, GET CHALLENGE
  echo,        // INS 10/20/30/40: APDU cases 1 to 4, answers predictable
  remote,      // an external virtual card
};

// The transmission faults get the echo application, whose every answer is
// known in advance; the others the file system.
AppKind application_for(card::ReadyCard which);
const char *application_name(AppKind kind);
std::unique_ptr<card::Card> make_card(card::ReadyCard which,
                                      std::uint64_t seed);
// The protocol a session negotiates with the card: T=1 when offered.
std::uint8_t preferred_protocol(card::ReadyCard which);
// `talvor cards`: one line a card, name, application and ATR.
std::vector<std::string> card_listing();

} // namespace talvor::cli
