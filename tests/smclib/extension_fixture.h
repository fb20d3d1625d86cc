// A SMARTCARD_EXTENSION as a reader driver fills it, for the protocol
// routines that need no kernel (no SmartcardInitialize: buffers of our
// own), and a caller's METHOD_BUFFERED system buffer around it.
#pragma once

#include <cstring>
#include <vector>

#include <smclib.h>

#include "tests/smclib/t1_card.h"

namespace talvor::test {

// "3B 02 14 50" as bytes.
inline Bytes hex(const char *text) {
  Bytes bytes;
  unsigned value = 0;
  int digits = 0;
  for (; *text != '\0'; ++text) {
    const char c = *text;
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                             : -1;
    if (digit < 0)
      continue;
    value = value * 16 + static_cast<unsigned>(digit);
    if (++digits == 2) {
      bytes.push_back(static_cast<std::uint8_t>(value));
      value = 0;
      digits = 0;
    }
  }
  return bytes;
}

struct PlainExtension {
  SMARTCARD_EXTENSION extension{};
  Bytes request = Bytes(MIN_BUFFER_SIZE);
  Bytes reply = Bytes(MIN_BUFFER_SIZE);
  ULONG data_rates[8] = {7226,  9946,  14453,  28906,
                         57812, 39784, 154166, 231250};
  ULONG clocks[1] = {3700};

  PlainExtension() {
    auto &e = extension;
    e.Version = SMCLIB_VERSION;
    e.SmartcardRequest.Buffer = request.data();
    e.SmartcardRequest.BufferSize = static_cast<ULONG>(request.size());
    e.SmartcardReply.Buffer = reply.data();
    e.SmartcardReply.BufferSize = static_cast<ULONG>(reply.size());
    e.ReaderCapabilities.SupportedProtocols =
        SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    e.ReaderCapabilities.ReaderType = SCARD_READER_TYPE_USB;
    e.ReaderCapabilities.CurrentState = SCARD_PRESENT;
    e.ReaderCapabilities.CLKFrequency.Default = 3580;
    e.ReaderCapabilities.CLKFrequency.Max = 4000;
    e.ReaderCapabilities.DataRate.Default = 9600;
    e.ReaderCapabilities.DataRate.Max = 223200;
    e.ReaderCapabilities.MaxIFSD = 251;
    e.ReaderCapabilities.DataRatesSupported.List = data_rates;
    e.ReaderCapabilities.DataRatesSupported.Entries = 8;
    e.ReaderCapabilities.CLKFrequenciesSupported.List = clocks;
    e.ReaderCapabilities.CLKFrequenciesSupported.Entries = 1;
    e.CardCapabilities.PtsData.Type = PTS_TYPE_OPTIMAL;
  }
  PlainExtension(const PlainExtension &) = delete;
  PlainExtension &operator=(const PlainExtension &) = delete;

  // Hands the library an ATR as a driver does after a reset.
  NTSTATUS reset(const Bytes &atr) {
    auto &caps = extension.CardCapabilities;
    std::memcpy(caps.ATR.Buffer, atr.data(),
                std::min(atr.size(), sizeof caps.ATR.Buffer));
    caps.ATR.Length = static_cast<UCHAR>(atr.size());
    return SmartcardUpdateCardCapabilities(&extension);
  }
  // What a successful PPS leaves.
  void select(ULONG protocol) {
    extension.CardCapabilities.Protocol.Selected = protocol;
    extension.ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
  }
};

// A caller's request: one system buffer for input and output, as
// METHOD_BUFFERED gives it.
struct CallerBuffer {
  Bytes system;
  ULONG_PTR information = 0;

  CallerBuffer(PSMARTCARD_EXTENSION extension, ULONG protocol,
               const Bytes &apdu, std::size_t answer_room) {
    const SCARD_IO_REQUEST header = {protocol, sizeof(SCARD_IO_REQUEST)};
    system.assign(
        std::max(sizeof header + apdu.size(), sizeof header + answer_room), 0);
    std::memcpy(system.data(), &header, sizeof header);
    std::copy(apdu.begin(), apdu.end(), system.begin() + sizeof header);
    auto &io = extension->IoRequest;
    io.Information = &information;
    io.RequestBuffer = system.data();
    io.RequestBufferLength = static_cast<ULONG>(sizeof header + apdu.size());
    io.ReplyBuffer = system.data();
    io.ReplyBufferLength = static_cast<ULONG>(sizeof header + answer_room);
  }
  // The answer behind the reply's header.
  Bytes answer() const {
    if (information < sizeof(SCARD_IO_REQUEST))
      return {};
    return Bytes(system.begin() + sizeof(SCARD_IO_REQUEST),
                 system.begin() + static_cast<long>(information));
  }
  ULONG reply_protocol() const {
    SCARD_IO_REQUEST header;
    std::memcpy(&header, system.data(), sizeof header);
    return header.dwProtocol;
  }
};

} // namespace talvor::test
