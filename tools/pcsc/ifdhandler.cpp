// The IFD handler's entry points (IFDHandler API v3 of pcsc-lite): pcscd's
// arguments checked, the channel's outcomes turned into response codes.
// Nothing pcscd passes may crash it: every pointer and length is checked
// before it is used.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include "tools/pcsc/channel.h"

// pcscd's log, when we run inside pcscd; stderr elsewhere.
extern "C" __attribute__((weak)) void log_msg(const int priority,
                                              const char *format, ...);

namespace talvor::pcsc {

void log_line(const std::string &line) {
  constexpr int kLogError = 2; // PCSC_LOG_ERROR
  if (log_msg != nullptr)
    log_msg(kLogError, "talvor: %s", line.c_str());
  else
    std::fprintf(stderr, "talvor: %s\n", line.c_str());
}

namespace {

// One reader, one slot; the driver serves up to 128 readers.
constexpr UCHAR kSlots = 1;
constexpr UCHAR kReaders = 128;

RESPONSECODE response_of(Outcome outcome, RESPONSECODE failure) {
  switch (outcome) {
  case Outcome::ok:
    return IFD_SUCCESS;
  case Outcome::card_absent:
    return IFD_ICC_NOT_PRESENT;
  case Outcome::reader_gone:
    return IFD_NO_SUCH_DEVICE;
  case Outcome::timed_out:
    return IFD_RESPONSE_TIMEOUT;
  case Outcome::buffer_too_small:
    return IFD_ERROR_INSUFFICIENT_BUFFER;
  case Outcome::not_supported:
    return IFD_NOT_SUPPORTED;
  case Outcome::protocol_not_supported:
    return IFD_PROTOCOL_NOT_SUPPORTED;
  case Outcome::failed:
    break;
  }
  return failure;
}

// A value of `size` bytes into pcscd's buffer of *length bytes.
RESPONSECODE give(PDWORD length, PUCHAR value, const void *data,
                  std::size_t size) {
  if (*length < size) {
    *length = 0;
    return IFD_ERROR_INSUFFICIENT_BUFFER;
  }
  if (size != 0)
    std::memcpy(value, data, size);
  *length = static_cast<DWORD>(size);
  return IFD_SUCCESS;
}

RESPONSECODE give_byte(PDWORD length, PUCHAR value, UCHAR byte) {
  return give(length, value, &byte, 1);
}

// pcscd's polling thread for a reader: TAG_IFD_POLLING_THREAD_WITH_TIMEOUT.
RESPONSECODE poll_for_event(DWORD lun, int timeout) {
  auto channel = find_channel(static_cast<std::uint32_t>(lun));
  if (!channel)
    return IFD_NO_SUCH_DEVICE;
  return response_of(channel->wait_for_event(timeout), IFD_COMMUNICATION_ERROR);
}

// TAG_IFD_STOP_POLLING_THREAD.
RESPONSECODE wake_poller(DWORD lun) {
  auto channel = find_channel(static_cast<std::uint32_t>(lun));
  if (!channel)
    return IFD_NO_SUCH_DEVICE;
  channel->wake();
  return IFD_SUCCESS;
}

using PollFunction = RESPONSECODE (*)(DWORD, int);
using StopFunction = RESPONSECODE (*)(DWORD);

} // namespace
} // namespace talvor::pcsc

using namespace talvor::pcsc;

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
  std::string error;
  const Outcome outcome = open_channel(static_cast<std::uint32_t>(Lun),
                                       DeviceName ? DeviceName : "", &error);
  if (outcome == Outcome::ok)
    return IFD_SUCCESS;
  log_line("DEVICENAME \"" + std::string(DeviceName ? DeviceName : "") +
           "\": " + error);
  return IFD_COMMUNICATION_ERROR;
}

RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
  // A serial channel number says nothing about which card to model.
  (void)Lun;
  log_line("CHANNELID " + std::to_string(Channel) +
           ": give the reader a DEVICENAME (a card model, such as t1-lrc)");
  return IFD_COMMUNICATION_ERROR;
}

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
  return response_of(close_channel(static_cast<std::uint32_t>(Lun)),
                     IFD_COMMUNICATION_ERROR);
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length,
                                 PUCHAR Value) {
  if (Length == nullptr || (Value == nullptr && *Length != 0))
    return IFD_COMMUNICATION_ERROR;
  auto channel = find_channel(static_cast<std::uint32_t>(Lun));
  if (!channel)
    return IFD_NO_SUCH_DEVICE;
  switch (Tag) {
  case TAG_IFD_ATR:
  case SCARD_ATTR_ATR_STRING: {
    Bytes atr;
    const Outcome outcome =
        channel->attribute(SCARD_ATTR_ATR_STRING, MAX_ATR_SIZE, &atr);
    if (outcome == Outcome::card_absent) {
      *Length = 0; // no card powered: no ATR
      return IFD_SUCCESS;
    }
    if (outcome != Outcome::ok) {
      *Length = 0;
      return response_of(outcome, IFD_COMMUNICATION_ERROR);
    }
    return give(Length, Value, atr.data(), atr.size());
  }
  case TAG_IFD_SLOTNUM:
    return give_byte(Length, Value, 0);
  case TAG_IFD_SLOTS_NUMBER:
    return give_byte(Length, Value, kSlots);
  case TAG_IFD_SIMULTANEOUS_ACCESS:
    return give_byte(Length, Value, kReaders);
  case TAG_IFD_THREAD_SAFE:
    return give_byte(Length, Value, 1);
  case TAG_IFD_SLOT_THREAD_SAFE:
  // Killed, the polling thread would leave its tracking request behind: it
  // is woken instead (TAG_IFD_STOP_POLLING_THREAD).
  case TAG_IFD_POLLING_THREAD_KILLABLE:
    return give_byte(Length, Value, 0);
  case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT: {
    const PollFunction function = &poll_for_event;
    return give(Length, Value, &function, sizeof function);
  }
  case TAG_IFD_STOP_POLLING_THREAD: {
    const StopFunction function = &wake_poller;
    return give(Length, Value, &function, sizeof function);
  }
  default:
    break;
  }
  if ((Tag >> 16) == 0) {
    *Length = 0;
    return IFD_ERROR_TAG;
  }
  // SCARD_ATTR_*: as the driver answers them.
  Bytes value;
  const Outcome outcome =
      channel->attribute(static_cast<std::uint32_t>(Tag), *Length, &value);
  if (outcome != Outcome::ok) {
    *Length = 0;
    return outcome == Outcome::not_supported
               ? IFD_ERROR_TAG
               : response_of(outcome, IFD_COMMUNICATION_ERROR);
  }
  return give(Length, Value, value.data(), value.size());
}

RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD Length,
                                 PUCHAR Value) {
  if (Value == nullptr && Length != 0)
    return IFD_COMMUNICATION_ERROR;
  auto channel = find_channel(static_cast<std::uint32_t>(Lun));
  if (!channel)
    return IFD_NO_SUCH_DEVICE;
  if (Tag == TAG_IFD_SLOTNUM)
    return Length == 1 && Value[0] == 0 ? IFD_SUCCESS : IFD_ERROR_SET_FAILURE;
  if ((Tag >> 16) == 0)
    return IFD_ERROR_TAG;
  const Outcome outcome =
      channel->set_attribute(static_cast<std::uint32_t>(Tag),
                             {Value, static_cast<std::size_t>(Length)});
  if (outcome == Outcome::not_supported)
    return IFD_ERROR_TAG;
  return response_of(outcome, IFD_ERROR_SET_FAILURE);
}

RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR Flags,
                                       UCHAR PTS1, UCHAR PTS2, UCHAR PTS3) {
  (void)PTS1;
  (void)PTS2;
  (void)PTS3;
  auto channel = find_channel(static_cast<std::uint32_t>(Lun));
  if (!channel)
    return IFD_NO_SUCH_DEVICE;
  if (Protocol != SCARD_PROTOCOL_T0 && Protocol != SCARD_PROTOCOL_T1)
    return IFD_PROTOCOL_NOT_SUPPORTED;
  // The driver proposes the card's best rate itself, as it does for the
  // resource manager; parameters of the caller's own cannot be passed on.
  if (Flags & (IFD_NEGOTIATE_PTS1 | IFD_NEGOTIATE_PTS2 | IFD_NEGOTIATE_PTS3))
    return IFD_NOT_SUPPORTED;
  return response_of(channel->set_protocol(Protocol == SCARD_PROTOCOL_T0
                                               ? talvor::pcsc::Protocol::t0
                                               : talvor::pcsc::Protocol::t1),
                     IFD_ERROR_PTS_FAILURE);
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr,
                          PDWORD AtrLength) {
  auto channel = find_channel(static_cast<std::uint32_t>(Lun));
  if (!channel)
    return IFD_NO_SUCH_DEVICE;
  PowerAction action;
  switch (Action) {
  case IFD_POWER_UP:
    action = PowerAction::up;
    break;
  case IFD_RESET:
    action = PowerAction::reset;
    break;
  case IFD_POWER_DOWN:
    action = PowerAction::down;
    break;
  default:
    return IFD_NOT_SUPPORTED;
  }
  // pcscd passes no ATR buffer with a power-down; with the others the
  // buffer holds MAX_ATR_SIZE bytes.
  if (action != PowerAction::down && (Atr == nullptr || AtrLength == nullptr))
    return IFD_COMMUNICATION_ERROR;
  if (AtrLength != nullptr)
    *AtrLength = 0;
  Bytes atr;
  const Outcome outcome = channel->power(action, &atr);
  if (outcome != Outcome::ok)
    return response_of(outcome, IFD_ERROR_POWER_ACTION);
  if (action == PowerAction::down)
    return IFD_SUCCESS;
  if (atr.size() > MAX_ATR_SIZE)
    return IFD_ERROR_POWER_ACTION;
  std::memcpy(Atr, atr.data(), atr.size());
  *AtrLength = static_cast<DWORD>(atr.size());
  return IFD_SUCCESS;
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci,
                               PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                               PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
  // An extended APDU at most: header, three length bytes, data, Le.
  constexpr DWORD kMaxCommand = 4 + 3 + 65535 + 3;
  if (RxLength == nullptr)
    return IFD_COMMUNICATION_ERROR;
  const DWORD capacity = RxBuffer != nullptr ? *RxLength : 0;
  *RxLength = 0;
  if (TxBuffer == nullptr || TxLength < 4 || TxLength > kMaxCommand)
    return IFD_COMMUNICATION_ERROR;
  auto channel = find_channel(static_cast<std::uint32_t>(Lun));
  if (!channel)
    return IFD_NO_SUCH_DEVICE;
  // pcscd numbers the protocols here: 0 is T=0, 1 is T=1.
  if (SendPci.Protocol != 0 && SendPci.Protocol != 1)
    return IFD_PROTOCOL_NOT_SUPPORTED;
  Bytes response;
  const Outcome outcome = channel->transmit(
      SendPci.Protocol == 0 ? talvor::pcsc::Protocol::t0
                            : talvor::pcsc::Protocol::t1,
      {TxBuffer, static_cast<std::size_t>(TxLength)}, capacity, &response);
  if (outcome != Outcome::ok)
    return response_of(outcome, IFD_COMMUNICATION_ERROR);
  if (!response.empty())
    std::memcpy(RxBuffer, response.data(), response.size());
  *RxLength = static_cast<DWORD>(response.size());
  if (RecvPci != nullptr) {
    RecvPci->Protocol = SendPci.Protocol;
    RecvPci->Length = sizeof *RecvPci;
  }
  return IFD_SUCCESS;
}

RESPONSECODE IFDHICCPresence(DWORD Lun) {
  auto channel = find_channel(static_cast<std::uint32_t>(Lun));
  if (!channel)
    return IFD_NO_SUCH_DEVICE;
  bool present = false;
  const Outcome outcome = channel->presence(&present);
  if (outcome != Outcome::ok)
    return response_of(outcome, IFD_COMMUNICATION_ERROR);
  return present ? IFD_ICC_PRESENT : IFD_ICC_NOT_PRESENT;
}

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer,
                         DWORD TxLength, PUCHAR RxBuffer, DWORD RxLength,
                         LPDWORD pdwBytesReturned) {
  if (pdwBytesReturned == nullptr)
    return IFD_COMMUNICATION_ERROR;
  *pdwBytesReturned = 0;
  if ((TxBuffer == nullptr && TxLength != 0) ||
      (RxBuffer == nullptr && RxLength != 0))
    return IFD_COMMUNICATION_ERROR;
  auto channel = find_channel(static_cast<std::uint32_t>(Lun));
  if (!channel)
    return IFD_NO_SUCH_DEVICE;
  Bytes output;
  const Outcome outcome = channel->control(
      static_cast<std::uint32_t>(dwControlCode),
      {TxBuffer, static_cast<std::size_t>(TxLength)}, RxLength, &output);
  if (outcome == Outcome::not_supported)
    return IFD_ERROR_NOT_SUPPORTED;
  if (outcome != Outcome::ok)
    return response_of(outcome, IFD_COMMUNICATION_ERROR);
  const std::size_t count = std::min<std::size_t>(output.size(), RxLength);
  if (count != 0)
    std::memcpy(RxBuffer, output.data(), count);
  *pdwBytesReturned = static_cast<DWORD>(count);
  return IFD_SUCCESS;
}

} // extern "C"
