// A reader session: the steps of a script (or of demo and apdu) run against
// the driver in a kernel of their own, each printed with its result.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/kernel/kernel.h"
#include "tools/talvor/script.h"

namespace talvor::cli {

// Exit statuses of the tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitUnexpected = 1; // a result, a finding or a hang
inline constexpr int kExitUsage = 2;      // bad input; nothing ran

struct SessionOptions {
  std::string build = "11"; // what plug loads when no load step came first
  kernel::Clock clock = kernel::Clock::Simulation;
  std::uint64_t seed = 1;
  bool trace = false; // the driver's trace echoed as it happens
  std::string pcap;   // a capture file, when not empty
  // Cards inserted are bridged to a virtual card that connects here.
  std::optional<std::uint16_t> vicc_port;
};

// Runs `steps` in order and stops at the first unexpected result, naming
// its FILE:LINE on `err`; the system is then shut down and the verifier's
// findings printed. Returns one of the exit statuses above.
int run_session(const SessionOptions &options, const std::vector<Step> &steps,
                std::ostream &out, std::ostream &err);

} // namespace talvor::cli
