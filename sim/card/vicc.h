// A virtual card for a vpcd: a card model's application and ATR served over
// the vpcd protocol to whatever listens for virtual cards (a pcscd with the
// vpcd driver, or our own VpcdListener). It connects as a TCP client and
// serves one connection, answering every message at once. Real time only.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sim/card/apdu.h"

namespace talvor::card {

class Vicc {
public:
  enum class End {
    PeerClosed, // the vpcd closed the connection between two messages
    Stopped,    // stop() was called
    BadFrame,   // a message that no vpcd sends: the connection is dropped
    Failed,     // the socket failed
  };
  struct Ending {
    End end = End::Failed;
    std::string reason; // one line
  };

  // Connects to a vpcd at `host`:`port`. Null and the reason on failure.
  static std::unique_ptr<Vicc> connect(const std::string &host,
                                       std::uint16_t port,
                                       std::vector<std::uint8_t> atr,
                                       std::unique_ptr<Application> application,
                                       std::string *error);
  ~Vicc();
  Vicc(const Vicc &) = delete;
  Vicc &operator=(const Vicc &) = delete;

  // Serves until the vpcd closes, stop() is called or a frame makes no
  // sense; then shuts the connection down and says why it ended. Once
  // only.
  Ending serve();
  // Ends serve() (running or to come) from any thread.
  void stop();

private:
  Vicc(int fd, std::vector<std::uint8_t> atr,
       std::unique_ptr<Application> application);
  // The messages of one session, until one of them ends it.
  Ending exchange();
  // The answer to one APDU: data and SW1 SW2.
  std::vector<std::uint8_t> answer(std::span<const std::uint8_t> apdu);

  const int fd_;
  const std::vector<std::uint8_t> atr_;
  const std::unique_ptr<Application> application_;
  bool powered_ = false;
  std::atomic<bool> stopping_{false};
};

} // namespace talvor::card
