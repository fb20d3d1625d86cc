// The card side of T=1 (ISO/IEC 7816-3 clause 11): blocks, chaining both
// ways, IFS, waiting time extension, resynchronisation, abort and error
// recovery, with faults injected by count or by seed.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "sim/card/apdu.h"
#include "sim/card/atr.h"
#include "sim/card/port.h"

namespace talvor::card {

// Error detection codes. The CRC is CRC-16 with the polynomial
// x^16 + x^12 + x^5 + 1, processed least significant bit first from 0xFFFF,
// not complemented, and sent high byte first.
std::uint8_t t1_lrc(std::span<const std::uint8_t> bytes);
std::uint16_t t1_crc(std::span<const std::uint8_t> bytes);

enum class T1Fault {
  bad_edc,          // a block the card sends has a wrong EDC
  wrong_sequence,   // an I- or R-block the card sends has the wrong number
  lost_block,       // a block the card sends never reaches the line
  corrupt_received, // the card takes a block it receives for garbled
  drop_received,    // the card never hears a block sent to it
  // On the card's answers (I-blocks it sends), counted by answer_faults:
  len_ff,          // LEN 0xFF, 255 filler bytes and a matching EDC
  slow_characters, // a pause of twice CWT after the prologue
  late,            // sent three BWT late, without asking for more time
  // On the commands it receives, counted by answer_faults:
  abort_request, // S(ABORT request) in place of the answer
};

constexpr bool fault_on_sending(T1Fault fault) {
  return fault == T1Fault::bad_edc || fault == T1Fault::wrong_sequence ||
         fault == T1Fault::lost_block;
}

struct T1FaultAt {
  std::size_t ordinal; // 1 = the first block sent (or received) since reset
  T1Fault fault;
};

struct T1Options {
  std::vector<T1FaultAt> faults;
  // Besides: each block sent or received meets one of `random_kinds` with
  // this chance in a thousand, drawn from a generator seeded with `seed`.
  unsigned random_faults_per_mille = 0;
  std::uint64_t seed = 0;
  std::vector<T1Fault> random_kinds = {T1Fault::bad_edc};
  // The card announces this IFSC by S(IFS request) before its first answer.
  std::optional<std::uint8_t> ifsc_request;
  // Faults of the card's own answers: the ordinal counts the commands it
  // answers since reset (1 = the first; 0 = every one).
  std::vector<T1FaultAt> answer_faults;
  // Sends its answers in blocks of up to 254 bytes, whatever IFSD is.
  bool ignore_ifsd = false;
};

struct T1Counters {
  std::size_t blocks_sent = 0;
  std::size_t blocks_received = 0;
  std::size_t faults_injected = 0;
  std::size_t errors_detected = 0;
  std::size_t retransmissions = 0;
  std::size_t wtx_requests = 0;
};

class T1Card {
public:
  T1Card(T1Options options, T1Parameters parameters, const LinePort &port);

  void on_byte(std::uint8_t byte, Time arrival, LinePort &port,
               Application &app);

  std::uint8_t ifsd() const { return ifsd_; }
  const T1Counters &counters() const { return counters_; }

private:
  enum class Kind { i_block, r_block, s_block, invalid };
  void on_block(Time arrival, LinePort &port, Application &app);
  void on_i_block(std::uint8_t pcb, std::span<const std::uint8_t> inf,
                  Time arrival, LinePort &port, Application &app);
  void on_r_block(std::uint8_t pcb, Time arrival, LinePort &port);
  void on_s_block(std::uint8_t pcb, std::span<const std::uint8_t> inf,
                  Time arrival, LinePort &port);
  // Starts the answer: now, or after waiting time extensions.
  void answer(Time arrival, Time ready, LinePort &port);
  void request_time(Time arrival, Time ready, LinePort &port);
  void send_next_chunk(Time at, LinePort &port);
  void send_r_block(std::uint8_t error, Time arrival, LinePort &port);
  void transmit(std::uint8_t pcb, std::span<const std::uint8_t> inf, Time at,
                LinePort &port);
  void put_on_line(const std::vector<std::uint8_t> &block, Time at,
                   LinePort &port);
  std::vector<std::uint8_t> frame(std::uint8_t pcb,
                                  std::span<const std::uint8_t> inf) const;
  bool edc_ok(std::span<const std::uint8_t> block) const;
  std::size_t edc_length() const { return parameters_.crc ? 2 : 1; }
  // The fault for this block event, if any.
  bool fault_due(std::size_t ordinal, bool sending, T1Fault &fault);
  Duration reply_delay(const LinePort &port) const;
  bool answer_fault(T1Fault fault) const;

  T1Options options_;
  T1Parameters parameters_;
  Duration bwt_;
  Duration cwt_;
  std::mt19937_64 random_;
  T1Counters counters_;

  std::uint8_t ifsd_ = 32;
  std::uint8_t nad_ = 0;       // addresses for the answer, swapped
  std::uint8_t send_ns_ = 0;   // N(S) of the next I-block the card sends
  std::uint8_t expect_ns_ = 0; // N(S) expected in the next I-block received

  std::vector<std::uint8_t> rx_;
  Time rx_last_{};

  std::vector<std::uint8_t> chain_in_;
  bool chain_in_overflow_ = false;
  std::vector<std::uint8_t> out_; // answer bytes not yet sent
  std::size_t out_sent_ = 0;
  bool chaining_out_ = false;
  std::vector<std::uint8_t> last_block_; // for retransmission
  bool answer_pending_ = false;          // waiting for S(WTX response)
  bool ifs_pending_ = false;             // waiting for S(IFS response)
  bool ifsc_announced_ = false;
  bool abort_pending_ = false; // waiting for S(ABORT response)
  std::size_t commands_ = 0;   // commands answered since reset
  std::uint8_t atr_ifsc_ = 32;
  std::uint8_t wtx_asked_ = 0;
  Time answer_ready_{};
};

} // namespace talvor::card
