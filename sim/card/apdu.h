// Command and response APDUs (ISO/IEC 7816-4 clause 5), short lengths only,
// and the interface of an application that answers them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/card/line.h"

namespace talvor::card {

// Status words the models answer with.
namespace sw {
inline constexpr std::uint16_t kOk = 0x9000;
inline constexpr std::uint16_t kEndOfFile = 0x6282;
inline constexpr std::uint16_t kWrongLength = 0x6700;
inline constexpr std::uint16_t kSecurityNotSatisfied = 0x6982;
inline constexpr std::uint16_t kAuthenticationBlocked = 0x6983;
inline constexpr std::uint16_t kConditionsNotSatisfied = 0x6985;
inline constexpr std::uint16_t kCommandNotAllowed = 0x6986;
inline constexpr std::uint16_t kWrongData = 0x6A80;
inline constexpr std::uint16_t kFileNotFound = 0x6A82;
inline constexpr std::uint16_t kNotEnoughMemory = 0x6A84;
inline constexpr std::uint16_t kIncorrectP1P2 = 0x6A86;
inline constexpr std::uint16_t kWrongOffset = 0x6B00;
inline constexpr std::uint16_t kInsNotSupported = 0x6D00;
inline constexpr std::uint16_t kClaNotSupported = 0x6E00;
inline constexpr std::uint16_t kNoDiagnosis = 0x6F00;
} // namespace sw

struct CommandApdu {
  std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
  std::vector<std::uint8_t> data;
  // Ne, the most response bytes expected: 0 without an Le field, 256 for
  // Le 00.
  std::size_t ne = 0;

  // ISO/IEC 7816-3 12.1.3 cases 1 to 4.
  int apdu_case() const {
    return data.empty() ? (ne == 0 ? 1 : 2) : (ne == 0 ? 3 : 4);
  }
  std::vector<std::uint8_t> bytes() const;
  // Short APDUs only; nothing for a length that does not add up.
  static std::optional<CommandApdu> parse(std::span<const std::uint8_t> bytes);
};

struct ResponseApdu {
  std::vector<std::uint8_t> data;
  std::uint16_t sw = sw::kOk;
  // How long the card computes before the answer is ready.
  Duration busy{};

  std::uint8_t sw1() const { return static_cast<std::uint8_t>(sw >> 8); }
  std::uint8_t sw2() const { return static_cast<std::uint8_t>(sw); }
  std::vector<std::uint8_t> bytes() const;
};

// Response data travel only with a normal or warning status (ISO/IEC 7816-4
// 5.6): 9000, 61xx, 62xx, 63xx.
bool status_carries_data(std::uint16_t status);

// Whether an interindustry instruction carries command data, for the T=0
// side, which must know it from the header alone.
bool iso_instruction_takes_data(std::uint8_t ins);

// An application behind the transmission protocol. Implementations draw any
// randomness from a generator seeded by their creator, or by seed().
class Application {
public:
  virtual ~Application() = default;
  // A cold or warm reset: volatile state (selection, security) starts again.
  virtual void reset(bool cold) = 0;
  // The card loses power.
  virtual void power_off() {}
  // Starts any generator the application has again from `value`.
  virtual void seed(std::uint64_t value) { (void)value; }
  // T=0: whether P3 of this header counts command data (Lc) rather than
  // expected response bytes (Le).
  virtual bool takes_command_data(std::uint8_t cla, std::uint8_t ins) const {
    (void)cla;
    return iso_instruction_takes_data(ins);
  }
  virtual ResponseApdu process(const CommandApdu &command) = 0;
};

} // namespace talvor::card
