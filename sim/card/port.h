// The card's end of the I/O line: what the card has scheduled to send, each
// byte stamped with the time its last bit has crossed the line.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <span>

#include "sim/card/line.h"

namespace talvor::card {

struct TimedByte {
  std::uint8_t value; // as on the line (after convention coding)
  Time ready;         // the receiver has the whole character
  Rate rate;          // the rate it was sent at
};

class LinePort {
public:
  LinePort(Convention convention, std::uint32_t clock_hz)
      : convention_(convention), clock_hz_(clock_hz) {}

  // Queues logical bytes; the first starts no earlier than `start` and none
  // before the line is free. Returns when the last one is complete.
  Time send(Time start, std::span<const std::uint8_t> bytes) {
    Time at = std::max(start, free_);
    for (std::uint8_t byte : bytes) {
      at += char_time();
      queue_.push_back({line_coding(convention_, byte), at, rate_});
    }
    free_ = at;
    return at;
  }
  Time send(Time start, std::uint8_t byte) {
    return send(start, std::span<const std::uint8_t>(&byte, 1));
  }

  Duration etus(std::int64_t count) const {
    return card::etus(count, rate_, clock_hz_);
  }
  Duration clocks(std::int64_t count) const {
    return clock_cycles(count, clock_hz_);
  }
  Duration char_time() const { return etus(char_etus_); }

  // The card transmits until then and hears nothing before.
  Time line_free() const { return free_; }
  void clear(Time now) {
    queue_.clear();
    free_ = now;
  }

  Rate rate() const { return rate_; }
  void set_rate(Rate rate) { rate_ = rate; }
  void set_char_etus(int etus) { char_etus_ = etus; }
  int char_etus() const { return char_etus_; }
  Convention convention() const { return convention_; }
  std::uint32_t clock_hz() const { return clock_hz_; }
  void set_clock_hz(std::uint32_t hz) { clock_hz_ = hz; }
  std::deque<TimedByte> &queue() { return queue_; }
  const std::deque<TimedByte> &queue() const { return queue_; }

private:
  Convention convention_;
  std::uint32_t clock_hz_;
  Rate rate_{};
  int char_etus_ = 12;
  Time free_{};
  std::deque<TimedByte> queue_;
};

} // namespace talvor::card
