// The card side of T=1 for the library's tests: takes the reader's blocks,
// answers with its own, runs APDUs through a handler, and misbehaves on
// request (bad EDC, wrong sequence number, lost block, lying LEN, WTX,
// chaining without end, IFS and abort requests, a refused IFS).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace talvor::test {

using Bytes = std::vector<std::uint8_t>;

class T1Card {
public:
  using Application = std::function<Bytes(const Bytes &command)>;

  struct Options {
    std::uint8_t ifsc = 32; // what the card takes per block
    bool crc = false;
    bool refuse_ifs = false; // answers S(IFS request) with an R-block
    bool mute_ifs = false;   // does not answer S(IFS request) at all
  };

  // Echoes the command's data field (or the whole command) and 90 00.
  static Bytes echo(const Bytes &command);

  explicit T1Card(Options options, Application application = echo);

  // One exchange: the reader's block in, the card's block out (empty: the
  // card stays silent).
  Bytes exchange(std::span<const std::uint8_t> block);

  // What goes wrong with the card's next blocks, in order, once `after`
  // exchanges have gone by unharmed. garbled_in: the card finds the
  // reader's block garbled.
  enum class Fault { bad_edc, wrong_sequence, lost, lying_len, garbled_in };
  void inject(Fault fault, int count = 1, int after = 0);
  // Before its next answer the card asks `count` times for more time.
  void ask_for_time(int count, std::uint8_t multiplier);
  void ask_for_time_forever() { endless_wtx_ = true; }
  // Before its next answer the card announces a new IFSC.
  void announce_ifsc(std::uint8_t ifsc) { ifs_request_ = ifsc; }
  // Instead of its next answer the card aborts.
  void abort_next() { abort_next_ = true; }
  // The next answer never ends (chained blocks for ever).
  void chain_forever() { endless_chain_ = true; }

  // Observations.
  const std::vector<Bytes> &received() const { return received_; }
  const std::vector<Bytes> &commands() const { return commands_; }
  std::uint8_t ifsd() const { return ifsd_; }
  int resynchs() const { return resynchs_; }

  // The card's own EDC, written apart from the library's.
  static Bytes frame(std::uint8_t nad, std::uint8_t pcb,
                     std::span<const std::uint8_t> inf, bool crc);

private:
  Bytes send(Bytes block);
  Bytes send_r(std::uint8_t nr, std::uint8_t error);
  Bytes send_answer();
  Bytes block(std::uint8_t pcb, std::span<const std::uint8_t> inf) const {
    return frame(0, pcb, inf, options_.crc);
  }

  Options options_;
  Application application_;
  std::uint8_t ifsd_ = 32;
  std::uint8_t card_ns_ = 0;   // N(S) of the card's next new I-block
  std::uint8_t expect_ns_ = 0; // N(S) expected of the reader's I-block
  Bytes command_;              // chained command so far
  Bytes answer_;               // answer being sent
  std::size_t answer_sent_ = 0;
  std::size_t last_chunk_ = 0;
  bool answering_ = false;
  Bytes last_i_; // last I-block sent, as sent before any fault
  std::uint8_t last_i_ns_ = 0;
  bool last_i_more_ = false;
  Bytes last_; // last block sent, as sent before any fault

  std::deque<Fault> faults_;
  int unharmed_ = 0;      // exchanges before the faults begin
  bool harmless_ = false; // this exchange is one of them
  int wtx_left_ = 0;
  std::uint8_t wtx_multiplier_ = 1;
  bool endless_wtx_ = false;
  bool endless_chain_ = false;
  std::optional<std::uint8_t> ifs_request_;
  bool abort_next_ = false;

  std::vector<Bytes> received_;
  std::vector<Bytes> commands_;
  int resynchs_ = 0;
};

} // namespace talvor::test
