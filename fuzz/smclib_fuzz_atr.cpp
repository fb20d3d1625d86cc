// ATR parsing with random bytes: the parser alone, then
// SmartcardUpdateCardCapabilities on an extension whose reader
// capabilities the input chooses too. Whatever comes in, nothing is read
// or written out of bounds and what the library leaves is consistent.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <smclib.h>

#include "platform/smclib/atr.h"

namespace {

void require(bool condition, const char *what) {
  if (!condition) {
    std::fprintf(stderr, "smclib_fuzz_atr: %s\n", what);
    std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  using namespace talvor::smclib;
  Atr atr;
  if (parse_atr({data, size}, atr) == AtrError::none) {
    require(atr.length >= 2 && atr.length <= size, "length beyond the input");
    require(atr.historical_offset + atr.historical_length <= atr.length,
            "historical bytes beyond the ATR");
    require(atr.offered != 0, "no protocol");
    const CardTiming timing = card_timing(atr, 3580);
    require(timing.bwt > 0 && timing.cwt > 0 && timing.wt > 0,
            "a waiting time of 0");
  }
  if (size < 3)
    return 0;

  // Byte 0: the reader's protocols and list; byte 1: the length byte the
  // driver claims; the rest: the ATR.
  ULONG rates[4] = {9946, 39784, 57812, 231250};
  ULONG clocks[2] = {3700, data[0] * 100u};
  SMARTCARD_EXTENSION extension{};
  extension.Version = SMCLIB_VERSION;
  auto &reader = extension.ReaderCapabilities;
  reader.SupportedProtocols = data[0] & 0x03;
  reader.CurrentState = (data[0] & 0x04) ? SCARD_ABSENT : SCARD_PRESENT;
  reader.CLKFrequency.Default = (data[0] & 0x08) ? 0 : 3580;
  reader.DataRate.Max = (data[0] & 0x10) ? 0 : 223200;
  if (data[0] & 0x20) {
    reader.DataRatesSupported.List = rates;
    reader.DataRatesSupported.Entries = 4;
    reader.CLKFrequenciesSupported.List = clocks;
    reader.CLKFrequenciesSupported.Entries = 2;
  }
  auto &caps = extension.CardCapabilities;
  caps.PtsData.Type = (data[0] & 0x40) ? PTS_TYPE_DEFAULT : PTS_TYPE_OPTIMAL;
  const std::size_t atr_length =
      std::min<std::size_t>(size - 2, sizeof caps.ATR.Buffer);
  std::memcpy(caps.ATR.Buffer, data + 2, atr_length);
  caps.ATR.Length = data[1];

  const NTSTATUS status = SmartcardUpdateCardCapabilities(&extension);
  const ULONG state = reader.CurrentState;
  if (status == STATUS_SUCCESS) {
    require(caps.Protocol.Supported != 0 &&
                (caps.Protocol.Supported & ~reader.SupportedProtocols) == 0,
            "a protocol the reader cannot do");
    require(caps.ATR.Length <= sizeof caps.ATR.Buffer, "ATR length");
    require(caps.HistoricalChars.Length <= 15, "historical length");
    require(caps.T1.IFSC >= 1 && caps.T1.IFSC <= 254, "IFSC");
    require(state == SCARD_ABSENT || state == SCARD_NEGOTIABLE ||
                state == SCARD_SPECIFIC,
            "state after a usable ATR");
    require(state != SCARD_SPECIFIC || caps.Protocol.Selected != 0,
            "specific mode without a protocol");
  } else {
    require(status == STATUS_UNRECOGNIZED_MEDIA, "unexpected status");
    require(caps.Protocol.Supported == 0 && caps.Protocol.Selected == 0,
            "protocols left after an unusable ATR");
    require(state == SCARD_ABSENT || state == SCARD_POWERED,
            "state after an unusable ATR");
  }
  if (data[0] & 0x40)
    require(caps.PtsData.Type == PTS_TYPE_DEFAULT, "PTS default lost");
  return 0;
}
