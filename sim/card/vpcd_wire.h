// The vpcd protocol on the wire, for both ends of it (vpcd and the virtual
// card): each message framed by a two-byte big-endian length; a one-byte
// message is a control, anything longer an APDU or its answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace talvor::card::vpcd {

inline constexpr std::uint8_t kPowerOff = 0x00;
inline constexpr std::uint8_t kPowerOn = 0x01;
inline constexpr std::uint8_t kReset = 0x02;
inline constexpr std::uint8_t kGetAtr = 0x04;
inline constexpr std::size_t kMaxMessage = 0xFFFF;

// None: wait as long as it takes (until the peer closes or the socket is
// shut down).
using Deadline = std::optional<std::chrono::steady_clock::time_point>;

// Waits for poll `events` on `fd`; false on time-out or error.
bool wait_for(int fd, short events, const Deadline &deadline);

// Writes one message on a connected socket, length and payload in one
// write: apart, the length would wait for the peer's delayed ACK. False
// with the reason (an errno text) in `why`.
bool send_message(int fd, std::span<const std::uint8_t> payload,
                  Deadline deadline, std::string *why);

struct Received {
  enum class Outcome {
    Message,   // `payload` holds it (it may be empty)
    Closed,    // the peer closed between two messages
    Truncated, // the peer closed within a message
    TimedOut,
    Failed, // `error` says why
  };
  Outcome outcome = Outcome::Failed;
  std::vector<std::uint8_t> payload;
  std::string error;
};

// Reads one message. With `quickack`, acknowledges every read at once
// (TCP_QUICKACK, which the stack clears again after a while): a peer that
// writes a length and its payload apart waits for that ACK.
Received receive_message(int fd, Deadline deadline, bool quickack = false);

} // namespace talvor::card::vpcd
