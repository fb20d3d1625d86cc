// The card side of T=0 (ISO/IEC 7816-3 clause 10 and 12.2): headers in,
// procedure bytes, data and status out.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sim/card/apdu.h"
#include "sim/card/port.h"

namespace talvor::card {

enum class T0Fault {
  silent_after_header, // hears the header and never answers
  silent_in_data,      // sends the ACK and half the data, then nothing
  early_status,        // SW1 SW2 (9000) in place of the ACK and the data
  trailing_bytes,      // two more bytes after SW1 SW2
};

struct T0FaultAt {
  std::size_t command; // 1 = the first header since reset; 0 = every one
  T0Fault fault;
};

struct T0Options {
  // How the card asks for command data: INS for all of it, its complement
  // for one byte at a time, or one byte by complement and then the rest.
  enum class Ack { full, byte_by_byte, one_then_full };
  Ack ack = Ack::full;
  // NULL bytes (0x60) sent before every procedure byte and status, spaced
  // `null_interval` apart; NULLs are also sent at that interval while the
  // application is busy. Zero interval: half the work waiting time.
  unsigned nulls_before_procedure = 0;
  Duration null_interval{};
  // Answer a case 2 command with 61xx and let GET RESPONSE fetch the data.
  bool answer_through_get_response = false;
  // Answer data one byte per one-byte ACK (the complement of INS), the
  // NULLs above before each of them and before SW1 as well: a card that
  // computes while it answers.
  bool answer_byte_by_byte = false;
  // Procedure bytes of the INS+1 forms: INS+1 for all data, its complement
  // for one byte (the forms of the first edition, for VPP).
  bool ins_plus_one = false;
  std::vector<T0FaultAt> faults;
};

// What a trailing_bytes card sends after SW1 SW2.
inline constexpr std::array<std::uint8_t, 2> kT0TrailingBytes = {0x55, 0xAA};

class T0Card {
public:
  // `work_waiting_time` is WT from the ATR; the card never stays silent
  // that long.
  T0Card(T0Options options, Duration work_waiting_time);

  void on_byte(std::uint8_t byte, Time arrival, LinePort &port,
               Application &app);

private:
  void on_header(Time arrival, LinePort &port, Application &app);
  void execute(Time arrival, LinePort &port, Application &app);
  void get_response(std::size_t le, Time arrival, Time ready, LinePort &port);
  // Sends `bytes` after NULLs: one per interval until `ready`, then the
  // configured count. Returns the end of the last byte.
  Time answer(Time arrival, Time ready, std::span<const std::uint8_t> bytes,
              LinePort &port);
  void status(Time arrival, Time ready, std::uint16_t sw, LinePort &port);
  // Sends the procedure byte asking for data byte `index` of `expected_`.
  void ask_for_data(std::size_t index, Time arrival, LinePort &port);
  // Response data beyond what went out, for GET RESPONSE.
  void keep(std::vector<std::uint8_t> data, std::size_t from, std::uint16_t sw);
  std::uint8_t full_ack() const;
  bool fault_now(T0Fault fault) const;

  T0Options options_;
  Duration null_interval_;
  std::size_t commands_ = 0; // headers since reset
  std::array<std::uint8_t, 5> header_{};
  std::size_t header_length_ = 0;
  bool receiving_ = false;
  std::size_t expected_ = 0;
  std::vector<std::uint8_t> data_;
  bool has_pending_ = false;
  std::vector<std::uint8_t> pending_;
  std::uint16_t pending_sw_ = sw::kOk;
};

} // namespace talvor::card
