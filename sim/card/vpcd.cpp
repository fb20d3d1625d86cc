#include "sim/card/vpcd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#include "sim/card/vpcd_wire.h"

namespace talvor::card {

namespace {

void say(std::string *error, std::string text) {
  if (error)
    *error = std::move(text);
}

std::string system_error(const char *what) {
  return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

// Connection.

VpcdConnection::VpcdConnection(VpcdConnection &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)), timeout_(other.timeout_),
      error_(std::move(other.error_)) {}

VpcdConnection &VpcdConnection::operator=(VpcdConnection &&other) noexcept {
  if (this != &other) {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    timeout_ = other.timeout_;
    error_ = std::move(other.error_);
  }
  return *this;
}

VpcdConnection::~VpcdConnection() {
  if (fd_ >= 0)
    ::close(fd_);
}

int VpcdConnection::watch_descriptor() const {
  return fd_ >= 0 ? ::fcntl(fd_, F_DUPFD_CLOEXEC, 0) : -1;
}

void VpcdConnection::fail(std::string why) {
  error_ = std::move(why);
  if (fd_ >= 0)
    ::close(fd_);
  fd_ = -1;
}

bool VpcdConnection::send_message(std::span<const std::uint8_t> payload) {
  if (fd_ < 0)
    return false;
  if (payload.empty() || payload.size() > vpcd::kMaxMessage) {
    error_ = "message length out of range";
    return false;
  }
  std::string why;
  if (vpcd::send_message(fd_, payload,
                         std::chrono::steady_clock::now() + timeout_, &why))
    return true;
  fail("vpcd send: " + why);
  return false;
}

std::optional<std::vector<std::uint8_t>> VpcdConnection::receive_message() {
  if (fd_ < 0)
    return std::nullopt;
  vpcd::Received received =
      vpcd::receive_message(fd_, std::chrono::steady_clock::now() + timeout_);
  switch (received.outcome) {
  case vpcd::Received::Outcome::Message:
    return std::move(received.payload);
  case vpcd::Received::Outcome::TimedOut:
    fail("the virtual card did not answer in time");
    break;
  case vpcd::Received::Outcome::Closed:
  case vpcd::Received::Outcome::Truncated:
    fail("the virtual card closed the connection");
    break;
  case vpcd::Received::Outcome::Failed:
    fail("vpcd receive: " + received.error);
    break;
  }
  return std::nullopt;
}

bool VpcdConnection::power_off() {
  return send_message({&vpcd::kPowerOff, 1});
}
bool VpcdConnection::power_on() {
  return send_message({&vpcd::kPowerOn, 1});
}
bool VpcdConnection::reset() {
  return send_message({&vpcd::kReset, 1});
}

std::optional<std::vector<std::uint8_t>> VpcdConnection::atr() {
  if (!send_message({&vpcd::kGetAtr, 1}))
    return std::nullopt;
  return receive_message();
}

std::optional<std::vector<std::uint8_t>>
VpcdConnection::transmit(std::span<const std::uint8_t> apdu) {
  // One byte would read as a control message.
  if (apdu.size() < 4) {
    error_ = "an APDU has at least four bytes";
    return std::nullopt;
  }
  if (!send_message(apdu))
    return std::nullopt;
  return receive_message();
}

// Listener.

std::optional<VpcdListener> VpcdListener::open(std::uint16_t port,
                                               std::string *error) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    say(error, system_error("socket"));
    return std::nullopt;
  }
  VpcdListener listener(fd, 0);
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<const sockaddr *>(&address),
             sizeof address) != 0 ||
      ::listen(fd, 1) != 0) {
    say(error, system_error("bind/listen on 127.0.0.1"));
    return std::nullopt;
  }
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    say(error, system_error("getsockname"));
    return std::nullopt;
  }
  listener.port_ = ntohs(address.sin_port);
  return listener;
}

VpcdListener::VpcdListener(VpcdListener &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)), port_(other.port_) {}

VpcdListener &VpcdListener::operator=(VpcdListener &&other) noexcept {
  if (this != &other) {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    port_ = other.port_;
  }
  return *this;
}

VpcdListener::~VpcdListener() {
  if (fd_ >= 0)
    ::close(fd_);
}

std::optional<VpcdConnection>
VpcdListener::accept(std::chrono::milliseconds wait,
                     std::chrono::milliseconds io_timeout, std::string *error) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  if (fd_ < 0 || !vpcd::wait_for(fd_, POLLIN, deadline)) {
    say(error, "no virtual card connected in time");
    return std::nullopt;
  }
  const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    say(error, system_error("accept"));
    return std::nullopt;
  }
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return VpcdConnection(fd, io_timeout);
}

// Application and card.

RemoteApplication::RemoteApplication(VpcdConnection connection, Clock clock)
    : connection_(std::move(connection)), clock_(std::move(clock)) {}

void RemoteApplication::reset(bool cold) {
  if (cold) {
    connection_.power_off();
    connection_.power_on();
  } else {
    connection_.reset();
  }
}

void RemoteApplication::power_off() {
  connection_.power_off();
}

ResponseApdu RemoteApplication::process(const CommandApdu &command) {
  const Time started = clock_();
  auto answer = connection_.transmit(command.bytes());
  ResponseApdu response;
  response.busy = clock_() - started;
  // A lost or malformed answer becomes a status the reader can show, never
  // a silence that hangs it.
  if (!answer || answer->size() < 2) {
    response.sw = sw::kNoDiagnosis;
    return response;
  }
  response.sw = static_cast<std::uint16_t>(answer->at(answer->size() - 2) << 8 |
                                           answer->back());
  answer->resize(answer->size() - 2);
  response.data = std::move(*answer);
  return response;
}

std::optional<Card> make_bridged_card(VpcdConnection connection,
                                      CardProfile base,
                                      RemoteApplication::Clock clock,
                                      std::string *error) {
  if (!connection.power_on()) {
    say(error, connection.error());
    return std::nullopt;
  }
  auto remote = connection.atr();
  if (!remote) {
    say(error, "no ATR from the virtual card: " + connection.error());
    return std::nullopt;
  }
  std::string why;
  auto atr = Atr::parse(*remote, &why);
  if (!atr) {
    say(error, "the virtual card's ATR is unusable: " + why);
    return std::nullopt;
  }
  base.name = "vpcd";
  base.atr.historical(atr->historical_bytes());
  base.atr_bytes.reset();
  return Card(std::move(base), std::make_unique<RemoteApplication>(
                                   std::move(connection), std::move(clock)));
}

} // namespace talvor::card
