// SmartcardDeviceControl: checks a smart card request, answers what the
// extension already knows, calls the reader function for the rest (one at
// a time per reader) and completes the request.
#include <algorithm>
#include <cstring>

#include "platform/smclib/atr.h"
#include "platform/smclib/extension.h"
#include "platform/smclib/t1.h"

namespace talvor::smclib {

namespace {

struct Request {
  PIRP irp = nullptr;
  ULONG code = 0;
  PUCHAR buffer = nullptr; // the system buffer: input in, output out
  ULONG input_length = 0;
  ULONG output_length = 0;
};

Request request_of(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Request request;
  request.irp = irp;
  request.code = stack->Parameters.DeviceIoControl.IoControlCode;
  request.buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  if (request.buffer != nullptr) {
    request.input_length = stack->Parameters.DeviceIoControl.InputBufferLength;
    request.output_length =
        stack->Parameters.DeviceIoControl.OutputBufferLength;
  }
  return request;
}

bool input_ulong(const Request &request, ULONG &value, std::size_t offset = 0) {
  if (request.input_length < offset + sizeof value)
    return false;
  std::memcpy(&value, request.buffer + offset, sizeof value);
  return true;
}

NTSTATUS answer(const Request &request, const void *data, std::size_t length) {
  if (request.output_length < length)
    return STATUS_BUFFER_TOO_SMALL;
  if (length > 0)
    std::memcpy(request.buffer, data, length);
  request.irp->IoStatus.Information = length;
  return STATUS_SUCCESS;
}

NTSTATUS answer_ulong(const Request &request, ULONG value) {
  return answer(request, &value, sizeof value);
}

NTSTATUS answer_uchar(const Request &request, UCHAR value) {
  return answer(request, &value, sizeof value);
}

template <typename Text>
NTSTATUS answer_text(const Request &request, const Text &text) {
  // Length is the driver's count (its zero included or not), never beyond
  // the buffer.
  return answer(request, text.Buffer,
                std::min<std::size_t>(text.Length, sizeof text.Buffer));
}

NTSTATUS complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Holds OsData->CallbackLock: the extension is this request's until the
// guard goes.
class CallbackLock {
public:
  explicit CallbackLock(POS_DEP_DATA os) : os_(os) {
    KeWaitForSingleObject(&os_->CallbackLock, Executive, KernelMode, FALSE,
                          nullptr);
  }
  ~CallbackLock() { KeSetEvent(&os_->CallbackLock, IO_NO_INCREMENT, FALSE); }
  CallbackLock(const CallbackLock &) = delete;
  CallbackLock &operator=(const CallbackLock &) = delete;

private:
  POS_DEP_DATA os_;
};

bool takes_ulong(ULONG code) {
  return code == IOCTL_SMARTCARD_POWER ||
         code == IOCTL_SMARTCARD_SET_PROTOCOL ||
         code == IOCTL_SMARTCARD_GET_ATTRIBUTE ||
         code == IOCTL_SMARTCARD_SET_ATTRIBUTE;
}

// What a callback reads of the request.
void hand_over(SMARTCARD_EXTENSION &extension, const Request &request) {
  extension.MajorIoControlCode = request.code;
  ULONG minor = 0;
  if (takes_ulong(request.code))
    input_ulong(request, minor);
  extension.MinorIoControlCode = minor;
  extension.IoRequest.Information = &request.irp->IoStatus.Information;
  extension.IoRequest.RequestBuffer = request.buffer;
  extension.IoRequest.RequestBufferLength = request.input_length;
  extension.IoRequest.ReplyBuffer = request.buffer;
  extension.IoRequest.ReplyBufferLength = request.output_length;
  extension.OsData->CurrentIrp = request.irp;
}

// The request is over. IoRequest keeps pointing at its buffers, as the
// published library leaves it: they go with the IRP, and the pool finds a
// later write through it as a write after free.
void take_back(SMARTCARD_EXTENSION &extension) {
  extension.OsData->CurrentIrp = nullptr;
  t1::abandon(*T1Session(extension));
}

NTSTATUS call(SMARTCARD_EXTENSION &extension, int function,
              NTSTATUS if_missing) {
  PRDF_FUNCTION callback = extension.ReaderFunction[function];
  return callback != nullptr ? callback(&extension) : if_missing;
}

// --- requests answered from the extension ---------------------------------

ULONG fi_of(std::uint8_t fl) {
  const ULONG f = clock_rate_factor(fl);
  return f != 0 ? f : 372;
}

ULONG di_of(std::uint8_t dl) {
  const ULONG d = bit_rate_factor(dl);
  return d != 0 ? d : 1;
}

NTSTATUS get_attribute(SMARTCARD_EXTENSION &extension, const Request &request) {
  ULONG tag;
  if (!input_ulong(request, tag))
    return STATUS_INVALID_PARAMETER;
  const auto &vendor = extension.VendorAttr;
  const auto &reader = extension.ReaderCapabilities;
  const auto &card = extension.CardCapabilities;
  const ULONG state = card_state(extension);

  switch (tag) {
  case SCARD_ATTR_VENDOR_NAME:
    return answer_text(request, vendor.VendorName);
  case SCARD_ATTR_VENDOR_IFD_TYPE:
    return answer_text(request, vendor.IfdType);
  case SCARD_ATTR_VENDOR_IFD_VERSION:
    return answer_ulong(request,
                        ULONG{vendor.IfdVersion.VersionMajor} << 24 |
                            ULONG{vendor.IfdVersion.VersionMinor} << 16 |
                            vendor.IfdVersion.BuildNumber);
  case SCARD_ATTR_VENDOR_IFD_SERIAL_NO:
    if (vendor.IfdSerialNo.Length == 0)
      return STATUS_NOT_SUPPORTED;
    return answer_text(request, vendor.IfdSerialNo);
  case SCARD_ATTR_DEVICE_UNIT:
    return answer_ulong(request, vendor.UnitNo);
  case SCARD_ATTR_CHANNEL_ID:
    // DWORD 0xTTTTCCCC: reader type, channel
    return answer_ulong(request,
                        reader.ReaderType << 16 | (reader.Channel & 0xFFFF));
  case SCARD_ATTR_CHARACTERISTICS:
    return answer_ulong(request, reader.MechProperties);
  case SCARD_ATTR_PROTOCOL_TYPES:
    return answer_ulong(request, reader.SupportedProtocols);
  case SCARD_ATTR_DEFAULT_CLK:
    return answer_ulong(request, reader.CLKFrequency.Default);
  case SCARD_ATTR_MAX_CLK:
    return answer_ulong(request, reader.CLKFrequency.Max);
  case SCARD_ATTR_DEFAULT_DATA_RATE:
    return answer_ulong(request, reader.DataRate.Default);
  case SCARD_ATTR_MAX_DATA_RATE:
    return answer_ulong(request, reader.DataRate.Max);
  case SCARD_ATTR_MAX_IFSD:
    return answer_ulong(request, reader.MaxIFSD);
  case SCARD_ATTR_POWER_MGMT_SUPPORT:
    return answer_ulong(request, reader.PowerMgmtSupport);
  case SCARD_ATTR_CURRENT_PROTOCOL_TYPE:
    return answer_ulong(request, card.Protocol.Selected);
  case SCARD_ATTR_ICC_PRESENCE: {
    // 0 absent, 1 present, 2 in position for use, 4 confiscated
    UCHAR presence = 0;
    if (reader.CardConfiscated)
      presence = 4;
    else if (state == SCARD_PRESENT)
      presence = 1;
    else if (state > SCARD_PRESENT)
      presence = 2;
    return answer_uchar(request, presence);
  }
  case SCARD_ATTR_ICC_INTERFACE_STATUS: // contacts active
    return answer_uchar(request, state >= SCARD_POWERED ? 1 : 0);
  case SCARD_ATTR_ATR_STRING:
    if (state < SCARD_POWERED || card.ATR.Length == 0)
      return STATUS_INVALID_DEVICE_STATE;
    return answer(
        request, card.ATR.Buffer,
        std::min<std::size_t>(card.ATR.Length, sizeof card.ATR.Buffer));
  default:
    break;
  }

  // The card's parameters, known once its ATR was parsed.
  switch (tag) {
  case SCARD_ATTR_CURRENT_CLK:
  case SCARD_ATTR_CURRENT_F:
  case SCARD_ATTR_CURRENT_D:
  case SCARD_ATTR_CURRENT_N:
  case SCARD_ATTR_CURRENT_W:
  case SCARD_ATTR_CURRENT_IFSC:
  case SCARD_ATTR_CURRENT_IFSD:
  case SCARD_ATTR_CURRENT_BWT:
  case SCARD_ATTR_CURRENT_CWT:
  case SCARD_ATTR_CURRENT_EBC_ENCODING:
    if (state < SCARD_NEGOTIABLE)
      return STATUS_INVALID_DEVICE_STATE;
    break;
  default:
    return STATUS_NOT_SUPPORTED;
  }
  const bool t1_selected = card.Protocol.Selected == SCARD_PROTOCOL_T1;
  switch (tag) {
  case SCARD_ATTR_CURRENT_CLK:
    return answer_ulong(request, card.PtsData.CLKFrequency != 0
                                     ? card.PtsData.CLKFrequency
                                     : reader.CLKFrequency.Default);
  case SCARD_ATTR_CURRENT_F:
    return answer_ulong(request, fi_of(card.Fl));
  case SCARD_ATTR_CURRENT_D:
    return answer_ulong(request, di_of(card.Dl));
  case SCARD_ATTR_CURRENT_N:
    return answer_ulong(request, card.N);
  case SCARD_ATTR_CURRENT_W:
    return answer_ulong(request, card.T0.WI);
  case SCARD_ATTR_CURRENT_IFSC:
    return answer_ulong(request, t1_selected && extension.T1.IFSC != 0
                                     ? extension.T1.IFSC
                                     : card.T1.IFSC);
  case SCARD_ATTR_CURRENT_IFSD:
    return answer_ulong(request, t1_selected && extension.T1.IFSD != 0
                                     ? extension.T1.IFSD
                                     : t1::kDefaultIfs);
  case SCARD_ATTR_CURRENT_BWT:
    return answer_ulong(request, card.T1.BWT);
  case SCARD_ATTR_CURRENT_CWT:
    return answer_ulong(request, card.T1.CWT);
  default: // SCARD_ATTR_CURRENT_EBC_ENCODING: 0 LRC, 1 CRC
    return answer_ulong(request, card.T1.EDC & 1);
  }
}

NTSTATUS set_attribute(SMARTCARD_EXTENSION &extension, const Request &request) {
  ULONG tag;
  if (!input_ulong(request, tag))
    return STATUS_INVALID_PARAMETER;
  if (tag != SCARD_ATTR_SUPRESS_T1_IFS_REQUEST)
    return STATUS_NOT_SUPPORTED;
  // Any non-zero value, or none, suppresses the S(IFS) request.
  bool suppress = request.input_length == sizeof tag;
  for (ULONG i = sizeof tag; i < request.input_length; ++i)
    suppress = suppress || request.buffer[i] != 0;
  T1Session(extension)->SuppressIfsRequest = suppress ? TRUE : FALSE;
  return STATUS_SUCCESS;
}

// --- requests that call back ------------------------------------------------

NTSTATUS power(SMARTCARD_EXTENSION &extension, const Request &request) {
  ULONG code;
  if (!input_ulong(request, code) ||
      (code != SCARD_POWER_DOWN && code != SCARD_COLD_RESET &&
       code != SCARD_WARM_RESET))
    return STATUS_INVALID_PARAMETER;
  if (card_state(extension) <= SCARD_ABSENT)
    return STATUS_NO_MEDIA;
  return call(extension, RDF_CARD_POWER, STATUS_NOT_SUPPORTED);
}

NTSTATUS set_protocol(SMARTCARD_EXTENSION &extension, const Request &request) {
  ULONG mask;
  if (!input_ulong(request, mask))
    return STATUS_INVALID_PARAMETER;
  if (request.output_length < sizeof(ULONG))
    return STATUS_BUFFER_TOO_SMALL;
  const ULONG state = card_state(extension);
  if (state <= SCARD_ABSENT)
    return STATUS_NO_MEDIA;
  const auto &protocol = extension.CardCapabilities.Protocol;
  if (state == SCARD_SPECIFIC) {
    // Negotiated already: only the protocol in use; another needs a reset.
    if ((mask & protocol.Selected) == 0)
      return STATUS_INVALID_DEVICE_STATE;
  } else if (state != SCARD_NEGOTIABLE) {
    return STATUS_INVALID_DEVICE_STATE;
  } else if ((mask & (protocol.Supported |
                      (extension.ReaderCapabilities.SupportedProtocols &
                       SCARD_PROTOCOL_RAW))) == 0) {
    // Nothing asked for that the card offers (or, raw, the reader).
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  fill_pts_data(extension, (mask & SCARD_PROTOCOL_DEFAULT) ? PTS_TYPE_DEFAULT
                                                           : PTS_TYPE_OPTIMAL);
  return call(extension, RDF_SET_PROTOCOL, STATUS_NOT_SUPPORTED);
}

NTSTATUS transmit(SMARTCARD_EXTENSION &extension) {
  Transmission transmission;
  NTSTATUS status = transmission_of(extension, transmission);
  if (!NT_SUCCESS(status))
    return status;
  SCARD_IO_REQUEST header;
  std::memcpy(&header, extension.IoRequest.RequestBuffer, sizeof header);
  const ULONG selected = extension.CardCapabilities.Protocol.Selected;
  if (card_state(extension) != SCARD_SPECIFIC || header.dwProtocol != selected)
    return STATUS_INVALID_DEVICE_STATE;
  // A transmission an earlier request left half done is over.
  t1::abandon(*T1Session(extension));
  return call(extension, RDF_TRANSMIT, STATUS_NOT_SUPPORTED);
}

NTSTATUS dispatch(SMARTCARD_EXTENSION &extension, const Request &request) {
  switch (request.code) {
  case IOCTL_SMARTCARD_POWER:
    return power(extension, request);
  case IOCTL_SMARTCARD_SET_PROTOCOL:
    return set_protocol(extension, request);
  case IOCTL_SMARTCARD_TRANSMIT:
    return transmit(extension);
  case IOCTL_SMARTCARD_GET_ATTRIBUTE:
    return get_attribute(extension, request);
  case IOCTL_SMARTCARD_SET_ATTRIBUTE:
    return set_attribute(extension, request);
  case IOCTL_SMARTCARD_GET_LAST_ERROR:
    return answer_ulong(request, extension.LastError);
  case IOCTL_SMARTCARD_EJECT:
    return call(extension, RDF_CARD_EJECT, STATUS_NOT_SUPPORTED);
  case IOCTL_SMARTCARD_SWALLOW:
    return call(extension, RDF_READER_SWALLOW, STATUS_NOT_SUPPORTED);
  case IOCTL_SMARTCARD_CONFISCATE:
  case IOCTL_SMARTCARD_GET_PERF_CNTR:
    return STATUS_NOT_SUPPORTED;
  default:
    return call(extension, RDF_IOCTL_VENDOR, STATUS_INVALID_DEVICE_REQUEST);
  }
}

// IS_PRESENT and IS_ABSENT: at once when the card is already as asked,
// else pending in OsData->NotificationIrp for the driver to complete (the
// contract is told in smclib.h).
NTSTATUS track(SMARTCARD_EXTENSION &extension, const Request &request) {
  POS_DEP_DATA os = extension.OsData;
  const bool want_present = request.code == IOCTL_SMARTCARD_IS_PRESENT;
  if ((card_state(extension) > SCARD_ABSENT) == want_present)
    return complete(request.irp, STATUS_SUCCESS);

  NTSTATUS status;
  bool stored = false;      // marked pending and handed to the driver
  bool handed_back = false; // and given back to us by its callback
  {
    CallbackLock callbacks(os);
    hand_over(extension, request);
    PRDF_FUNCTION callback = extension.ReaderFunction[RDF_CARD_TRACKING];
    KIRQL irql;
    KeAcquireSpinLock(&os->SpinLock, &irql);
    if ((extension.ReaderCapabilities.CurrentState > SCARD_ABSENT) ==
        want_present) {
      status = STATUS_SUCCESS;
    } else if (os->NotificationIrp != nullptr) {
      status = STATUS_DEVICE_BUSY;
    } else if (callback == nullptr) {
      status = STATUS_NOT_SUPPORTED;
    } else {
      IoMarkIrpPending(request.irp);
      os->NotificationIrp = request.irp;
      stored = true;
      status = STATUS_PENDING;
    }
    KeReleaseSpinLock(&os->SpinLock, irql);
    if (stored) {
      status = callback(&extension);
      if (status != STATUS_PENDING) {
        // The driver did not keep it: it is ours again, unless someone
        // took it out meanwhile and completed it.
        KeAcquireSpinLock(&os->SpinLock, &irql);
        if (os->NotificationIrp == request.irp) {
          os->NotificationIrp = nullptr;
          IoSetCancelRoutine(request.irp, nullptr);
          handed_back = true;
        }
        KeReleaseSpinLock(&os->SpinLock, irql);
      }
    }
    take_back(extension);
    if (!NT_SUCCESS(status))
      extension.LastError = static_cast<ULONG>(status);
  }
  if (handed_back)
    complete(request.irp, status);
  if (stored)
    return STATUS_PENDING; // marked pending above; the IRP may be gone
  return complete(request.irp, status);
}

} // namespace

} // namespace talvor::smclib

using namespace talvor::smclib;

extern "C" NTSTATUS
SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp) {
  if (Irp == nullptr) {
    report_misuse("SmartcardDeviceControl without a request",
                  __builtin_return_address(0));
    return STATUS_INVALID_PARAMETER;
  }
  Irp->IoStatus.Information = 0;
  if (SmartcardExtension == nullptr || SmartcardExtension->OsData == nullptr) {
    report_misuse("SmartcardDeviceControl before SmartcardInitialize or "
                  "after SmartcardExit",
                  __builtin_return_address(0));
    return complete(Irp, STATUS_DEVICE_NOT_READY);
  }
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL)
    return complete(Irp, STATUS_INVALID_DEVICE_REQUEST);

  auto &extension = *SmartcardExtension;
  const Request request = request_of(Irp);
  switch (request.code) {
  case IOCTL_SMARTCARD_GET_STATE:
    // Answered without waiting for a callback in progress.
    return complete(Irp, answer_ulong(request, card_state(extension)));
  case IOCTL_SMARTCARD_IS_PRESENT:
  case IOCTL_SMARTCARD_IS_ABSENT:
    return track(extension, request);
  default:
    break;
  }

  NTSTATUS status;
  {
    CallbackLock callbacks(extension.OsData);
    hand_over(extension, request);
    status = dispatch(extension, request);
    take_back(extension);
    if (!NT_SUCCESS(status))
      extension.LastError = static_cast<ULONG>(status);
  }
  // A callback that returns STATUS_PENDING kept the request.
  if (status == STATUS_PENDING)
    return STATUS_PENDING;
  if (METHOD_FROM_CTL_CODE(request.code) == METHOD_BUFFERED &&
      Irp->IoStatus.Information > request.output_length) {
    report_misuse("the reader function for control code " +
                      std::to_string(request.code) + " answered " +
                      std::to_string(Irp->IoStatus.Information) +
                      " bytes into an output buffer of " +
                      std::to_string(request.output_length),
                  __builtin_return_address(0));
    Irp->IoStatus.Information = request.output_length;
  }
  return complete(Irp, status);
}
