#include "tools/talvor/script.h"

#include <cstdlib>

#include <winsmcrd.h>

#include "sim/card/cards.h"
#include "sim/reader/reader.h"
#include "vendor/ioctl.h"

namespace talvor::cli {

namespace {

// Joins words [from, to) with single blanks.
std::string join(const std::vector<std::string> &parts, std::size_t from,
                 std::size_t to) {
  std::string text;
  for (std::size_t i = from; i < to && i < parts.size(); ++i)
    text += (text.empty() ? "" : " ") + parts[i];
  return text;
}

std::optional<std::size_t> parse_count(const std::string &text) {
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return static_cast<std::size_t>(std::strtoul(text.c_str(), nullptr, 10));
}

std::optional<ULONG> parse_code(const std::string &text) {
  if (text.size() < 3 || text.size() > 10 || text[0] != '0' || text[1] != 'x' ||
      text.find_first_not_of("0123456789abcdefABCDEF", 2) != std::string::npos)
    return std::nullopt;
  return static_cast<ULONG>(std::strtoul(text.c_str() + 2, nullptr, 16));
}

// The vendor step's arguments after "vendor"; false and why when wrong.
bool parse_vendor(const std::vector<std::string> &w, Step &step,
                  std::string &why) {
  const std::string what = w.size() > 1 ? w[1] : "";
  auto hex_from = [&](std::size_t first, std::size_t last) {
    auto bytes = parse_hex(join(w, first, last), &why);
    if (bytes)
      step.data = *bytes;
    return bytes.has_value();
  };
  auto two_bytes = [&](ULONG code) {
    step.code = code;
    if (!hex_from(2, w.size()))
      return false;
    if (step.data.size() != 2)
      why = "vendor " + what + " takes two bytes (HHHH)";
    return step.data.size() == 2;
  };
  if (what == "read" && w.size() == 2) {
    step.code = IOCTL_VENDOR_READ;
    step.output = 2;
    return true;
  }
  if (what == "write")
    return two_bytes(IOCTL_VENDOR_WRITE);
  if (what == "i2c-command")
    return two_bytes(IOCTL_VENDOR_I2C_COMMAND);
  if (what == "i2c-write") {
    step.code = IOCTL_VENDOR_I2C_WRITE;
    if (!hex_from(2, w.size()))
      return false;
    if (step.data.empty())
      why = "vendor i2c-write takes the bytes to write";
    return !step.data.empty();
  }
  if (what == "i2c-read" && w.size() >= 3) {
    step.code = IOCTL_VENDOR_I2C_READ;
    auto count = parse_count(w[2]);
    if (!count || *count == 0 || *count > 4096) {
      why = "vendor i2c-read takes a byte count from 1 to 4096";
      return false;
    }
    step.output = *count;
    return hex_from(3, w.size());
  }
  if (auto code = parse_code(what)) {
    step.code = *code;
    std::size_t end = w.size();
    if (end >= 4 && w[end - 2] == "out") {
      auto count = parse_count(w[end - 1]);
      if (!count || *count > 4096) {
        why = "out takes a byte count up to 4096";
        return false;
      }
      step.output = *count;
      end -= 2;
    }
    return hex_from(2, end);
  }
  why = "vendor takes read, write HHHH, i2c-command HHHH, i2c-write HEX, "
        "i2c-read COUNT [HEX] or 0xCODE [HEX] [out COUNT]";
  return false;
}

// One step from the words of a line (not `expect`); false and why when it
// is no step.
bool parse_step(const std::vector<std::string> &w, Step &step,
                std::string &why) {
  using Kind = Step::Kind;
  const std::string &verb = w[0];
  const std::size_t args = w.size() - 1;
  const std::string first = args >= 1 ? w[1] : "";
  auto bare = [&](Kind kind) {
    step.kind = kind;
    if (args != 0)
      why = verb + " takes no arguments";
    return args == 0;
  };
  if (verb == "load") {
    step.kind = Kind::load;
    if (args == 1 && (first == "1.1" || first == "11"))
      step.name = "11";
    else if (args == 1 && (first == "1.0" || first == "10"))
      step.name = "10";
    else
      why = "load takes 1.1 or 1.0";
    return !step.name.empty();
  }
  if (verb == "plug") {
    step.kind = Kind::plug;
    step.name = args == 1 ? first : "standard";
    if (args > 1 || !reader::reader_profile(step.name)) {
      why = "plug takes a reader profile:";
      for (auto name : reader::reader_profile_names())
        why += " " + std::string(name);
      return false;
    }
    return true;
  }
  if (verb == "unplug")
    return bare(Kind::unplug);
  if (verb == "remove") {
    step.kind = args == 1 && first == "reader" ? Kind::remove_reader
                                               : Kind::remove_card;
    if (args > 1 || (args == 1 && first != "reader" && first != "card")) {
      why = "remove takes nothing (the card), card or reader";
      return false;
    }
    return true;
  }
  if (verb == "insert") {
    step.kind = Kind::insert;
    if (args != 1 || !card::find_card(first)) {
      why = args == 1 ? "no card " + first + " (talvor cards lists them)"
                      : "insert takes a card name";
      return false;
    }
    step.name = first;
    return true;
  }
  if (verb == "open")
    return bare(Kind::open);
  if (verb == "close")
    return bare(Kind::close);
  if (verb == "sleep")
    return bare(Kind::sleep);
  if (verb == "resume")
    return bare(Kind::resume);
  if (verb == "power") {
    step.kind = Kind::power;
    if (args == 1 && first == "cold")
      step.code = SCARD_COLD_RESET;
    else if (args == 1 && first == "warm")
      step.code = SCARD_WARM_RESET;
    else if (args == 1 && first == "down")
      step.code = SCARD_POWER_DOWN;
    else
      why = "power takes cold, warm or down";
    return why.empty();
  }
  if (verb == "protocol") {
    step.kind = Kind::protocol;
    if (args == 1 && first == "t0")
      step.code = SCARD_PROTOCOL_T0;
    else if (args == 1 && first == "t1")
      step.code = SCARD_PROTOCOL_T1;
    else if (args == 1 && first == "any")
      step.code = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    else
      why = "protocol takes t0, t1 or any";
    return why.empty();
  }
  if (verb == "track") {
    step.kind = Kind::track;
    if (args == 1 && (first == "present" || first == "absent"))
      step.code = first == "present" ? 1 : 0;
    else
      why = "track takes present or absent";
    return why.empty();
  }
  if (verb == "apdu") {
    step.kind = Kind::apdu;
    std::size_t expect = 1;
    while (expect < w.size() && w[expect] != "expect")
      ++expect;
    auto bytes = parse_hex(join(w, 1, expect), &why);
    if (!bytes)
      return false;
    if (bytes->size() < 4) {
      why = "an APDU has at least four bytes (CLA INS P1 P2)";
      return false;
    }
    step.data = *bytes;
    if (expect < w.size()) {
      auto pattern = BytePattern::parse(join(w, expect + 1, w.size()), &why);
      if (!pattern)
        return false;
      step.expect_bytes = *pattern;
    }
    step.text = join(w, 0, expect);
    return true;
  }
  if (verb == "vendor") {
    step.kind = Kind::vendor;
    return parse_vendor(w, step, why);
  }
  why = "unknown step \"" + verb + "\"";
  return false;
}

} // namespace

std::optional<std::vector<Step>> parse_script(std::string_view text,
                                              const std::string &file,
                                              std::string *error) {
  std::vector<Step> steps;
  std::size_t number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == text.npos ? std::string_view{} : text.substr(end + 1);
    ++number;
    const std::string where = file + ":" + std::to_string(number);
    auto fail = [&](const std::string &why) {
      if (error) {
        *error = where;
        *error += ": " + why;
      }
      return std::nullopt;
    };
    std::string label;
    if (const std::size_t hash = line.find('#'); hash != line.npos) {
      auto comment = words(line.substr(hash + 1));
      for (const auto &word : comment)
        label += (label.empty() ? "" : " ") + word;
      line = line.substr(0, hash);
    }
    const std::vector<std::string> w = words(line);
    if (w.empty())
      continue;
    if (w[0] == "expect") {
      if (steps.empty() || steps.back().expect_status)
        return fail("expect follows the step it is about (once)");
      auto status = w.size() == 2 ? parse_status(w[1]) : std::nullopt;
      if (!status)
        return fail("expect takes a status: a STATUS_ name or 0x hex");
      steps.back().expect_status = status;
      continue;
    }
    Step step;
    std::string why;
    if (!parse_step(w, step, why))
      return fail(why);
    step.where = where;
    if (step.text.empty())
      step.text = join(w, 0, w.size());
    if (!label.empty())
      step.text += " (" + label + ")";
    steps.push_back(std::move(step));
  }
  return steps;
}

} // namespace talvor::cli
