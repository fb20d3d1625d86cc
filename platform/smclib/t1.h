// The T=1 block protocol of ISO/IEC 7816-3 clause 11, interface-device side:
// one block out, one block in, until the command is sent and the answer is
// in. Pure: plain functions over an Engine and byte buffers; the state
// survives between calls in the Engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include <smclib.h>

namespace talvor::smclib::t1 {

inline constexpr std::size_t kPrologueLength = 3; // NAD PCB LEN
inline constexpr std::uint8_t kDefaultIfs = 32;
inline constexpr std::uint8_t kMaxIfs = 254;
// Errors in a row on one block before the reader resynchronises.
inline constexpr unsigned kMaxRetries = 3;
// S(RESYNCH) requests in one transmission before it fails.
inline constexpr unsigned kMaxResynchs = 3;
// Blocks in a row that move no data (WTX and IFS requests, empty chained
// I-blocks) before the transmission fails: a card may ask for time, but not
// for ever.
inline constexpr unsigned kMaxIdleBlocks = 200;
// The longest answer an APDU has (65536 data bytes and SW1 SW2): a card
// chaining past it is not answering.
inline constexpr std::size_t kMaxResponseLength = 65538;

// PCB (ISO/IEC 7816-3 11.3.2.2)
inline constexpr std::uint8_t kRBlock = 0x80;
inline constexpr std::uint8_t kSBlock = 0xC0;
inline constexpr std::uint8_t kBlockTypeMask = 0xC0;
inline constexpr std::uint8_t kISequence = 0x40; // N(S) of an I-block
inline constexpr std::uint8_t kIMore = 0x20;     // M: chaining
inline constexpr std::uint8_t kRSequence = 0x10; // N(R)
inline constexpr std::uint8_t kRErrorMask = 0x0F;
inline constexpr std::uint8_t kREdcError = 0x01;
inline constexpr std::uint8_t kROtherError = 0x02;
inline constexpr std::uint8_t kSResponse = 0x20;
inline constexpr std::uint8_t kSTypeMask = 0x1F;
inline constexpr std::uint8_t kSResynch = 0x00;
inline constexpr std::uint8_t kSIfs = 0x01;
inline constexpr std::uint8_t kSAbort = 0x02;
inline constexpr std::uint8_t kSWtx = 0x03;

inline bool is_i_block(std::uint8_t pcb) {
  return (pcb & 0x80) == 0;
}
inline bool is_r_block(std::uint8_t pcb) {
  return (pcb & kBlockTypeMask) == kRBlock;
}
inline bool is_s_block(std::uint8_t pcb) {
  return (pcb & kBlockTypeMask) == kSBlock;
}

// Epilogue: LRC (XOR of every byte) or CRC (ISO/IEC 13239 polynomial
// x^16 + x^12 + x^5 + 1, reflected, preset to FFFF, sent high byte first).
std::uint8_t lrc(std::span<const std::uint8_t> bytes);
std::uint16_t crc(std::span<const std::uint8_t> bytes);
inline std::size_t epilogue_length(bool use_crc) {
  return use_crc ? 2 : 1;
}

// What the engine needs of the reader and the card.
struct Config {
  bool crc = false;            // the card's EDC
  std::uint8_t ifsd = kMaxIfs; // IFSD the reader asks for, 1 to 254
};

// The engine's record of a reader's exchange. The library keeps it in the
// extension's reserved tail and mirrors the published part into T1_DATA.
struct Engine {
  UCHAR IFSC;        // information field size of the card, in use
  UCHAR IFSD;        // information field size of the reader, in use
  UCHAR NAD;         // node address of the blocks sent
  UCHAR SSN;         // N(S) of the next new I-block sent
  UCHAR RSN;         // N(S) expected of the card's next I-block
  UCHAR Wtx;         // block waiting time multiplier for the next read; 0: none
  UCHAR State;       // T1_*
  UCHAR NextPcb;     // the block the next build makes
  UCHAR NextInf;     // its INF byte, for S-blocks that carry one
  UCHAR Retries;     // errors in a row on the current block
  UCHAR Resynchs;    // S(RESYNCH) requests sent in this transmission
  UCHAR IfsAttempts; // S(IFS) requests sent for this negotiation
  UCHAR IfscReset;   // the card's IFSC from the ATR
  BOOLEAN SuppressIfsRequest;
  USHORT IdleBlocks; // blocks in a row that moved no data
  const UCHAR *Command;
  ULONG CommandLength;
  ULONG CommandSent;    // command bytes the card acknowledged
  ULONG ChunkLength;    // command bytes in the I-block awaiting its answer
  PUCHAR Response;      // where the card's answer goes
  ULONG ResponseSize;   // room there
  ULONG ResponseLength; // answer bytes received, kept or not
};

// After a card reset: sequence numbers 0, IFSC from the ATR, IFSD default,
// IFSD negotiation due with the next transmission.
void reset(Engine &t1, std::uint8_t ifsc_from_atr);

// Forgets a transmission that was left half done (its exchange failed
// without the reply reaching the engine), so that the next starts clean.
void abandon(Engine &t1);

// True while a transmission is under way.
bool in_transmission(const Engine &t1);

// Starts transmitting `command`; the answer's data goes to `response`.
void begin(Engine &t1, const Config &config,
           std::span<const std::uint8_t> command,
           std::span<std::uint8_t> response);

// Writes the next block into `out`. STATUS_SUCCESS with its length,
// STATUS_BUFFER_TOO_SMALL when `out` cannot hold a block,
// STATUS_INVALID_DEVICE_STATE without a transmission.
NTSTATUS build(Engine &t1, const Config &config, std::span<std::uint8_t> out,
               std::size_t &length);

// Takes the card's block (empty: nothing came in time). Returns
// STATUS_MORE_PROCESSING_REQUIRED while another exchange is needed (with
// Wtx set when the card asked for more time), STATUS_SUCCESS once the
// answer is in (ResponseLength bytes), STATUS_BUFFER_TOO_SMALL when it
// was longer than the room given, STATUS_DEVICE_PROTOCOL_ERROR when
// recovery failed, STATUS_IO_TIMEOUT when the card kept asking for time.
NTSTATUS process(Engine &t1, const Config &config,
                 std::span<const std::uint8_t> block);

} // namespace talvor::smclib::t1
