// talvor-vicc: one of our card models as a virtual card for a vpcd (a pcscd
// with the vpcd driver, by default on 127.0.0.1:35963), served until the
// vpcd closes the connection.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sim/card/applications.h"
#include "sim/card/cards.h"
#include "sim/card/vicc.h"
#include "sim/card/vpcd.h"

namespace {

using namespace talvor::card;

constexpr const char *kUsage =
    "usage: talvor-vicc [--card NAME] [--app echo|fs] [HOST:]PORT\n";

// The card a signal stops.
std::atomic<Vicc *> serving{nullptr};

void on_signal(int) {
  if (Vicc *vicc = serving.load())
    vicc->stop();
}

int fail(const std::string &message) {
  std::fprintf(stderr, "talvor-vicc: %s\n", message.c_str());
  return 2;
}

} // namespace

int main(int argc, char **argv) {
  std::string card_name = "t1-lrc";
  std::string app_name = "echo";
  std::string target;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if ((arg == "--card" || arg == "--app") && i + 1 < argc) {
      (arg == "--card" ? card_name : app_name) = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (!arg.empty() && arg[0] != '-' && target.empty()) {
      target = arg;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (target.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  std::string host = "127.0.0.1";
  std::string port_text = target;
  if (auto colon = target.rfind(':'); colon != std::string::npos) {
    host = target.substr(0, colon);
    port_text = target.substr(colon + 1);
  }
  char *end = nullptr;
  const unsigned long port = std::strtoul(port_text.c_str(), &end, 10);
  if (host.empty() || port_text.empty() || *end != '\0' || port == 0 ||
      port > 0xFFFF)
    return fail("not a HOST:PORT: " + target);

  auto which = find_card(card_name);
  if (!which)
    return fail("no card model named " + card_name);
  const CardProfile profile = ready_profile(*which);
  std::unique_ptr<Application> application;
  if (app_name == "echo")
    application = std::make_unique<EchoApplication>();
  else if (app_name == "fs")
    application = std::make_unique<FileSystemApplication>(1);
  else
    return fail("no application named " + app_name + " (echo or fs)");

  std::string error;
  auto vicc = Vicc::connect(host, static_cast<std::uint16_t>(port),
                            profile.atr_bytes.value_or(profile.atr.bytes()),
                            std::move(application), &error);
  if (!vicc)
    return fail(error);
  std::printf("talvor-vicc: %s (%s) connected to %s:%lu\n", card_name.c_str(),
              app_name.c_str(), host.c_str(), port);
  std::fflush(stdout);

  serving = vicc.get();
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  const Vicc::Ending ending = vicc->serve();
  serving = nullptr;
  std::printf("talvor-vicc: %s\n", ending.reason.c_str());
  return ending.end == Vicc::End::PeerClosed || ending.end == Vicc::End::Stopped
             ? 0
             : 1;
}
