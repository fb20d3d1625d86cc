// A byte-level reader written for the tests: it drives a card model on a
// virtual clock and speaks the reader's side of ATR, PPS, T=0 and T=1 on its
// own, so that a fault on either side shows.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/card/card.h"

namespace talvor::test {

using Bytes = std::vector<std::uint8_t>;
using card::Duration;
using card::Time;

class Host {
public:
  explicit Host(card::Card &card) : card_(card) {}

  // Cold reset; reads the ATR until the line stays quiet, decoding the
  // convention TS announces. Returns the logical bytes.
  Bytes cold_reset();
  Bytes warm_reset();

  // Writes logical bytes (coded for the line) and waits until they are out.
  void write(std::span<const std::uint8_t> bytes);
  // Reads `count` logical bytes; each must arrive within `timeout` of the
  // one before. Nothing on a time-out, after which the clock has moved on.
  std::optional<Bytes> read(std::size_t count, Duration timeout);
  // Everything the card sends until it is quiet for `gap`.
  Bytes read_until_quiet(Duration gap);

  void set_rate(card::Rate rate) { card_.set_line_rate(rate); }
  Duration etus(std::int64_t count) const {
    return card::etus(count, card_.line_rate(), card_.profile().clock_hz);
  }
  Time now() const { return now_; }
  void advance(Duration by) { now_ += by; }
  card::Convention convention() const { return convention_; }
  card::Card &card() { return card_; }
  // Arrival times of the bytes read so far, for timing checks.
  const std::vector<Time> &arrivals() const { return arrivals_; }

private:
  Bytes read_atr();

  card::Card &card_;
  Time now_{};
  card::Convention convention_ = card::Convention::direct;
  std::vector<Time> arrivals_;
};

// Sends a PPS request and returns what came back within the time-out.
Bytes pps_exchange(Host &host, std::span<const std::uint8_t> request);
Bytes pps_request(std::uint8_t protocol, std::optional<std::uint8_t> pps1);

// The reader's side of T=0: procedure bytes per ISO/IEC 7816-3 10.3.3, and
// 61xx and 6Cxx handled at the APDU level.
struct T0Trace {
  std::size_t nulls = 0;
  std::size_t full_acks = 0;
  std::size_t one_byte_acks = 0;
  std::size_t resends_6c = 0;
  std::size_t get_responses = 0;
  Duration longest_silence{};
};

class T0Host {
public:
  explicit T0Host(Host &host);
  // A short command APDU; returns data and SW1 SW2, nothing on a time-out
  // or a protocol violation by the card.
  std::optional<Bytes> transmit(std::span<const std::uint8_t> apdu);
  // One TPDU: header (and data when `outgoing` is false) in, response out.
  std::optional<Bytes> tpdu(std::span<const std::uint8_t> header,
                            std::span<const std::uint8_t> data,
                            std::size_t expected);
  const T0Trace &trace() const { return trace_; }
  Duration work_waiting_time() const { return wt_; }

private:
  Host &host_;
  Duration wt_;
  T0Trace trace_;
};

// The reader's side of T=1, with the recovery of ISO/IEC 7816-3 11.6.
struct T1Block {
  std::uint8_t nad = 0, pcb = 0;
  Bytes inf;
};

struct T1Trace {
  std::size_t blocks_sent = 0;
  std::size_t i_blocks_received = 0;
  std::size_t chained_received = 0;
  std::size_t wtx_requests = 0;
  std::size_t bad_blocks = 0;
  std::size_t time_outs = 0;
  std::size_t retransmissions = 0;
  std::vector<std::uint8_t> r_block_errors; // error bits of R-blocks seen
};

class T1Host {
public:
  explicit T1Host(Host &host);

  std::optional<Bytes> transmit(std::span<const std::uint8_t> apdu);
  // S(IFS request) with our IFSD; true when the card echoes it.
  bool set_ifsd(std::uint8_t ifsd);
  bool resynch();

  // Low level, for tests that build their own dialogue.
  void send(std::uint8_t pcb, std::span<const std::uint8_t> inf);
  void send_raw(const Bytes &block);
  enum class Outcome { ok, time_out, bad };
  Outcome receive(T1Block &block, Duration waiting);
  Bytes frame(std::uint8_t pcb, std::span<const std::uint8_t> inf) const;

  const T1Trace &trace() const { return trace_; }
  Duration bwt() const { return bwt_; }
  Duration cwt() const { return cwt_; }
  std::uint8_t ifsc() const { return ifsc_; }
  std::uint8_t next_ns() const { return ns_; }
  // How many failed receptions in a row before giving up.
  void set_retry_limit(unsigned limit) { retry_limit_ = limit; }

private:
  Host &host_;
  bool crc_;
  std::uint8_t ifsc_;
  std::uint8_t ifsd_ = 32;
  std::uint8_t ns_ = 0; // our next N(S)
  std::uint8_t nr_ = 0; // card's N(S) we expect
  Duration bwt_;
  Duration cwt_;
  unsigned retry_limit_ = 3;
  T1Trace trace_;
};

} // namespace talvor::test
