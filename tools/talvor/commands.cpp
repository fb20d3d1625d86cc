#include "tools/talvor/commands.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools/talvor/session.h"

namespace talvor::cli {

namespace {

constexpr const char *kUsage =
    "usage: talvor COMMAND [OPTIONS]\n"
    "\n"
    "  demo [--build 1.1|1.0] [--card NAME] [--trace] [--pcap FILE]\n"
    "       [--seed N | --realtime] [--vicc HOST:PORT]\n"
    "      a whole session: load, plug, insert, power (ATR decoded),\n"
    "      protocol, APDUs, removal seen by card tracking, sleep and\n"
    "      resume, removal of the reader\n"
    "  apdu [--card NAME] [--protocol t0|t1] [--build 1.1|1.0] [--trace]\n"
    "       [--pcap FILE] [--seed N | --realtime] [--vicc HOST:PORT] HEX...\n"
    "      powers the card, negotiates and sends each APDU\n"
    "  run [--build 1.1|1.0] [--trace] [--pcap FILE] [--seed N | --realtime]\n"
    "      [--vicc HOST:PORT] FILE...\n"
    "      runs session scripts, one step a line:\n"
    "        load 1.1|1.0, plug [READER], unplug, remove reader,\n"
    "        insert CARD, remove, open, close, power cold|warm|down,\n"
    "        protocol t0|t1|any, apdu HEX [expect PATTERN],\n"
    "        track present|absent, sleep, resume, vendor read|write HHHH|\n"
    "        i2c-command HHHH|i2c-write HEX|i2c-read COUNT [HEX]|\n"
    "        0xCODE [HEX] [out COUNT], expect STATUS (for the step before);\n"
    "        '#' starts a comment; PATTERN: hex, ?? any byte, * any bytes\n"
    "  cards\n"
    "      the card models, their applications and ATRs\n"
    "\n"
    "  --trace           the driver's debug trace (stderr) between the steps\n"
    "  --pcap FILE       a USB capture of each reader's traffic\n"
    "  --seed N          the simulation clock's seed (default 1)\n"
    "  --realtime        real threads and the monotonic clock\n"
    "  --vicc HOST:PORT  listen as vpcd on 127.0.0.1:PORT; the card is the\n"
    "                    virtual card that connects (real-time clock)\n"
    "\n"
    "Exit status: 0 all as expected, 1 an unexpected result, a verifier\n"
    "finding or a hang, 2 bad input.\n";

struct Parsed {
  std::string command;
  SessionOptions session;
  std::string build_text = "1.1";
  std::string card = "t1-lrc";
  std::optional<std::uint8_t> protocol;
  std::vector<std::string> operands;
  bool seed_given = false;
  bool realtime = false;
};

// Options the command takes; the error names the first that is wrong.
bool parse_options(const std::vector<std::string> &args, Parsed &parsed,
                   std::string &error) {
  const std::string &command = parsed.command;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string &arg = args[i];
    auto value = [&](std::string &into) {
      if (i + 1 >= args.size()) {
        error = arg + " needs a value";
        return false;
      }
      into = args[++i];
      return true;
    };
    std::string text;
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      parsed.operands.push_back(arg);
    } else if (arg == "--trace") {
      parsed.session.trace = true;
    } else if (arg == "--realtime") {
      parsed.realtime = true;
    } else if (arg == "--pcap") {
      if (!value(parsed.session.pcap))
        return false;
    } else if (arg == "--build") {
      if (!value(text))
        return false;
      if (text == "1.1" || text == "11")
        parsed.build_text = "1.1";
      else if (text == "1.0" || text == "10")
        parsed.build_text = "1.0";
      else {
        error = "--build takes 1.1 or 1.0, not " + text;
        return false;
      }
      parsed.session.build = parsed.build_text == "1.1" ? "11" : "10";
    } else if (arg == "--seed") {
      if (!value(text))
        return false;
      char *end = nullptr;
      errno = 0;
      const unsigned long long seed = std::strtoull(text.c_str(), &end, 0);
      if (text.empty() || *end != '\0' || errno != 0 || text[0] == '-') {
        error = "--seed takes a number, not " + text;
        return false;
      }
      parsed.session.seed = seed;
      parsed.seed_given = true;
    } else if (arg == "--vicc") {
      if (!value(text))
        return false;
      const std::size_t colon = text.rfind(':');
      const std::string host = text.substr(0, colon);
      const std::string port = colon == text.npos ? "" : text.substr(colon + 1);
      char *end = nullptr;
      const unsigned long number = std::strtoul(port.c_str(), &end, 10);
      if (port.empty() || *end != '\0' || number > 65535) {
        error = "--vicc takes HOST:PORT, not " + text;
        return false;
      }
      if (host != "127.0.0.1" && host != "localhost") {
        error = "--vicc listens on 127.0.0.1 only, not " + host;
        return false;
      }
      parsed.session.vicc_port = static_cast<std::uint16_t>(number);
    } else if (arg == "--card" && command != "run") {
      if (!value(parsed.card))
        return false;
      if (!card::find_card(parsed.card)) {
        error = "no card " + parsed.card + " (talvor cards lists them)";
        return false;
      }
    } else if (arg == "--protocol" && command == "apdu") {
      if (!value(text))
        return false;
      if (text != "t0" && text != "t1") {
        error = "--protocol takes t0 or t1, not " + text;
        return false;
      }
      parsed.protocol = text == "t0" ? 0 : 1;
    } else {
      error = command;
      error += " has no option " + arg;
      return false;
    }
  }
  if (parsed.seed_given && (parsed.realtime || parsed.session.vicc_port)) {
    error = "--seed is for the simulation clock; --realtime and --vicc run "
            "on the real-time clock";
    return false;
  }
  if (parsed.realtime || parsed.session.vicc_port)
    parsed.session.clock = kernel::Clock::RealTime;
  return true;
}

int usage_error(std::ostream &err, const std::string &why) {
  // One line of text, whatever bytes a file or an argument brought in.
  std::string line;
  for (char c : why.substr(0, 300))
    line += c >= 0x20 && c < 0x7F ? c : '?';
  err << "talvor: " << line << std::endl;
  return kExitUsage;
}

// Parses a script the tool wrote itself; only the card names and bytes it
// was given can make it fail.
int run_text(const Parsed &parsed, const std::string &text,
             const std::string &name, std::ostream &out, std::ostream &err) {
  std::string error;
  auto steps = parse_script(text, name, &error);
  if (!steps)
    return usage_error(err, error);
  return run_session(parsed.session, *steps, out, err);
}

int demo(const Parsed &parsed, std::ostream &out, std::ostream &err) {
  if (!parsed.operands.empty())
    return usage_error(err, "demo takes no operand " + parsed.operands[0]);
  const card::ReadyCard which = *card::find_card(parsed.card);
  const AppKind app =
      parsed.session.vicc_port ? AppKind::remote : application_for(which);
  return run_text(
      parsed,
      demo_script(parsed.build_text, which, app, preferred_protocol(which)),
      "demo", out, err);
}

int apdu(const Parsed &parsed, std::ostream &out, std::ostream &err) {
  if (parsed.operands.empty())
    return usage_error(err, "apdu needs at least one APDU in hex");
  const card::ReadyCard which = *card::find_card(parsed.card);
  const std::uint8_t protocol =
      parsed.protocol.value_or(preferred_protocol(which));
  std::string text = "load " + parsed.build_text + "\nplug\ninsert " +
                     parsed.card + "\nopen\ntrack present\npower cold\n" +
                     "protocol t" + std::to_string(protocol) + "\n";
  for (const auto &operand : parsed.operands) {
    std::string why;
    auto bytes = parse_hex(operand, &why);
    if (!bytes)
      return usage_error(err, "APDU " + why);
    if (bytes->size() < 4)
      return usage_error(err, "APDU \"" + operand +
                                  "\" is shorter than CLA INS P1 P2");
    text += "apdu " + format_hex(*bytes) + "\n";
  }
  return run_text(parsed, text, "apdu", out, err);
}

int run(const Parsed &parsed, std::ostream &out, std::ostream &err) {
  if (parsed.operands.empty())
    return usage_error(err, "run needs a script file");
  // Every script is read and checked before the first one runs.
  std::vector<std::vector<Step>> scripts;
  for (const auto &file : parsed.operands) {
    std::error_code ignored;
    if (std::filesystem::is_directory(file, ignored))
      return usage_error(err, "cannot read " + file + ": it is a directory");
    errno = 0;
    std::ifstream in(file);
    std::stringstream text;
    if (in)
      text << in.rdbuf();
    if (!in || in.bad())
      return usage_error(err, "cannot read " + file + ": " +
                                  std::strerror(errno ? errno : EIO));
    std::string error;
    auto steps = parse_script(text.str(), file, &error);
    if (!steps)
      return usage_error(err, error);
    scripts.push_back(std::move(*steps));
  }
  for (std::size_t i = 0; i < scripts.size(); ++i) {
    if (scripts.size() > 1)
      out << "== " << parsed.operands[i] << std::endl;
    const int code = run_session(parsed.session, scripts[i], out, err);
    if (code != kExitOk)
      return code;
  }
  return kExitOk;
}

} // namespace

std::string demo_script(const std::string &build, card::ReadyCard which,
                        AppKind app, std::uint8_t protocol) {
  std::string text = "load " + build + "\nplug\ninsert " +
                     card::ready_profile(which).name +
                     "\nopen\ntrack present\npower cold\nprotocol t" +
                     std::to_string(protocol) + "\n";
  switch (app) {
  case AppKind::file_system:
    text += "apdu 00A4000C023F00 expect 9000 # SELECT MF\n"
            "apdu 00A4040C07F074616C766F72 expect 9000 # SELECT by AID\n"
            "apdu 00A4000C025001 expect 9000 # SELECT EF 5001\n"
            "apdu 00B0000008 expect 6982 # READ BINARY, no PIN yet\n"
            "apdu 002000810431323334 expect 9000 # VERIFY PIN 1234\n"
            "apdu 00B0000008 expect 0102030405060708 9000 # READ BINARY\n"
            "apdu 0084000008 expect * 9000 # GET CHALLENGE\n";
    break;
  case AppKind::echo:
    text += "apdu 00100000 expect 9000 # case 1\n"
            "apdu 0020050004 expect 05060708 9000 # case 2\n"
            "apdu 0030000003AABBCC expect 9000 # case 3\n";
    // A T=0 card never learns Le: it offers the Lc bytes with 61 03.
    text += protocol == 1
                ? "apdu 0040000003AABBCC05 expect AABBCCAABB 9000 # case 4\n"
                : "apdu 0040000003AABBCC05 expect 6103 # case 4\n";
    break;
  case AppKind::remote:
    text += "apdu 00A4000C023F00 expect 9000 # SELECT MF\n"
            "apdu 0084000008 expect * 9000 # GET CHALLENGE\n";
    break;
  }
  text += "track absent\nremove\nsleep\nresume\nclose\nremove reader\n";
  return text;
}

int talvor_main(const std::vector<std::string> &args, std::ostream &out,
                std::ostream &err) {
  if (args.empty())
    return usage_error(err, "no command (talvor --help lists them)");
  Parsed parsed;
  parsed.command = args[0];
  if (parsed.command == "--help" || parsed.command == "-h" ||
      parsed.command == "help") {
    out << kUsage;
    return kExitOk;
  }
  if (parsed.command == "cards") {
    if (args.size() > 1)
      return usage_error(err, "cards takes no arguments");
    out << "card                     application  ATR\n";
    for (const auto &line : card_listing())
      out << line << '\n';
    out << "\nfile system: MF 3F00 with EF 2F00 (32 bytes) and EF 0101 (300), "
           "DF 5000\n  (AID F074616C766F72) with EF 5001 (64 bytes, PIN "
           "1234 by VERIFY P2 81);\n  SELECT, READ BINARY, UPDATE BINARY, "
           "VERIFY, GET CHALLENGE\n"
           "echo: INS 10 case 1, INS 20 case 2 (Le bytes P1, P1+1, ...), "
           "INS 30 case 3,\n  INS 40 case 4 (the data repeated to Le); "
           "on the cards with transmission\n  faults, whose answers it makes "
           "predictable\n";
    return kExitOk;
  }
  if (parsed.command != "demo" && parsed.command != "apdu" &&
      parsed.command != "run")
    return usage_error(err, "unknown command " + parsed.command +
                                " (talvor --help lists them)");
  std::string error;
  if (!parse_options(args, parsed, error))
    return usage_error(err, error);
  if (parsed.command == "demo")
    return demo(parsed, out, err);
  if (parsed.command == "apdu")
    return apdu(parsed, out, err);
  return run(parsed, out, err);
}

} // namespace talvor::cli
