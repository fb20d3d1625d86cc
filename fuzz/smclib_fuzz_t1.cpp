// The reply path of the protocols with random cards: a transmission driven
// the way a reader driver drives it, every card block taken from the
// input. The input may ask for a block's LEN and EDC to be made right, so
// that the search reaches deep into the T=1 state machine. Every
// transmission must end, and within bounds.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <smclib.h>

#include "platform/smclib/extension.h"
#include "platform/smclib/t1.h"

namespace {

void require(bool condition, const char *what) {
  if (!condition) {
    std::fprintf(stderr, "smclib_fuzz_t1: %s\n", what);
    std::abort();
  }
}

struct Input {
  const std::uint8_t *data;
  std::size_t size;
  std::size_t pos = 0;
  std::uint8_t byte() { return pos < size ? data[pos++] : 0; }
  bool empty() const { return pos >= size; }
};

constexpr std::size_t kBufferSize = MIN_BUFFER_SIZE;
// Far more exchanges than any bounded transmission needs.
constexpr int kExchangeLimit = 400'000;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  namespace t1 = talvor::smclib::t1;
  Input in{data, size};
  const std::uint8_t setup = in.byte();
  const ULONG protocol = (setup & 3) == 0   ? SCARD_PROTOCOL_T0
                         : (setup & 3) == 1 ? SCARD_PROTOCOL_RAW
                                            : SCARD_PROTOCOL_T1;
  const bool crc = (setup & 4) != 0;

  std::vector<std::uint8_t> request(kBufferSize), reply(kBufferSize);
  SMARTCARD_EXTENSION e{};
  e.Version = SMCLIB_VERSION;
  e.SmartcardRequest = {request.data(), kBufferSize, 0};
  e.SmartcardReply = {reply.data(), kBufferSize, 0};
  e.ReaderCapabilities.MaxIFSD = in.byte();
  e.ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
  e.CardCapabilities.Protocol.Selected = protocol;
  e.CardCapabilities.T1.EDC = crc ? 1 : 0;
  e.CardCapabilities.InversConvention = (setup & 8) ? TRUE : FALSE;
  {
    talvor::smclib::T1Session session(e);
    t1::reset(*session, in.byte());
    session->SuppressIfsRequest = (setup & 16) ? TRUE : FALSE;
  }

  // The caller's system buffer: header, a command of the input's length
  // (mostly zeros), room for the answer.
  const std::size_t command = std::size_t{in.byte()} * 4 + 1;
  const std::size_t room = std::size_t{in.byte()} * 3;
  std::vector<std::uint8_t> system(std::max(8 + command, 8 + room) + 1, 0);
  const SCARD_IO_REQUEST header = {protocol, 8};
  std::memcpy(system.data(), &header, sizeof header);
  if (command >= 4)
    system[8 + 4] = static_cast<std::uint8_t>(command - 5);
  ULONG_PTR information = 0;
  e.IoRequest = {&information, system.data(), static_cast<ULONG>(8 + command),
                 system.data(), static_cast<ULONG>(8 + room)};

  // Transmissions until the input runs out.
  int exchanges = 0;
  while (!in.empty()) {
    NTSTATUS status;
    do {
      e.SmartcardRequest.BufferLength = 0;
      status = protocol == SCARD_PROTOCOL_T1   ? SmartcardT1Request(&e)
               : protocol == SCARD_PROTOCOL_T0 ? SmartcardT0Request(&e)
                                               : SmartcardRawRequest(&e);
      if (!NT_SUCCESS(status))
        return 0; // refused up front, and would be again
      require(e.SmartcardRequest.BufferLength <= kBufferSize,
              "request beyond its buffer");
      // The card's block: flags, length, bytes.
      const std::uint8_t flags = in.byte();
      std::size_t length = in.byte() + ((flags & 0x80) ? 256 : 0);
      length = std::min(length, kBufferSize + 8);
      for (std::size_t i = 0; i < std::min(length, kBufferSize); ++i)
        reply[i] = in.byte();
      const std::size_t edc = crc ? 2 : 1;
      if ((flags & 1) && length >= 3 + edc && length <= kBufferSize)
        reply[2] = static_cast<std::uint8_t>(length - 3 - edc);
      if ((flags & 2) && length >= 3 + edc && length <= kBufferSize) {
        const std::span<const std::uint8_t> body(reply.data(), length - edc);
        if (crc) {
          const std::uint16_t sum = t1::crc(body);
          reply[length - 2] = static_cast<std::uint8_t>(sum >> 8);
          reply[length - 1] = static_cast<std::uint8_t>(sum & 0xFF);
        } else {
          reply[length - 1] = t1::lrc(body);
        }
      }
      e.SmartcardReply.BufferLength = static_cast<ULONG>(length);
      status = protocol == SCARD_PROTOCOL_T1   ? SmartcardT1Reply(&e)
               : protocol == SCARD_PROTOCOL_T0 ? SmartcardT0Reply(&e)
                                               : SmartcardRawReply(&e);
      require(++exchanges < kExchangeLimit, "a transmission without end");
      require(e.T1.BytesReceived <= t1::kMaxResponseLength + 255,
              "answer beyond any APDU");
    } while (status == STATUS_MORE_PROCESSING_REQUIRED);
    if (status == STATUS_SUCCESS) {
      require(information >= 8 && information <= 8 + room,
              "information beyond the caller's buffer");
    } else {
      require(status != STATUS_PENDING, "a transmission left pending");
      require(information == 0 || !NT_ERROR(status),
              "information on a failure");
    }
    if (protocol == SCARD_PROTOCOL_T1) {
      require(!e.T1.WaitForReply, "transmission not ended");
      require(e.T1.Wtx == 0, "waiting time extension left over");
    }
    information = 0;
  }
  return 0;
}
