#include "sim/card/applications.h"

#include <algorithm>

namespace talvor::card {

namespace {

constexpr std::uint8_t kInvalidCla = 0xFF;
constexpr std::uint8_t kSelect = 0xA4;
constexpr std::uint8_t kReadBinary = 0xB0;
constexpr std::uint8_t kUpdateBinary = 0xD6;
constexpr std::uint8_t kGetChallenge = 0x84;
constexpr std::uint8_t kVerify = 0x20;
constexpr std::uint16_t kReferenceNotFound = 0x6A88;

ResponseApdu status(std::uint16_t value) {
  return ResponseApdu{{}, value, {}};
}

} // namespace

// Echo application.

void EchoApplication::reset(bool) {
  ++resets_;
}

bool EchoApplication::takes_command_data(std::uint8_t, std::uint8_t ins) const {
  return ins == echo::kCase3 || ins == echo::kCase4;
}

ResponseApdu EchoApplication::process(const CommandApdu &command) {
  last_ = command;
  ++count_;
  ResponseApdu response;
  response.busy = options_.busy_per_p2 * command.p2;
  if (command.cla == kInvalidCla) {
    response.sw = sw::kClaNotSupported;
    return response;
  }
  switch (command.ins) {
  case echo::kCase1:
    // T=0 cannot tell case 1 from case 2 with Le 00, so Ne is not checked.
    if (!command.data.empty())
      response.sw = sw::kWrongLength;
    break;
  case echo::kCase2:
    if (!command.data.empty() || command.ne == 0) {
      response.sw = sw::kWrongLength;
      break;
    }
    for (std::size_t i = 0; i < command.ne; ++i)
      response.data.push_back(echo::pattern(command.p1, i));
    break;
  case echo::kCase3:
    if (command.data.empty())
      response.sw = sw::kWrongLength;
    break;
  case echo::kCase4: {
    if (command.data.empty()) {
      response.sw = sw::kWrongLength;
      break;
    }
    // Under T=0 the card never learns Ne; it answers Lc bytes then.
    const std::size_t length = command.ne ? command.ne : command.data.size();
    for (std::size_t i = 0; i < length; ++i)
      response.data.push_back(command.data[i % command.data.size()]);
    break;
  }
  default:
    response.sw = sw::kInsNotSupported;
    break;
  }
  return response;
}

// File system application.

FileSystemApplication::FileSystemApplication(std::uint64_t seed,
                                             FileSystemOptions options)
    : options_(std::move(options)), random_(seed) {
  auto content = [](std::uint16_t fid, std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
      bytes[i] = initial_byte(fid, i);
    return bytes;
  };
  files_.push_back({fs::kMf, 0, true, {}, {}, false});
  files_.push_back(
      {fs::kEfFree, 0, false, {}, content(fs::kEfFree, 32), false});
  files_.push_back(
      {fs::kEfLarge, 0, false, {}, content(fs::kEfLarge, 300), false});
  files_.push_back({fs::kDfApp, 0, true, options_.aid, {}, false});
  files_.push_back(
      {fs::kEfSecret, 3, false, {}, content(fs::kEfSecret, 64), true});
}

void FileSystemApplication::reset(bool) {
  // The retry counter and file contents are non-volatile; selection and
  // security status are not.
  current_df_ = 0;
  current_ef_ = kNone;
  verified_ = false;
}

ResponseApdu FileSystemApplication::process(const CommandApdu &command) {
  ResponseApdu response;
  // Logical channel bits may be set; proprietary and secure messaging
  // classes are not served.
  if ((command.cla & 0xFC) != 0)
    response = status(sw::kClaNotSupported);
  else if (command.ins == kSelect)
    response = select(command);
  else if (command.ins == kReadBinary)
    response = read_binary(command);
  else if (command.ins == kUpdateBinary)
    response = update_binary(command);
  else if (command.ins == kGetChallenge)
    response = get_challenge(command);
  else if (command.ins == kVerify)
    response = verify(command);
  else
    response = status(sw::kInsNotSupported);
  response.busy += options_.command_time;
  return response;
}

std::size_t FileSystemApplication::find(std::uint16_t fid) const {
  if (fid == fs::kMf)
    return 0;
  for (std::size_t i = 0; i < files_.size(); ++i) {
    const File &file = files_[i];
    if (file.fid == fid &&
        (file.parent == current_df_ || i == files_[current_df_].parent))
      return i;
  }
  return kNone;
}

std::vector<std::uint8_t>
FileSystemApplication::control_parameters(const File &file) const {
  std::vector<std::uint8_t> body;
  body.insert(
      body.end(),
      {0x82, 0x01, static_cast<std::uint8_t>(file.dedicated ? 0x38 : 0x01)});
  body.insert(body.end(), {0x83, 0x02, static_cast<std::uint8_t>(file.fid >> 8),
                           static_cast<std::uint8_t>(file.fid)});
  if (!file.dedicated)
    body.insert(body.end(),
                {0x80, 0x02,
                 static_cast<std::uint8_t>(file.content.size() >> 8),
                 static_cast<std::uint8_t>(file.content.size())});
  if (!file.aid.empty()) {
    body.push_back(0x84);
    body.push_back(static_cast<std::uint8_t>(file.aid.size()));
    body.insert(body.end(), file.aid.begin(), file.aid.end());
  }
  // The FCP template tag and length go in front.
  body.insert(body.begin(), {0x62, static_cast<std::uint8_t>(body.size())});
  return body;
}

ResponseApdu FileSystemApplication::select(const CommandApdu &command) {
  const std::uint8_t answer = command.p2 & 0xFC;
  if (answer != 0x00 && answer != 0x04 && answer != 0x0C)
    return status(sw::kIncorrectP1P2);
  std::size_t found = kNone;
  if (command.p1 == 0x00) {
    if (command.data.empty())
      found = 0;
    else if (command.data.size() == 2)
      found = find(
          static_cast<std::uint16_t>(command.data[0] << 8 | command.data[1]));
    else
      return status(sw::kWrongLength);
  } else if (command.p1 == 0x04) {
    if (command.data.empty() || command.data.size() > 16)
      return status(sw::kWrongLength);
    // A DF name may be given in part, as a prefix.
    for (std::size_t i = 0; i < files_.size() && found == kNone; ++i) {
      const auto &aid = files_[i].aid;
      if (files_[i].dedicated && command.data.size() <= aid.size() &&
          std::equal(command.data.begin(), command.data.end(), aid.begin()))
        found = i;
    }
  } else {
    return status(sw::kIncorrectP1P2);
  }
  if (found == kNone)
    return status(sw::kFileNotFound);
  if (files_[found].dedicated) {
    current_df_ = found;
    current_ef_ = kNone;
  } else {
    current_df_ = files_[found].parent;
    current_ef_ = found;
  }
  ResponseApdu response;
  if (answer != 0x0C)
    response.data = control_parameters(files_[found]);
  return response;
}

std::size_t FileSystemApplication::binary_offset(const CommandApdu &command,
                                                 ResponseApdu &failure) const {
  // Short file identifiers (P1 bit 8) are not supported by this card.
  if (command.p1 & 0x80) {
    failure = status(sw::kIncorrectP1P2);
    return kNone;
  }
  if (current_ef_ == kNone) {
    failure = status(sw::kCommandNotAllowed);
    return kNone;
  }
  const File &file = files_[current_ef_];
  if (file.needs_pin && !verified_) {
    failure = status(sw::kSecurityNotSatisfied);
    return kNone;
  }
  const std::size_t offset =
      static_cast<std::size_t>(command.p1) << 8 | command.p2;
  if (offset >= file.content.size()) {
    failure = status(sw::kWrongOffset);
    return kNone;
  }
  return offset;
}

ResponseApdu FileSystemApplication::read_binary(const CommandApdu &command) {
  if (!command.data.empty() || command.ne == 0)
    return status(sw::kWrongLength);
  ResponseApdu response;
  const std::size_t offset = binary_offset(command, response);
  if (offset == kNone)
    return response;
  const auto &content = files_[current_ef_].content;
  const std::size_t count = std::min(command.ne, content.size() - offset);
  response.data.assign(content.begin() + static_cast<std::ptrdiff_t>(offset),
                       content.begin() +
                           static_cast<std::ptrdiff_t>(offset + count));
  if (count < command.ne)
    response.sw = sw::kEndOfFile;
  return response;
}

ResponseApdu FileSystemApplication::update_binary(const CommandApdu &command) {
  if (command.data.empty())
    return status(sw::kWrongLength);
  ResponseApdu response;
  const std::size_t offset = binary_offset(command, response);
  if (offset == kNone)
    return response;
  auto &content = files_[current_ef_].content;
  // Refuse what would run past the end rather than write a part of it.
  if (command.data.size() > content.size() - offset)
    return status(sw::kWrongLength);
  std::copy(command.data.begin(), command.data.end(),
            content.begin() + static_cast<std::ptrdiff_t>(offset));
  response.busy = options_.write_time;
  return response;
}

ResponseApdu FileSystemApplication::get_challenge(const CommandApdu &command) {
  if (command.p1 != 0 || command.p2 != 0)
    return status(sw::kIncorrectP1P2);
  if (!command.data.empty() || command.ne == 0)
    return status(sw::kWrongLength);
  ResponseApdu response;
  while (response.data.size() < command.ne) {
    std::uint64_t word = random_();
    for (int i = 0; i < 8 && response.data.size() < command.ne; ++i, word >>= 8)
      response.data.push_back(static_cast<std::uint8_t>(word));
  }
  return response;
}

ResponseApdu FileSystemApplication::verify(const CommandApdu &command) {
  if (command.p1 != 0x00 || command.p2 != fs::kPinReference)
    return status(kReferenceNotFound);
  if (tries_ == 0)
    return status(sw::kAuthenticationBlocked);
  auto remaining = [&] {
    return status(static_cast<std::uint16_t>(0x63C0 | tries_));
  };
  if (command.data.empty())
    return verified_ ? status(sw::kOk) : remaining();
  if (command.data == options_.pin) {
    tries_ = fs::kPinTries;
    verified_ = true;
    return status(sw::kOk);
  }
  verified_ = false;
  --tries_;
  return tries_ == 0 ? status(sw::kAuthenticationBlocked) : remaining();
}

} // namespace talvor::card
