#include "sim/card/apdu.h"

namespace talvor::card {

std::vector<std::uint8_t> CommandApdu::bytes() const {
  std::vector<std::uint8_t> out{cla, ins, p1, p2};
  if (!data.empty()) {
    out.push_back(static_cast<std::uint8_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
  }
  if (ne != 0)
    out.push_back(static_cast<std::uint8_t>(ne == 256 ? 0 : ne));
  return out;
}

std::optional<CommandApdu>
CommandApdu::parse(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 4)
    return std::nullopt;
  CommandApdu apdu{bytes[0], bytes[1], bytes[2], bytes[3], {}, 0};
  const std::size_t body = bytes.size() - 4;
  if (body == 0)
    return apdu;
  const std::size_t first = bytes[4];
  if (body == 1) {
    apdu.ne = first == 0 ? 256 : first;
    return apdu;
  }
  // Lc 00 would start an extended length, which this model does not take.
  if (first == 0 || body < 1 + first || body > 2 + first)
    return std::nullopt;
  apdu.data.assign(bytes.begin() + 5,
                   bytes.begin() + 5 + static_cast<std::ptrdiff_t>(first));
  if (body == 2 + first) {
    const std::uint8_t le = bytes[5 + first];
    apdu.ne = le == 0 ? 256 : le;
  }
  return apdu;
}

std::vector<std::uint8_t> ResponseApdu::bytes() const {
  std::vector<std::uint8_t> out = data;
  out.push_back(sw1());
  out.push_back(sw2());
  return out;
}

bool status_carries_data(std::uint16_t status) {
  const std::uint8_t sw1 = static_cast<std::uint8_t>(status >> 8);
  return status == sw::kOk || sw1 == 0x61 || sw1 == 0x62 || sw1 == 0x63;
}

bool iso_instruction_takes_data(std::uint8_t ins) {
  switch (ins) {
  case 0x0E: // ERASE BINARY
  case 0x20: // VERIFY
  case 0x22: // MANAGE SECURITY ENVIRONMENT
  case 0x24: // CHANGE REFERENCE DATA
  case 0x2A: // PERFORM SECURITY OPERATION
  case 0x2C: // RESET RETRY COUNTER
  case 0x82: // EXTERNAL AUTHENTICATE
  case 0x86: // GENERAL AUTHENTICATE
  case 0x88: // INTERNAL AUTHENTICATE
  case 0xA2: // SEARCH RECORD
  case 0xA4: // SELECT
  case 0xD0: // WRITE BINARY
  case 0xD6: // UPDATE BINARY
  case 0xDA: // PUT DATA
  case 0xDC: // UPDATE RECORD
  case 0xE0: // CREATE FILE
  case 0xE2: // APPEND RECORD
  case 0xE4: // DELETE FILE
    return true;
  default:
    return false;
  }
}

} // namespace talvor::card
