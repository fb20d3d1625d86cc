// The bridge to an external virtual card over the vpcd socket protocol: we
// are vpcd, listening on a TCP port; the virtual card (vicc) connects. Each
// message is framed by a two-byte big-endian length; a one-byte message is
// a control (power off, power on, reset, get ATR), anything longer an APDU.
// The card model in front keeps the byte-level T=0 or T=1 protocol and
// forwards whole APDUs. Real time only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/card/apdu.h"
#include "sim/card/card.h"

namespace talvor::card {

inline constexpr std::uint16_t kVpcdDefaultPort = 35963;

class VpcdConnection {
public:
  VpcdConnection(VpcdConnection &&other) noexcept;
  VpcdConnection &operator=(VpcdConnection &&other) noexcept;
  VpcdConnection(const VpcdConnection &) = delete;
  VpcdConnection &operator=(const VpcdConnection &) = delete;
  ~VpcdConnection();

  bool power_off();
  bool power_on();
  bool reset();
  std::optional<std::vector<std::uint8_t>> atr();
  // Sends an APDU, returns the response (data and SW1 SW2). Nothing when
  // the card did not answer in time or closed; the connection is then
  // unusable and says why.
  std::optional<std::vector<std::uint8_t>>
  transmit(std::span<const std::uint8_t> apdu);

  bool usable() const { return fd_ >= 0; }
  const std::string &error() const { return error_; }
  // A descriptor of its own on the connection's socket, for watching the
  // virtual card hang up (POLLRDHUP) while a card model owns the
  // connection; -1 when there is none. The caller closes it.
  int watch_descriptor() const;

private:
  friend class VpcdListener;
  VpcdConnection(int fd, std::chrono::milliseconds timeout)
      : fd_(fd), timeout_(timeout) {}
  bool send_message(std::span<const std::uint8_t> payload);
  std::optional<std::vector<std::uint8_t>> receive_message();
  void fail(std::string why);

  int fd_ = -1;
  std::chrono::milliseconds timeout_;
  std::string error_;
};

class VpcdListener {
public:
  // Listens on 127.0.0.1 only; port 0 picks a free one.
  static std::optional<VpcdListener> open(std::uint16_t port,
                                          std::string *error = nullptr);
  VpcdListener(VpcdListener &&other) noexcept;
  VpcdListener &operator=(VpcdListener &&other) noexcept;
  VpcdListener(const VpcdListener &) = delete;
  VpcdListener &operator=(const VpcdListener &) = delete;
  ~VpcdListener();

  std::uint16_t port() const { return port_; }
  // Waits up to `wait` for a virtual card; each later exchange on the
  // connection may take up to `io_timeout`.
  std::optional<VpcdConnection>
  accept(std::chrono::milliseconds wait,
         std::chrono::milliseconds io_timeout = std::chrono::seconds(5),
         std::string *error = nullptr);

private:
  VpcdListener(int fd, std::uint16_t port) : fd_(fd), port_(port) {}
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// Forwards APDUs to the external card. `clock` tells real time, so that the
// card's computing time becomes NULL bytes or waiting time extensions.
class RemoteApplication final : public Application {
public:
  using Clock = std::function<Time()>;
  RemoteApplication(VpcdConnection connection, Clock clock);

  void reset(bool cold) override;
  void power_off() override;
  ResponseApdu process(const CommandApdu &command) override;
  VpcdConnection &connection() { return connection_; }

private:
  VpcdConnection connection_;
  Clock clock_;
};

// A card with `base`'s interface bytes and behaviour, the external card's
// historical bytes, and the external card behind it. Nothing, and the
// reason, when the external card gives no usable ATR.
std::optional<Card> make_bridged_card(VpcdConnection connection,
                                      CardProfile base,
                                      RemoteApplication::Clock clock,
                                      std::string *error = nullptr);

} // namespace talvor::card
