// The talvor command line: demo, apdu, run, cards and their options.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "sim/card/cards.h"
#include "tools/talvor/catalog.h"

namespace talvor::cli {

// The whole tool: `args` without the program's name. Returns the exit
// status (session.h).
int talvor_main(const std::vector<std::string> &args, std::ostream &out,
                std::ostream &err);

// The demo session as a script: `build` "1.1" or "1.0", the card, the
// application it runs and the protocol to negotiate (0 or 1).
std::string demo_script(const std::string &build, card::ReadyCard which,
                        AppKind app, std::uint8_t protocol);

} // namespace talvor::cli
