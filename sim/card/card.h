// A card in the reader's slot, seen from the I/O line: activation and ATR,
// PPS, then T=0 or T=1 in front of an application. The reader model drives
// it with explicit times and reads what it sends, byte by byte, each stamped
// with the time it has crossed the line.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/card/apdu.h"
#include "sim/card/atr.h"
#include "sim/card/port.h"
#include "sim/card/t0.h"
#include "sim/card/t1.h"

namespace talvor::card {

// What the card does with a PPS request (ISO/IEC 7816-3 clause 9).
enum class PpsBehaviour {
  echo,    // accepts a valid request and echoes it
  refuse,  // answers without PPS1: the default rate, not what was asked
  garbage, // answers with bytes that are no PPS response
  silence, // does not answer
};

// The card stops after its first `after` ATR characters for `pause`.
struct AtrPause {
  std::size_t after = 0;
  Duration pause{};
};

struct CardProfile {
  std::string name;
  Atr atr;
  // Sent instead of atr.bytes() to model a faulty ATR; the card otherwise
  // behaves as `atr` says.
  std::optional<std::vector<std::uint8_t>> atr_bytes;
  // A warm reset answers these instead: a card whose ATR changes.
  std::optional<std::vector<std::uint8_t>> warm_atr_bytes;
  std::optional<AtrPause> atr_pause;
  PpsBehaviour pps = PpsBehaviour::echo;
  std::vector<std::uint8_t> pps_garbage = {0x5A, 0xA5, 0x3C, 0xC3};
  // The PPS response starts this much later than the card could send it.
  Duration pps_delay{};
  T0Options t0;
  T1Options t1;
  std::uint32_t clock_hz = kDefaultClockHz;
  // TS starts between 400 and 40000 clock cycles after reset.
  std::int64_t atr_delay_clocks = 10'000;
};

struct CardCounters {
  std::size_t bytes_received = 0;
  std::size_t bytes_unheard = 0;       // card off, or sending or busy itself
  std::size_t rate_mismatches = 0;     // bytes lost to a rate disagreement
  std::size_t protocol_mismatches = 0; // lost to a reader in the other one
  std::size_t resets = 0;
  std::size_t pps_requests = 0;
};

class Card {
public:
  Card(CardProfile profile, std::unique_ptr<Application> application);

  // Cold reset: power (again) and reset; the ATR follows. The reader's
  // rate returns to the default with the card's.
  void power_on(Time now);
  // Warm reset of a powered card; an unpowered card stays silent.
  void warm_reset(Time now);
  void power_off(Time now);
  bool powered() const { return phase_ != Phase::off; }

  // The rate the reader's UART uses. Bytes cross the line only while it
  // equals the card's own rate; others are lost as framing errors.
  void set_line_rate(Rate rate) { line_rate_ = rate; }
  Rate line_rate() const { return line_rate_; }
  Rate card_rate() const { return port_.rate(); }
  // The protocol the reader's UART runs (SET PARAMETERS); until the next
  // reset. A card settled on the other protocol hears nothing of it.
  void set_line_protocol(std::uint8_t protocol) { line_protocol_ = protocol; }
  // The card clock the reader supplies; takes effect at the next reset.
  void set_clock_hz(std::uint32_t hz);
  // Reseeds every generator the card has (T=1 faults, the application).
  void seed(std::uint64_t value);

  // The protocol in use, once PPS or the first command settled it.
  std::optional<std::uint8_t> protocol() const;

  // The reader starts sending these line bytes at `now` (or when its
  // previous ones are out). Returns when the last one has arrived.
  Time receive(Time now, std::span<const std::uint8_t> bytes);

  // When the next byte the card sends will have arrived, if any is coming.
  std::optional<Time> next_output() const;
  // Takes up to `max` bytes that have arrived by `now`.
  std::vector<std::uint8_t>
  take_output(Time now,
              std::size_t max = std::numeric_limits<std::size_t>::max());

  const CardCounters &counters() const { return counters_; }
  const T1Counters *t1_counters() const {
    return t1_ ? &t1_->counters() : nullptr;
  }
  const CardProfile &profile() const { return profile_; }
  Application &application() { return *application_; }

private:
  // mute: a PPS went unanswered or wrong; nothing is heard until a reset.
  enum class Phase { off, negotiable, pps, protocol, mute };

  void start(Time now, bool cold);
  void on_byte(std::uint8_t byte, Time arrival);
  void on_pps(Time arrival);
  void select(std::uint8_t protocol, Rate rate);
  std::size_t pps_length() const;

  CardProfile profile_;
  std::unique_ptr<Application> application_;
  LinePort port_;
  Rate line_rate_{};
  std::optional<std::uint8_t> line_protocol_;
  Phase phase_ = Phase::off;
  Time reader_free_{};
  std::vector<std::uint8_t> pps_;
  std::optional<T0Card> t0_;
  std::optional<T1Card> t1_;
  CardCounters counters_;
};

} // namespace talvor::card
