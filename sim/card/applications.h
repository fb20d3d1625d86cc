// The applications the ready cards run: an echo/test application whose every
// answer a test can predict, and a small ISO/IEC 7816-4 file system.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "sim/card/apdu.h"

namespace talvor::card {

// Instructions of the echo application, one per APDU case. INS 6x and 9x are
// not valid instructions under T=0 and are avoided.
namespace echo {
inline constexpr std::uint8_t kCase1 = 0x10;
inline constexpr std::uint8_t kCase2 = 0x20; // Ne bytes: (P1 + i) mod 256
inline constexpr std::uint8_t kCase3 = 0x30; // takes Lc bytes
inline constexpr std::uint8_t kCase4 = 0x40; // Ne bytes: the data, repeated
// Response byte i of a case 2 command.
constexpr std::uint8_t pattern(std::uint8_t p1, std::size_t i) {
  return static_cast<std::uint8_t>(p1 + i);
}
} // namespace echo

struct EchoOptions {
  // The application computes P2 times this long before it answers, so that
  // tests ask for NULL bytes or waiting time extensions at will.
  Duration busy_per_p2 = std::chrono::milliseconds(10);
};

class EchoApplication final : public Application {
public:
  explicit EchoApplication(EchoOptions options = {}) : options_(options) {}

  void reset(bool cold) override;
  bool takes_command_data(std::uint8_t cla, std::uint8_t ins) const override;
  ResponseApdu process(const CommandApdu &command) override;

  // The last command received, for tests that check what arrived.
  const CommandApdu &last_command() const { return last_; }
  std::size_t commands() const { return count_; }
  std::size_t resets() const { return resets_; }

private:
  EchoOptions options_;
  CommandApdu last_;
  std::size_t count_ = 0;
  std::size_t resets_ = 0;
};

// The file system card's files: a master file, two elementary files under it
// and an application DF with a PIN-protected file.
namespace fs {
inline constexpr std::uint16_t kMf = 0x3F00;
inline constexpr std::uint16_t kEfFree = 0x2F00;    // 32 bytes, free
inline constexpr std::uint16_t kEfLarge = 0x0101;   // 300 bytes, free
inline constexpr std::uint16_t kDfApp = 0x5000;     // has kAid
inline constexpr std::uint16_t kEfSecret = 0x5001;  // 64 bytes, PIN
inline constexpr std::uint8_t kPinReference = 0x81; // VERIFY P2
inline constexpr std::uint8_t kPinTries = 3;
} // namespace fs

struct FileSystemOptions {
  std::vector<std::uint8_t> aid = {0xF0, 0x74, 0x61, 0x6C, 0x76, 0x6F, 0x72};
  std::vector<std::uint8_t> pin = {'1', '2', '3', '4'};
  Duration command_time{}; // every command
  Duration write_time{};   // more for UPDATE BINARY, as EEPROM writes take
};

class FileSystemApplication final : public Application {
public:
  // GET CHALLENGE draws from a generator with this seed.
  explicit FileSystemApplication(std::uint64_t seed,
                                 FileSystemOptions options = {});

  void reset(bool cold) override;
  void seed(std::uint64_t value) override { random_.seed(value); }
  ResponseApdu process(const CommandApdu &command) override;

  // Initial content of a file: byte i is (i + low byte of FID) mod 256.
  static std::uint8_t initial_byte(std::uint16_t fid, std::size_t i) {
    return static_cast<std::uint8_t>(i + (fid & 0xFF));
  }
  std::uint8_t tries_left() const { return tries_; }

private:
  struct File {
    std::uint16_t fid;
    std::size_t parent; // index; the MF is its own parent
    bool dedicated;
    std::vector<std::uint8_t> aid;
    std::vector<std::uint8_t> content;
    bool needs_pin;
  };
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  ResponseApdu select(const CommandApdu &command);
  ResponseApdu read_binary(const CommandApdu &command);
  ResponseApdu update_binary(const CommandApdu &command);
  ResponseApdu get_challenge(const CommandApdu &command);
  ResponseApdu verify(const CommandApdu &command);
  std::size_t find(std::uint16_t fid) const;
  std::vector<std::uint8_t> control_parameters(const File &file) const;
  // Offset for READ/UPDATE BINARY; kNone after filling `failure`.
  std::size_t binary_offset(const CommandApdu &command,
                            ResponseApdu &failure) const;

  FileSystemOptions options_;
  std::mt19937_64 random_;
  std::vector<File> files_;
  std::size_t current_df_ = 0;
  std::size_t current_ef_ = kNone;
  bool verified_ = false;
  std::uint8_t tries_ = fs::kPinTries;
};

} // namespace talvor::card
