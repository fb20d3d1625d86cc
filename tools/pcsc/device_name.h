// What a reader.conf DEVICENAME asks of the IFD handler: "talvor:" (which
// pcscd wants: a DEVICENAME without ':' must be a file), then items
// separated by ';', blanks around them ignored. pcscd takes ';' and '='
// only within double quotes, and keeps the quotes; they are dropped here.
//
//   t1-lrc                       a card model by name (`talvor cards`)
//   none                         an empty slot
//   vicc:HOST:PORT               listen as vpcd; a virtual card connects
//   card=NAME|none|vicc:...      the same, as a key
//   app=fs|echo                  the card's application (default fs)
//   profile=NAME                 the card model a virtual card speaks as
//                                (default t1-lrc)
//   reader=standard|instant|...  the reader model (default standard)
//   build=11|10 (or 1.1|1.0)     the driver build (default 11)
//   slot=PATH                    a FIFO to insert and remove cards through
//
// e.g. talvor:t1-lrc, vicc:127.0.0.1:35963 or
// "talvor:card=t0;app=echo;reader=instant;build=10;slot=/run/talvor/slot0".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sim/card/cards.h"
#include "sim/reader/reader.h"

namespace talvor::pcsc {

enum class App { fs, echo };

struct CardChoice {
  std::optional<card::ReadyCard> card = card::ReadyCard::t1_lrc; // none: empty
  App app = App::fs;
};

struct DeviceName {
  CardChoice slot_card;
  // A virtual card instead of a card model.
  std::optional<std::uint16_t> vicc_port;
  card::ReadyCard vicc_profile = card::ReadyCard::t1_lrc;
  std::string reader_profile = "standard";
  reader::ReaderOptions reader;
  std::string build = "11";
  std::string slot_path;
};

// Nothing, and a one-line reason, when the text asks for anything unknown.
std::optional<DeviceName> parse_device_name(std::string_view text,
                                            std::string *error);

// What a slot FIFO's "insert" names: a card and its application, with the
// same items as above (card and app only); an empty text is `fallback`.
std::optional<CardChoice> parse_card_choice(std::string_view text,
                                            const CardChoice &fallback,
                                            std::string *error);

std::unique_ptr<card::Card> make_slot_card(const CardChoice &choice);

} // namespace talvor::pcsc
