#include "tools/talvor/catalog.h"

#include <cstdio>

#include "sim/card/applications.h"
#include "tools/talvor/text.h"

namespace talvor::cli {

AppKind application_for(card::ReadyCard which) {
  switch (which) {
  case card::ReadyCard::t0_silent_after_header:
  case card::ReadyCard::t0_silent_in_data:
  case card::ReadyCard::t0_early_status:
  case card::ReadyCard::t0_ins_plus_one:
  case card::ReadyCard::t0_trailing_bytes:
  case card::ReadyCard::t1_card_abort:
  case card::ReadyCard::t1_oversized_block:
  case card::ReadyCard::t1_len_ff:
  case card::ReadyCard::t1_slow_characters:
  case card::ReadyCard::t1_late_answer:
    return AppKind::echo;
  default:
    return AppKind::file_system;
  }
}

const char *application_name(AppKind kind) {
  switch (kind) {
  case AppKind::file_system:
    return "file system";
  case AppKind::echo:
    return "echo";
  case AppKind::remote:
    return "virtual card";
  }
  return "?";
}

std::unique_ptr<card::Card> make_card(card::ReadyCard which,
                                      std::uint64_t seed) {
  std::unique_ptr<card::Application> application;
  if (application_for(which) == AppKind::echo)
    application = std::make_unique<card::EchoApplication>();
  else
    application = std::make_unique<card::FileSystemApplication>(seed);
  return std::make_unique<card::Card>(
      card::make_card(which, std::move(application)));
}

std::uint8_t preferred_protocol(card::ReadyCard which) {
  return card::ready_profile(which).atr.offers(1) ? 1 : 0;
}

std::vector<std::string> card_listing() {
  std::vector<std::string> lines;
  for (card::ReadyCard which : card::all_cards()) {
    const card::CardProfile profile = card::ready_profile(which);
    const auto atr =
        profile.atr_bytes ? *profile.atr_bytes : profile.atr.bytes();
    char head[64];
    std::snprintf(head, sizeof head, "%-24s %-12s ", profile.name.c_str(),
                  application_name(application_for(which)));
    lines.push_back(head + format_hex(atr));
  }
  return lines;
}

} // namespace talvor::cli
