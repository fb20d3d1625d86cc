// The protocol routines a reader driver calls from its transmit callback:
// thin layers that take the caller's buffers from IoRequest, the card's
// bytes from SmartcardRequest and SmartcardReply, and leave the work to the
// pure T=0 and T=1 code.
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "platform/smclib/atr.h"
#include "platform/smclib/extension.h"
#include "platform/smclib/t0.h"
#include "platform/smclib/t1.h"

namespace talvor::smclib {

namespace {

constexpr std::size_t kStatusWordLength = 2;
constexpr std::size_t kT0HeaderLength = 5;

void invert_if_inverse(const SMARTCARD_EXTENSION &extension,
                       std::span<std::uint8_t> bytes) {
  if (extension.CardCapabilities.InversConvention)
    invert_bytes(bytes);
}

// Hands the card's answer to the caller behind the header.
NTSTATUS answer_caller(SMARTCARD_EXTENSION &extension,
                       std::span<const std::uint8_t> answer) {
  Transmission transmission;
  NTSTATUS status = transmission_of(extension, transmission);
  if (!NT_SUCCESS(status)) {
    clear_information(extension);
    return status;
  }
  if (answer.size() > transmission.answer.size()) {
    clear_information(extension);
    return STATUS_BUFFER_TOO_SMALL;
  }
  // memmove: a driver may hand over the caller's own buffer.
  if (!answer.empty())
    std::memmove(transmission.answer.data(), answer.data(), answer.size());
  invert_if_inverse(extension, transmission.answer.first(answer.size()));
  complete_answer(extension, answer.size());
  return STATUS_SUCCESS;
}

} // namespace

NTSTATUS transmission_of(const SMARTCARD_EXTENSION &extension,
                         Transmission &transmission) {
  const auto &io = extension.IoRequest;
  if (io.RequestBuffer == nullptr ||
      io.RequestBufferLength < sizeof(SCARD_IO_REQUEST))
    return STATUS_INVALID_PARAMETER;
  SCARD_IO_REQUEST header;
  std::memcpy(&header, io.RequestBuffer, sizeof header);
  if (header.cbPciLength < sizeof(SCARD_IO_REQUEST) ||
      header.cbPciLength >= io.RequestBufferLength)
    return STATUS_INVALID_PARAMETER;
  if (io.ReplyBuffer == nullptr ||
      io.ReplyBufferLength < sizeof(SCARD_IO_REQUEST))
    return STATUS_BUFFER_TOO_SMALL;
  transmission.command = {io.RequestBuffer + header.cbPciLength,
                          io.RequestBufferLength - header.cbPciLength};
  transmission.answer = {io.ReplyBuffer + sizeof(SCARD_IO_REQUEST),
                         io.ReplyBufferLength - sizeof(SCARD_IO_REQUEST)};
  return STATUS_SUCCESS;
}

void complete_answer(const SMARTCARD_EXTENSION &extension,
                     std::size_t answer_length) {
  const SCARD_IO_REQUEST header = {extension.CardCapabilities.Protocol.Selected,
                                   sizeof(SCARD_IO_REQUEST)};
  std::memcpy(extension.IoRequest.ReplyBuffer, &header, sizeof header);
  if (extension.IoRequest.Information != nullptr)
    *extension.IoRequest.Information = sizeof header + answer_length;
}

void clear_information(const SMARTCARD_EXTENSION &extension) {
  if (extension.IoRequest.Information != nullptr)
    *extension.IoRequest.Information = 0;
}

std::span<std::uint8_t> request_room(const SMARTCARD_EXTENSION &extension) {
  const auto &request = extension.SmartcardRequest;
  if (request.Buffer == nullptr || request.BufferLength > request.BufferSize)
    return {};
  return {request.Buffer + request.BufferLength,
          request.BufferSize - request.BufferLength};
}

std::span<std::uint8_t> reply_bytes(SMARTCARD_EXTENSION &extension,
                                    bool &valid) {
  auto &reply = extension.SmartcardReply;
  valid = reply.BufferLength == 0 ||
          (reply.Buffer != nullptr && reply.BufferLength <= reply.BufferSize);
  if (!valid || reply.BufferLength == 0)
    return {};
  return {reply.Buffer, reply.BufferLength};
}

t1::Config t1_config(const SMARTCARD_EXTENSION &extension) {
  t1::Config config;
  config.crc = (extension.CardCapabilities.T1.EDC & 1) != 0;
  // The card's blocks must fit the reply buffer.
  const ULONG reply_room =
      extension.SmartcardReply.BufferSize >
              t1::kPrologueLength + t1::epilogue_length(true)
          ? extension.SmartcardReply.BufferSize - t1::kPrologueLength -
                t1::epilogue_length(true)
          : 0;
  ULONG ifsd = extension.ReaderCapabilities.MaxIFSD != 0
                   ? extension.ReaderCapabilities.MaxIFSD
                   : t1::kDefaultIfs;
  ifsd = std::min<ULONG>({ifsd, t1::kMaxIfs, reply_room});
  config.ifsd = static_cast<std::uint8_t>(ifsd != 0 ? ifsd : 1);
  return config;
}

static_assert(std::is_trivially_copyable_v<t1::Engine>);
static_assert(sizeof(t1::Engine) <= sizeof(SMARTCARD_EXTENSION::Reserved));

T1Session::T1Session(SMARTCARD_EXTENSION &extension) : extension_(extension) {
  std::memcpy(&engine_, extension.Reserved, sizeof engine_);
  engine_.NAD = extension.T1.NAD;
}

T1Session::~T1Session() {
  std::memcpy(extension_.Reserved, &engine_, sizeof engine_);
  const t1::Engine &e = engine_;
  const bool under_way = t1::in_transmission(e);
  auto &published = extension_.T1;
  published.IFSC = e.IFSC;
  published.IFSD = e.IFSD;
  published.NAD = e.NAD;
  published.SSN = e.SSN;
  published.RSN = e.RSN;
  published.Wtx = e.Wtx;
  published.State = e.State;
  published.BytesReceived = e.ResponseLength;
  published.BytesSent = e.CommandSent;
  published.BytesToSend = under_way ? e.CommandLength - e.CommandSent : 0;
  published.MoreData =
      under_way && e.CommandSent + e.ChunkLength < e.CommandLength;
  published.LastError = under_way && t1::is_r_block(e.NextPcb)
                            ? static_cast<UCHAR>(e.NextPcb & t1::kRErrorMask)
                            : 0;
  published.Resend = e.Retries;
  published.Resync = e.Resynchs;
  published.ReplyData = e.Response;
  published.WaitForReply = under_way;
  published.InfBytesSent = static_cast<UCHAR>(e.ChunkLength);
}

} // namespace talvor::smclib

using namespace talvor::smclib;

extern "C" {

void SmartcardInvertData(PUCHAR Buffer, ULONG Length) {
  if (Buffer != nullptr)
    invert_bytes({Buffer, Length});
}

NTSTATUS SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr)
    return STATUS_INVALID_PARAMETER;
  auto &extension = *SmartcardExtension;
  Transmission transmission;
  NTSTATUS status = transmission_of(extension, transmission);
  if (!NT_SUCCESS(status))
    return status;
  const T0Tpdu tpdu = make_t0_tpdu(transmission.command);
  if (tpdu.apdu_case == ApduCase::invalid)
    return STATUS_INVALID_PARAMETER;
  // The reader reads Le data bytes and SW1 SW2 into the reply buffer.
  if (transmission.answer.size() < kStatusWordLength ||
      tpdu.le + kStatusWordLength > extension.SmartcardReply.BufferSize)
    return STATUS_BUFFER_TOO_SMALL;
  auto room = request_room(extension);
  const std::size_t length = kT0HeaderLength + tpdu.lc;
  if (room.size() < length)
    return STATUS_BUFFER_TOO_SMALL;
  std::copy(tpdu.header.begin(), tpdu.header.end(), room.begin());
  std::copy(tpdu.data.begin(), tpdu.data.end(), room.begin() + kT0HeaderLength);
  invert_if_inverse(extension, room.first(length));
  extension.SmartcardRequest.BufferLength += static_cast<ULONG>(length);
  extension.T0.Lc = tpdu.lc;
  extension.T0.Le = tpdu.le;
  return STATUS_SUCCESS;
}

NTSTATUS SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr)
    return STATUS_INVALID_PARAMETER;
  auto &extension = *SmartcardExtension;
  bool valid = false;
  const auto reply = reply_bytes(extension, valid);
  // Without SW1 SW2 the card did not answer the command.
  if (!valid || reply.size() < kStatusWordLength) {
    clear_information(extension);
    return STATUS_DEVICE_PROTOCOL_ERROR;
  }
  return answer_caller(extension, reply);
}

NTSTATUS SmartcardRawRequest(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr)
    return STATUS_INVALID_PARAMETER;
  auto &extension = *SmartcardExtension;
  Transmission transmission;
  NTSTATUS status = transmission_of(extension, transmission);
  if (!NT_SUCCESS(status))
    return status;
  auto room = request_room(extension);
  if (room.size() < transmission.command.size())
    return STATUS_BUFFER_TOO_SMALL;
  std::copy(transmission.command.begin(), transmission.command.end(),
            room.begin());
  invert_if_inverse(extension, room.first(transmission.command.size()));
  extension.SmartcardRequest.BufferLength +=
      static_cast<ULONG>(transmission.command.size());
  return STATUS_SUCCESS;
}

NTSTATUS SmartcardRawReply(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr)
    return STATUS_INVALID_PARAMETER;
  auto &extension = *SmartcardExtension;
  bool valid = false;
  const auto reply = reply_bytes(extension, valid);
  if (!valid) {
    clear_information(extension);
    return STATUS_DEVICE_PROTOCOL_ERROR;
  }
  return answer_caller(extension, reply);
}

NTSTATUS SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr)
    return STATUS_INVALID_PARAMETER;
  auto &extension = *SmartcardExtension;
  const t1::Config config = t1_config(extension);
  T1Session session(extension);
  if (!t1::in_transmission(*session)) {
    Transmission transmission;
    NTSTATUS status = transmission_of(extension, transmission);
    if (!NT_SUCCESS(status))
      return status;
    if (transmission.command.size() > kMaxCommandLength)
      return STATUS_INVALID_PARAMETER;
    // Refused before the card runs a command whose answer has nowhere to go.
    if (transmission.answer.size() < kStatusWordLength)
      return STATUS_BUFFER_TOO_SMALL;
    t1::begin(*session, config, transmission.command, transmission.answer);
  }
  auto room = request_room(extension);
  std::size_t length = 0;
  NTSTATUS status = t1::build(*session, config, room, length);
  if (!NT_SUCCESS(status)) {
    t1::abandon(*session);
    return status;
  }
  invert_if_inverse(extension, room.first(length));
  extension.SmartcardRequest.BufferLength += static_cast<ULONG>(length);
  return STATUS_SUCCESS;
}

NTSTATUS SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr)
    return STATUS_INVALID_PARAMETER;
  auto &extension = *SmartcardExtension;
  T1Session session(extension);
  if (!t1::in_transmission(*session))
    return STATUS_INVALID_DEVICE_STATE;
  bool valid = false;
  auto reply = reply_bytes(extension, valid);
  // A length beyond the buffer is no block: handled as one that came
  // garbled (reply stays empty).
  invert_if_inverse(extension, reply);
  const NTSTATUS status = t1::process(*session, t1_config(extension), reply);
  if (status == STATUS_SUCCESS)
    complete_answer(extension, session->ResponseLength);
  else if (status != STATUS_MORE_PROCESSING_REQUIRED)
    clear_information(extension);
  return status;
}

} // extern "C"
