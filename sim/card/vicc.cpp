#include "sim/card/vicc.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#include "sim/card/vpcd_wire.h"

namespace talvor::card {

std::unique_ptr<Vicc> Vicc::connect(const std::string &host, std::uint16_t port,
                                    std::vector<std::uint8_t> atr,
                                    std::unique_ptr<Application> application,
                                    std::string *error) {
  auto say = [&](std::string text) {
    if (error)
      *error = std::move(text);
    return nullptr;
  };
  if (!application || atr.empty() || atr.size() > vpcd::kMaxMessage)
    return say("a virtual card needs an application and an ATR");
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *addresses = nullptr;
  const std::string service = std::to_string(port);
  if (int failed =
          ::getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses);
      failed != 0)
    return say("cannot resolve " + host + ": " + ::gai_strerror(failed));
  int fd = -1;
  int last_errno = 0;
  for (addrinfo *address = addresses; address && fd < 0;
       address = address->ai_next) {
    fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC,
                  address->ai_protocol);
    if (fd < 0) {
      last_errno = errno;
      continue;
    }
    if (::connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
      last_errno = errno;
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(addresses);
  if (fd < 0)
    return say("cannot connect to " + host + ":" + service + ": " +
               std::strerror(last_errno));
  // Every answer goes out at once, and every message in is acknowledged at
  // once: the vpcd writes a length and its APDU apart.
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
  return std::unique_ptr<Vicc>(
      new Vicc(fd, std::move(atr), std::move(application)));
}

Vicc::Vicc(int fd, std::vector<std::uint8_t> atr,
           std::unique_ptr<Application> application)
    : fd_(fd), atr_(std::move(atr)), application_(std::move(application)) {}

Vicc::~Vicc() {
  ::close(fd_);
}

void Vicc::stop() {
  stopping_ = true;
  // Wakes a serve() blocked in a read or a write.
  ::shutdown(fd_, SHUT_RDWR);
}

Vicc::Ending Vicc::serve() {
  Ending ending = exchange();
  // The vpcd sees the card go, whatever ended the session.
  ::shutdown(fd_, SHUT_RDWR);
  return ending;
}

Vicc::Ending Vicc::exchange() {
  using Outcome = vpcd::Received::Outcome;
  for (;;) {
    if (stopping_)
      return {End::Stopped, "stopped"};
    vpcd::Received received = vpcd::receive_message(fd_, std::nullopt, true);
    if (stopping_)
      return {End::Stopped, "stopped"};
    switch (received.outcome) {
    case Outcome::Message:
      break;
    case Outcome::Closed:
      return {End::PeerClosed, "vpcd closed the connection"};
    case Outcome::Truncated:
      return {End::BadFrame, "vpcd closed the connection within a message"};
    case Outcome::TimedOut: // no deadline: only a failed poll
    case Outcome::Failed:
      return {End::Failed, "vpcd receive: " + received.error};
    }
    const std::vector<std::uint8_t> &message = received.payload;
    if (message.empty())
      return {End::BadFrame, "a message of length 0"};
    std::vector<std::uint8_t> reply;
    if (message.size() == 1) {
      switch (message[0]) {
      case vpcd::kPowerOff:
        powered_ = false;
        application_->power_off();
        break;
      case vpcd::kPowerOn:
        powered_ = true;
        application_->reset(true);
        break;
      case vpcd::kReset:
        powered_ = true;
        application_->reset(false);
        break;
      case vpcd::kGetAtr:
        reply = atr_;
        break;
      default:
        // Controls a later vpcd may add expect no answer either.
        break;
      }
    } else {
      reply = answer(message);
    }
    std::string why;
    if (!reply.empty() && !vpcd::send_message(fd_, reply, std::nullopt, &why)) {
      if (stopping_)
        return {End::Stopped, "stopped"};
      return {End::Failed, "vpcd send: " + why};
    }
  }
}

std::vector<std::uint8_t> Vicc::answer(std::span<const std::uint8_t> apdu) {
  ResponseApdu response;
  // An unpowered card has nothing to say, and a vpcd must get an answer.
  if (!powered_) {
    response.sw = sw::kNoDiagnosis;
  } else if (auto command = CommandApdu::parse(apdu)) {
    // The computing time the model asks for is not spent: the card
    // answers at once.
    response = application_->process(*command);
  } else {
    response.sw = sw::kWrongLength;
  }
  return response.bytes();
}

} // namespace talvor::card
