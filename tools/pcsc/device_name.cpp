#include "tools/pcsc/device_name.h"

#include <algorithm>
#include <charconv>
#include <random>
#include <vector>

#include "sim/card/applications.h"

namespace talvor::pcsc {

namespace {

constexpr std::string_view kPrefix = "talvor:";

std::string_view trim(std::string_view text) {
  const auto blank = [](char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
  };
  while (!text.empty() && blank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && blank(text.back()))
    text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> items_of(std::string_view text) {
  std::vector<std::string_view> items;
  while (!text.empty()) {
    const std::size_t end = text.find(';');
    std::string_view item = trim(text.substr(0, end));
    if (!item.empty())
      items.push_back(item);
    if (end == std::string_view::npos)
      break;
    text.remove_prefix(end + 1);
  }
  return items;
}

bool fail(std::string *error, std::string text) {
  if (error != nullptr)
    *error = std::move(text);
  return false;
}

std::optional<card::ReadyCard> card_named(std::string_view name,
                                          std::string *error) {
  auto which = card::find_card(name);
  if (!which)
    fail(error, "no card model \"" + std::string(name) +
                    "\" (`talvor cards` lists them)");
  return which;
}

// "HOST:PORT" of a vicc; we listen on the loopback interface only.
std::optional<std::uint16_t> vicc_port_of(std::string_view where,
                                          std::string *error) {
  const std::size_t colon = where.rfind(':');
  if (colon == std::string_view::npos) {
    fail(error, "vicc needs HOST:PORT, as in vicc:127.0.0.1:35963");
    return std::nullopt;
  }
  const std::string_view host = where.substr(0, colon);
  const std::string_view port = where.substr(colon + 1);
  if (host != "127.0.0.1" && host != "localhost") {
    fail(error, "vicc: only 127.0.0.1 (localhost) can be listened on, not " +
                    std::string(host));
    return std::nullopt;
  }
  unsigned value = 0;
  auto [end, status] =
      std::from_chars(port.data(), port.data() + port.size(), value);
  if (status != std::errc() || end != port.data() + port.size() || value == 0 ||
      value > 0xFFFF) {
    fail(error, "vicc: bad port \"" + std::string(port) + "\"");
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

// One item of either text; `name` taken by it is refused a second time.
struct Parser {
  DeviceName result;
  std::vector<std::string> seen;
  bool card_only = false;
  std::string *error;

  bool once(std::string_view key) {
    if (std::find(seen.begin(), seen.end(), key) != seen.end())
      return fail(error, "\"" + std::string(key) + "\" given twice");
    seen.emplace_back(key);
    return true;
  }

  bool all(std::string_view text) {
    const auto items = items_of(text);
    return std::all_of(items.begin(), items.end(),
                       [this](std::string_view one) { return item(one); });
  }

  bool card(std::string_view value) {
    if (!once("card"))
      return false;
    if (value == "none") {
      result.slot_card.card.reset();
      return true;
    }
    if (value.starts_with("vicc:")) {
      if (card_only)
        return fail(error, "a virtual card comes through vicc, not a slot");
      result.vicc_port = vicc_port_of(value.substr(5), error);
      return result.vicc_port.has_value();
    }
    auto which = card_named(value, error);
    result.slot_card.card = which;
    return which.has_value();
  }

  bool item(std::string_view text) {
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos)
      return card(text);
    const std::string_view key = trim(text.substr(0, equals));
    const std::string_view value = trim(text.substr(equals + 1));
    if (key == "card")
      return card(value);
    if (!once(key))
      return false;
    if (key == "app") {
      if (value == "fs")
        result.slot_card.app = App::fs;
      else if (value == "echo")
        result.slot_card.app = App::echo;
      else
        return fail(error, "no application \"" + std::string(value) +
                               "\" (there are fs and echo)");
      return true;
    }
    if (card_only)
      return fail(error, "only card and app may be named here, not \"" +
                             std::string(key) + "\"");
    if (key == "profile") {
      auto which = card_named(value, error);
      if (which)
        result.vicc_profile = *which;
      return which.has_value();
    }
    if (key == "reader") {
      auto options = reader::reader_profile(value);
      if (!options)
        return fail(error, "no reader model \"" + std::string(value) +
                               "\" (there are standard, instant, "
                               "short-vendor-read, i2c-stops-acking)");
      result.reader_profile = value;
      result.reader = *options;
      return true;
    }
    if (key == "build") {
      if (value == "11" || value == "1.1")
        result.build = "11";
      else if (value == "10" || value == "1.0")
        result.build = "10";
      else
        return fail(error, "no build \"" + std::string(value) +
                               "\" (there are 1.1 and 1.0)");
      return true;
    }
    if (key == "slot") {
      if (!value.starts_with('/'))
        return fail(error, "slot needs an absolute path, not \"" +
                               std::string(value) + "\"");
      result.slot_path = value;
      return true;
    }
    return fail(error, "unknown option \"" + std::string(key) + "\"");
  }
};

} // namespace

std::optional<DeviceName> parse_device_name(std::string_view text,
                                            std::string *error) {
  // pcscd keeps the quotes of a quoted DEVICENAME.
  text = trim(text);
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
    text = text.substr(1, text.size() - 2);
  if (text.starts_with(kPrefix))
    text.remove_prefix(kPrefix.size());
  Parser parser{{}, {}, false, error};
  if (!parser.all(text))
    return std::nullopt;
  if (parser.result.vicc_port && !parser.result.slot_path.empty()) {
    fail(error, "a vicc's card comes and goes with the vicc: no slot FIFO");
    return std::nullopt;
  }
  return parser.result;
}

std::optional<CardChoice> parse_card_choice(std::string_view text,
                                            const CardChoice &fallback,
                                            std::string *error) {
  Parser parser{{}, {}, true, error};
  parser.result.slot_card = fallback;
  if (!parser.all(text))
    return std::nullopt;
  if (!parser.result.slot_card.card) {
    fail(error, "none is no card to insert");
    return std::nullopt;
  }
  return parser.result.slot_card;
}

std::unique_ptr<card::Card> make_slot_card(const CardChoice &choice) {
  std::unique_ptr<card::Application> application;
  if (choice.app == App::echo)
    application = std::make_unique<card::EchoApplication>();
  else
    application =
        std::make_unique<card::FileSystemApplication>(std::random_device{}());
  return std::make_unique<card::Card>(
      card::make_card(*choice.card, std::move(application)));
}

} // namespace talvor::pcsc
