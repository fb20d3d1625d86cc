#include "platform/smclib/t1.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <numeric>

namespace talvor::smclib::t1 {

namespace {

constexpr std::uint8_t kIBlockNext = 0x00; // NextPcb: an I-block, built late

enum class Fault : std::uint8_t {
  none = 0,
  edc = kREdcError,
  other = kROtherError, // also: nothing came in time
};

struct Block {
  std::uint8_t pcb = 0;
  std::span<const std::uint8_t> inf;
};

std::uint8_t wanted_ifsd(const Config &config) {
  if (config.ifsd == 0)
    return kDefaultIfs;
  return std::min(config.ifsd, kMaxIfs);
}

// The NAD a card answers with: destination and source swapped (bits 4 and
// 8, the deprecated VPP control, ignored).
std::uint8_t answer_nad(std::uint8_t nad) {
  return static_cast<std::uint8_t>(((nad & 0x07) << 4) | ((nad >> 4) & 0x07));
}

bool chaining(const Engine &t1) {
  return t1.CommandSent + t1.ChunkLength < t1.CommandLength;
}

Fault parse(const Engine &t1, const Config &config,
            std::span<const std::uint8_t> bytes, Block &block) {
  const std::size_t edc = epilogue_length(config.crc);
  if (bytes.size() < kPrologueLength + edc)
    return Fault::other;
  const std::size_t length = bytes[2];
  // LEN must describe exactly the bytes that came; 0xFF is reserved.
  if (length == 0xFF || bytes.size() != kPrologueLength + length + edc)
    return Fault::other;
  const auto body = bytes.first(kPrologueLength + length);
  if (config.crc) {
    const std::uint16_t sum = crc(body);
    if (bytes[body.size()] != (sum >> 8) ||
        bytes[body.size() + 1] != (sum & 0xFF))
      return Fault::edc;
  } else if (bytes[body.size()] != lrc(body)) {
    return Fault::edc;
  }
  if ((bytes[0] & 0x77) != answer_nad(t1.NAD))
    return Fault::other;

  block.pcb = bytes[1];
  block.inf = bytes.subspan(kPrologueLength, length);
  if (is_i_block(block.pcb))
    return length <= t1.IFSD ? Fault::none : Fault::other;
  if (is_r_block(block.pcb))
    return length == 0 && (block.pcb & 0x20) == 0 ? Fault::none : Fault::other;
  switch (block.pcb & kSTypeMask) {
  case kSResynch:
  case kSAbort:
    return length == 0 ? Fault::none : Fault::other;
  case kSIfs:
    // IFS 0x00 and 0xFF are reserved.
    return length == 1 && block.inf[0] != 0 && block.inf[0] != 0xFF
               ? Fault::none
               : Fault::other;
  case kSWtx:
    return length == 1 && block.inf[0] != 0 ? Fault::none : Fault::other;
  default: // VPP error and reserved types
    return Fault::other;
  }
}

NTSTATUS more(Engine &t1) {
  // The card's time extension covers the read after our S(WTX response),
  // and that read alone.
  t1.Wtx = t1.NextPcb == (kSBlock | kSResponse | kSWtx) ? t1.NextInf : 0;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS finish(Engine &t1, NTSTATUS status, UCHAR next_state = T1_IDLE) {
  t1.State = next_state;
  t1.Wtx = 0;
  t1.Command = nullptr;
  t1.Response = nullptr;
  return status;
}

void start_sending(Engine &t1) {
  t1.State = T1_SENDING;
  t1.NextPcb = kIBlockNext;
  t1.ChunkLength = 0;
  t1.Retries = 0;
}

void start_ifs_request(Engine &t1, const Config &config) {
  t1.State = T1_IFS_REQUEST;
  t1.NextPcb = kSBlock | kSIfs;
  t1.NextInf = wanted_ifsd(config);
  t1.IfsAttempts = 0;
  t1.Retries = 0;
}

// Starts the command from its first byte: at the beginning, and again after
// a resynchronisation reset both sides.
void start_command(Engine &t1, const Config &config) {
  t1.CommandSent = 0;
  t1.ChunkLength = 0;
  if (t1.State == T1_INIT && !t1.SuppressIfsRequest &&
      wanted_ifsd(config) != t1.IFSD)
    start_ifs_request(t1, config);
  else
    start_sending(t1);
}

// Rule 6: S(RESYNCH request), at most kMaxResynchs times per transmission.
NTSTATUS resynchronise(Engine &t1) {
  if (t1.Resynchs >= kMaxResynchs)
    return finish(t1, STATUS_DEVICE_PROTOCOL_ERROR, T1_INIT);
  ++t1.Resynchs;
  t1.State = T1_RESYNCH_REQUEST;
  t1.NextPcb = kSBlock | kSResynch;
  t1.Retries = 0;
  return more(t1);
}

// Rule 7: an invalid block, or none in time.
NTSTATUS on_error(Engine &t1, Fault fault) {
  switch (t1.State) {
  case T1_IFS_REQUEST:
    // Rule 7.3: the S-request again; a card that keeps failing it keeps
    // its IFSD of 32 and gets the command.
    if (++t1.IfsAttempts >= kMaxRetries) {
      start_sending(t1);
      return more(t1);
    }
    t1.NextPcb = kSBlock | kSIfs;
    return more(t1);
  case T1_RESYNCH_REQUEST:
    return resynchronise(t1);
  case T1_ABORTED:
    return finish(t1, STATUS_DEVICE_PROTOCOL_ERROR);
  default:
    break;
  }
  // Rules 7.1 and 7.4: an R-block naming the block expected; after
  // kMaxRetries failures in a row, resynchronise.
  if (++t1.Retries >= kMaxRetries)
    return resynchronise(t1);
  t1.NextPcb = static_cast<std::uint8_t>(kRBlock | (t1.RSN ? kRSequence : 0) |
                                         static_cast<std::uint8_t>(fault));
  return more(t1);
}

// A block that moved no data; a card that sends only those is stuck.
bool idle_exhausted(Engine &t1) {
  return ++t1.IdleBlocks > kMaxIdleBlocks;
}

NTSTATUS accept_answer(Engine &t1, const Block &block) {
  t1.RSN ^= 1;
  t1.Retries = 0;
  const std::size_t kept =
      t1.ResponseLength < t1.ResponseSize
          ? std::min<std::size_t>(block.inf.size(),
                                  t1.ResponseSize - t1.ResponseLength)
          : 0;
  if (kept > 0)
    std::memcpy(t1.Response + t1.ResponseLength, block.inf.data(), kept);
  t1.ResponseLength += static_cast<ULONG>(block.inf.size());
  if (t1.ResponseLength > kMaxResponseLength)
    return finish(t1, STATUS_DEVICE_PROTOCOL_ERROR);
  if (block.pcb & kIMore) {
    // Rule 2.2: acknowledge a chained block with the N(S) expected next.
    if (!block.inf.empty())
      t1.IdleBlocks = 0;
    else if (idle_exhausted(t1))
      return finish(t1, STATUS_DEVICE_PROTOCOL_ERROR);
    t1.State = T1_RECEIVING;
    t1.NextPcb = static_cast<std::uint8_t>(kRBlock | (t1.RSN ? kRSequence : 0));
    return more(t1);
  }
  return finish(t1, t1.ResponseLength > t1.ResponseSize
                        ? STATUS_BUFFER_TOO_SMALL
                        : STATUS_SUCCESS);
}

NTSTATUS on_i_block(Engine &t1, const Block &block) {
  const std::uint8_t ns = (block.pcb & kISequence) ? 1 : 0;
  switch (t1.State) {
  case T1_IFS_REQUEST:
    // The card refused the negotiation: carry on with IFSD 32.
    start_sending(t1);
    return more(t1);
  case T1_SENDING:
    // Rule 5: a chained block is acknowledged by an R-block, not answered.
    if (chaining(t1) || ns != t1.RSN)
      return on_error(t1, Fault::other);
    // The answer acknowledges the command's last block.
    t1.SSN ^= 1;
    t1.CommandSent += t1.ChunkLength;
    t1.ChunkLength = 0;
    return accept_answer(t1, block);
  case T1_RECEIVING:
    if (ns != t1.RSN)
      return on_error(t1, Fault::other);
    return accept_answer(t1, block);
  case T1_ABORTED:
    return finish(t1, STATUS_DEVICE_PROTOCOL_ERROR);
  default:
    return on_error(t1, Fault::other);
  }
}

NTSTATUS on_r_block(Engine &t1, const Block &block) {
  const std::uint8_t nr = (block.pcb & kRSequence) ? 1 : 0;
  switch (t1.State) {
  case T1_IFS_REQUEST:
    start_sending(t1);
    return more(t1);
  case T1_SENDING:
    if (chaining(t1) && nr != t1.SSN) {
      // Rule 2.2: the chained block arrived; the next one.
      t1.SSN ^= 1;
      t1.CommandSent += t1.ChunkLength;
      t1.ChunkLength = 0;
      t1.Retries = 0;
      t1.IdleBlocks = 0;
      t1.NextPcb = kIBlockNext;
      return more(t1);
    }
    if (nr == t1.SSN) {
      // Rule 7.2: the card asks for the I-block again.
      if (++t1.Retries >= kMaxRetries)
        return resynchronise(t1);
      t1.NextPcb = kIBlockNext;
      return more(t1);
    }
    return on_error(t1, Fault::other);
  case T1_RECEIVING:
    // The card did not get our last block: send it again.
    if (++t1.Retries >= kMaxRetries)
      return resynchronise(t1);
    return more(t1);
  case T1_ABORTED:
    return finish(t1, STATUS_DEVICE_PROTOCOL_ERROR);
  default:
    return on_error(t1, Fault::other);
  }
}

NTSTATUS on_s_request(Engine &t1, const Block &block) {
  const std::uint8_t type = block.pcb & kSTypeMask;
  if (t1.State == T1_ABORTED)
    return finish(t1, STATUS_DEVICE_PROTOCOL_ERROR);
  if (t1.State == T1_RESYNCH_REQUEST || type == kSResynch)
    return on_error(t1, Fault::other); // only the reader resynchronises
  switch (type) {
  case kSIfs:
    // Rule 3: the card announces a new IFSC.
    if (idle_exhausted(t1))
      return finish(t1, STATUS_DEVICE_PROTOCOL_ERROR);
    t1.IFSC = block.inf[0];
    t1.NextPcb = kSBlock | kSResponse | kSIfs;
    t1.NextInf = block.inf[0];
    return more(t1);
  case kSWtx:
    // Rule 4: more time for the answer.
    if (idle_exhausted(t1))
      return finish(t1, STATUS_IO_TIMEOUT);
    t1.NextPcb = kSBlock | kSResponse | kSWtx;
    t1.NextInf = block.inf[0];
    return more(t1);
  default: // kSAbort, rule 9: the card gives up the exchange
    if (t1.State == T1_SENDING) {
      // It answers our last block, so it has it.
      t1.SSN ^= 1;
      t1.ChunkLength = 0;
    }
    t1.State = T1_ABORTED;
    t1.NextPcb = kSBlock | kSResponse | kSAbort;
    return more(t1);
  }
}

NTSTATUS on_s_response(Engine &t1, const Config &config, const Block &block) {
  const std::uint8_t type = block.pcb & kSTypeMask;
  if (t1.State == T1_ABORTED)
    return finish(t1, STATUS_DEVICE_PROTOCOL_ERROR);
  if (type == kSIfs && t1.State == T1_IFS_REQUEST &&
      block.inf[0] == wanted_ifsd(config)) {
    t1.IFSD = block.inf[0];
    t1.IdleBlocks = 0;
    start_sending(t1);
    return more(t1);
  }
  if (type == kSResynch && t1.State == T1_RESYNCH_REQUEST) {
    // Rule 6.4: both sides back to their initial parameters.
    t1.SSN = 0;
    t1.RSN = 0;
    t1.IFSC = t1.IfscReset != 0 ? t1.IfscReset : kDefaultIfs;
    t1.IFSD = kDefaultIfs;
    t1.IdleBlocks = 0;
    if (t1.ResponseLength != 0) {
      // Part of the answer is in: the command may have run. Sending it
      // again could run it twice.
      return finish(t1, STATUS_DEVICE_PROTOCOL_ERROR, T1_INIT);
    }
    t1.State = T1_INIT;
    start_command(t1, config);
    return more(t1);
  }
  return on_error(t1, Fault::other);
}

} // namespace

std::uint8_t lrc(std::span<const std::uint8_t> bytes) {
  return std::accumulate(bytes.begin(), bytes.end(), std::uint8_t{0},
                         std::bit_xor<std::uint8_t>());
}

std::uint16_t crc(std::span<const std::uint8_t> bytes) {
  std::uint16_t value = 0xFFFF;
  for (auto byte : bytes) {
    value ^= byte;
    for (int bit = 0; bit < 8; ++bit)
      value = (value & 1) ? static_cast<std::uint16_t>((value >> 1) ^ 0x8408)
                          : static_cast<std::uint16_t>(value >> 1);
  }
  return value;
}

void reset(Engine &t1, std::uint8_t ifsc_from_atr) {
  const BOOLEAN suppress = t1.SuppressIfsRequest;
  const UCHAR nad = t1.NAD;
  t1 = Engine{};
  t1.SuppressIfsRequest = suppress;
  t1.NAD = nad;
  t1.IfscReset = ifsc_from_atr != 0 ? ifsc_from_atr : kDefaultIfs;
  t1.IFSC = t1.IfscReset;
  t1.IFSD = kDefaultIfs;
  t1.State = T1_INIT;
}

bool in_transmission(const Engine &t1) {
  return t1.State >= T1_IFS_REQUEST && t1.State <= T1_ABORTED;
}

void abandon(Engine &t1) {
  if (!in_transmission(t1))
    return;
  // An unanswered S(IFS) or S(RESYNCH) leaves the parameters unknown:
  // negotiate again.
  const bool unsettled =
      t1.State == T1_IFS_REQUEST || t1.State == T1_RESYNCH_REQUEST;
  finish(t1, STATUS_SUCCESS, unsettled ? T1_INIT : T1_IDLE);
}

void begin(Engine &t1, const Config &config,
           std::span<const std::uint8_t> command,
           std::span<std::uint8_t> response) {
  abandon(t1);
  if (t1.IFSC == 0)
    t1.IFSC = t1.IfscReset != 0 ? t1.IfscReset : kDefaultIfs;
  if (t1.IFSD == 0)
    t1.IFSD = kDefaultIfs;
  t1.Command = command.data();
  t1.CommandLength = static_cast<ULONG>(command.size());
  t1.Response = response.data();
  t1.ResponseSize = static_cast<ULONG>(response.size());
  t1.ResponseLength = 0;
  t1.Retries = 0;
  t1.Resynchs = 0;
  t1.IdleBlocks = 0;
  t1.Wtx = 0;
  start_command(t1, config);
}

NTSTATUS build(Engine &t1, const Config &config, std::span<std::uint8_t> out,
               std::size_t &length) {
  length = 0;
  if (!in_transmission(t1))
    return STATUS_INVALID_DEVICE_STATE;
  const std::size_t edc = epilogue_length(config.crc);
  if (out.size() < kPrologueLength + edc)
    return STATUS_BUFFER_TOO_SMALL;
  const std::size_t room = out.size() - kPrologueLength - edc;

  std::uint8_t pcb = t1.NextPcb;
  const std::uint8_t *inf = nullptr;
  std::size_t inf_length = 0;
  if (is_i_block(pcb)) {
    const std::size_t limit = std::min<std::size_t>(t1.IFSC, room);
    const std::size_t remaining = t1.CommandLength - t1.CommandSent;
    if (limit == 0 && remaining > 0)
      return STATUS_BUFFER_TOO_SMALL;
    // A new block, or one sent again that a smaller IFSC no longer admits.
    if (t1.ChunkLength == 0 || t1.ChunkLength > limit)
      t1.ChunkLength = static_cast<ULONG>(std::min(remaining, limit));
    pcb = static_cast<std::uint8_t>((t1.SSN ? kISequence : 0) |
                                    (chaining(t1) ? kIMore : 0));
    inf = t1.Command + t1.CommandSent;
    inf_length = t1.ChunkLength;
  } else if (is_s_block(pcb)) {
    const std::uint8_t type = pcb & kSTypeMask;
    if (type == kSIfs || type == kSWtx) {
      inf = &t1.NextInf;
      inf_length = 1;
    }
  }
  if (inf_length > room)
    return STATUS_BUFFER_TOO_SMALL;

  out[0] = t1.NAD;
  out[1] = pcb;
  out[2] = static_cast<std::uint8_t>(inf_length);
  if (inf_length > 0)
    std::memcpy(out.data() + kPrologueLength, inf, inf_length);
  const auto body = out.first(kPrologueLength + inf_length);
  if (config.crc) {
    const std::uint16_t sum = crc(body);
    out[body.size()] = static_cast<std::uint8_t>(sum >> 8);
    out[body.size() + 1] = static_cast<std::uint8_t>(sum & 0xFF);
  } else {
    out[body.size()] = lrc(body);
  }
  length = body.size() + edc;
  return STATUS_SUCCESS;
}

NTSTATUS process(Engine &t1, const Config &config,
                 std::span<const std::uint8_t> bytes) {
  t1.Wtx = 0;
  if (!in_transmission(t1))
    return STATUS_INVALID_DEVICE_STATE;
  Block block;
  const Fault fault = parse(t1, config, bytes, block);
  if (fault != Fault::none)
    return on_error(t1, fault);
  if (is_i_block(block.pcb))
    return on_i_block(t1, block);
  if (is_r_block(block.pcb))
    return on_r_block(t1, block);
  if (block.pcb & kSResponse)
    return on_s_response(t1, config, block);
  return on_s_request(t1, block);
}

} // namespace talvor::smclib::t1
