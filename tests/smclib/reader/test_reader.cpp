#include "tests/smclib/reader/test_reader.h"

namespace {

// Shared by all readers, as a driver's static tables are.
ULONG DataRates[] = {7226, 9946, 14453, 28906, 57812, 39784, 154166, 231250};
ULONG ClockFrequencies[] = {3700};

PTEST_READER_EXTENSION ReaderOf(PSMARTCARD_EXTENSION SmartcardExtension) {
  // The smart card extension leads the device extension.
  return reinterpret_cast<PTEST_READER_EXTENSION>(SmartcardExtension);
}

// Counts the callback and notes whether another one runs beside it.
void Enter(PSMARTCARD_EXTENSION SmartcardExtension, int Function) {
  PTEST_READER_EXTENSION reader = ReaderOf(SmartcardExtension);
  InterlockedIncrement(&reader->Reader.Calls[Function]);
  if (InterlockedIncrement(&reader->Reader.Active) > 1)
    InterlockedIncrement(&reader->Reader.Overlaps);
  if (reader->Reader.CallbackDelay > 0 && KeGetCurrentIrql() == PASSIVE_LEVEL) {
    LARGE_INTEGER delay;
    delay.QuadPart = -reader->Reader.CallbackDelay;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
  }
}

void Leave(PSMARTCARD_EXTENSION SmartcardExtension) {
  InterlockedDecrement(&ReaderOf(SmartcardExtension)->Reader.Active);
}

void SetState(PSMARTCARD_EXTENSION SmartcardExtension, ULONG State) {
  KIRQL irql;
  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &irql);
  SmartcardExtension->ReaderCapabilities.CurrentState = State;
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);
}

NTSTATUS CardPower(PSMARTCARD_EXTENSION SmartcardExtension) {
  Enter(SmartcardExtension, RDF_CARD_POWER);
  PTEST_CARD card = SmartcardExtension->ReaderExtension->Card;
  NTSTATUS status = STATUS_SUCCESS;
  if (SmartcardExtension->MinorIoControlCode == SCARD_POWER_DOWN) {
    KIRQL irql;
    KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &irql);
    if (SmartcardExtension->ReaderCapabilities.CurrentState > SCARD_PRESENT)
      SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_PRESENT;
    KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);
    SmartcardExtension->CardCapabilities.Protocol.Selected = 0;
  } else {
    UCHAR atr[MAXIMUM_ATR_BUFFER_LENGTH];
    ULONG length = card->Reset(card->Context, atr, sizeof atr);
    if (length == 0 || length > sizeof atr) {
      status = STATUS_UNRECOGNIZED_MEDIA;
    } else {
      if (SmartcardExtension->IoRequest.ReplyBufferLength < length) {
        status = STATUS_BUFFER_TOO_SMALL;
      } else {
        RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, atr, length);
        *SmartcardExtension->IoRequest.Information = length;
      }
      RtlCopyMemory(SmartcardExtension->CardCapabilities.ATR.Buffer, atr,
                    length);
      SmartcardExtension->CardCapabilities.ATR.Length = (UCHAR)length;
      NTSTATUS parsed = SmartcardUpdateCardCapabilities(SmartcardExtension);
      if (NT_SUCCESS(status))
        status = parsed;
    }
  }
  Leave(SmartcardExtension);
  return status;
}

NTSTATUS SetProtocol(PSMARTCARD_EXTENSION SmartcardExtension) {
  Enter(SmartcardExtension, RDF_SET_PROTOCOL);
  PSCARD_CARD_CAPABILITIES caps = &SmartcardExtension->CardCapabilities;
  ULONG mask = SmartcardExtension->MinorIoControlCode;
  ULONG protocol = 0;
  NTSTATUS status = STATUS_SUCCESS;
  if (SmartcardExtension->ReaderCapabilities.CurrentState == SCARD_SPECIFIC &&
      (mask & caps->Protocol.Selected) != 0)
    protocol = caps->Protocol.Selected;
  else if (mask & caps->Protocol.Supported & SCARD_PROTOCOL_T1)
    protocol = SCARD_PROTOCOL_T1;
  else if (mask & caps->Protocol.Supported & SCARD_PROTOCOL_T0)
    protocol = SCARD_PROTOCOL_T0;
  else if (mask & SCARD_PROTOCOL_RAW)
    protocol = SCARD_PROTOCOL_RAW;
  if (protocol == 0) {
    status = STATUS_INVALID_DEVICE_REQUEST;
  } else {
    caps->Protocol.Selected = protocol;
    SetState(SmartcardExtension, SCARD_SPECIFIC);
    RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, &protocol,
                  sizeof protocol);
    *SmartcardExtension->IoRequest.Information = sizeof protocol;
  }
  Leave(SmartcardExtension);
  return status;
}

NTSTATUS Transmit(PSMARTCARD_EXTENSION SmartcardExtension) {
  Enter(SmartcardExtension, RDF_TRANSMIT);
  PTEST_CARD card = SmartcardExtension->ReaderExtension->Card;
  ULONG protocol = SmartcardExtension->CardCapabilities.Protocol.Selected;
  NTSTATUS status;
  do {
    SmartcardExtension->SmartcardRequest.BufferLength = 0;
    if (protocol == SCARD_PROTOCOL_T0)
      status = SmartcardT0Request(SmartcardExtension);
    else if (protocol == SCARD_PROTOCOL_T1)
      status = SmartcardT1Request(SmartcardExtension);
    else
      status = SmartcardRawRequest(SmartcardExtension);
    if (!NT_SUCCESS(status))
      break;
    ULONG received = 0;
    InterlockedIncrement(&SmartcardExtension->ReaderExtension->Exchanges);
    status = card->Exchange(
        card->Context, protocol, SmartcardExtension->SmartcardRequest.Buffer,
        SmartcardExtension->SmartcardRequest.BufferLength,
        SmartcardExtension->SmartcardReply.Buffer,
        SmartcardExtension->SmartcardReply.BufferSize, &received);
    // T=1 recovers from silence itself: hand it the empty reply.
    if (status == STATUS_IO_TIMEOUT && protocol == SCARD_PROTOCOL_T1) {
      status = STATUS_SUCCESS;
      received = 0;
    }
    if (!NT_SUCCESS(status))
      break;
    SmartcardExtension->SmartcardReply.BufferLength = received;
    if (protocol == SCARD_PROTOCOL_T0)
      status = SmartcardT0Reply(SmartcardExtension);
    else if (protocol == SCARD_PROTOCOL_T1)
      status = SmartcardT1Reply(SmartcardExtension);
    else
      status = SmartcardRawReply(SmartcardExtension);
  } while (status == STATUS_MORE_PROCESSING_REQUIRED);
  Leave(SmartcardExtension);
  return status;
}

void TrackingCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PTEST_READER_EXTENSION reader =
      static_cast<PTEST_READER_EXTENSION>(DeviceObject->DeviceExtension);
  // Under the cancel spin lock alone: the card-state lock comes first
  // wherever both are held.
  InterlockedCompareExchangePointer(
      reinterpret_cast<PVOID volatile *>(
          &reader->SmartcardExtension.OsData->NotificationIrp),
      nullptr, Irp);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  Irp->IoStatus.Status = STATUS_CANCELLED;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// Takes the tracking request out. Both locks held. Whoever takes it out
// completes it: its cancel routine, once running, has taken it out
// already under the cancel spin lock.
PIRP TakeTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  PIRP irp = SmartcardExtension->OsData->NotificationIrp;
  SmartcardExtension->OsData->NotificationIrp = nullptr;
  if (irp != nullptr)
    IoSetCancelRoutine(irp, nullptr);
  return irp;
}

void CompleteTrackingIrp(PIRP Irp) {
  Irp->IoStatus.Status = Irp->Cancel ? STATUS_CANCELLED : STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// At PASSIVE_LEVEL, after the library stored the request.
NTSTATUS CardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  Enter(SmartcardExtension, RDF_CARD_TRACKING);
  PIRP cancelled = nullptr;
  KIRQL irql;
  KIRQL cancel_irql;
  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &irql);
  IoAcquireCancelSpinLock(&cancel_irql);
  PIRP irp = SmartcardExtension->OsData->NotificationIrp;
  // None: a state change or cleanup already completed it.
  if (irp != nullptr) {
    if (irp->Cancel)
      cancelled = TakeTracking(SmartcardExtension);
    else
      IoSetCancelRoutine(irp, TrackingCancel);
  }
  IoReleaseCancelSpinLock(cancel_irql);
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);
  if (cancelled != nullptr)
    CompleteTrackingIrp(cancelled);
  Leave(SmartcardExtension);
  return STATUS_PENDING;
}

NTSTATUS VendorControl(PSMARTCARD_EXTENSION SmartcardExtension) {
  Enter(SmartcardExtension, RDF_IOCTL_VENDOR);
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  ULONG in = SmartcardExtension->IoRequest.RequestBufferLength;
  ULONG out = SmartcardExtension->IoRequest.ReplyBufferLength;
  if (SmartcardExtension->MajorIoControlCode == IOCTL_TEST_READER_ECHO) {
    // Input and output share the system buffer: the echo is in place.
    *SmartcardExtension->IoRequest.Information = in < out ? in : out;
    status = STATUS_SUCCESS;
  } else if (SmartcardExtension->MajorIoControlCode ==
             IOCTL_TEST_READER_OVERREACH) {
    *SmartcardExtension->IoRequest.Information = out + 10;
    status = STATUS_SUCCESS;
  }
  Leave(SmartcardExtension);
  return status;
}

// Completes the pending card-tracking request, if any.
void CompleteTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  KIRQL irql;
  KIRQL cancel_irql;
  KeAcquireSpinLock(&SmartcardExtension->OsData->SpinLock, &irql);
  IoAcquireCancelSpinLock(&cancel_irql);
  PIRP irp = TakeTracking(SmartcardExtension);
  IoReleaseCancelSpinLock(cancel_irql);
  KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, irql);
  if (irp != nullptr)
    CompleteTrackingIrp(irp);
}

NTSTATUS DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSMARTCARD_EXTENSION smartcard =
      &static_cast<PTEST_READER_EXTENSION>(DeviceObject->DeviceExtension)
           ->SmartcardExtension;
  NTSTATUS status = SmartcardAcquireRemoveLock(smartcard);
  if (!NT_SUCCESS(status)) {
    Irp->IoStatus.Status = STATUS_DEVICE_REMOVED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_REMOVED;
  }
  status = SmartcardDeviceControl(smartcard, Irp);
  SmartcardReleaseRemoveLock(smartcard);
  return status;
}

NTSTATUS CreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS Cleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CompleteTracking(
      &static_cast<PTEST_READER_EXTENSION>(DeviceObject->DeviceExtension)
           ->SmartcardExtension);
  return CreateClose(DeviceObject, Irp);
}

void CopyText(UCHAR *Buffer, USHORT *Length, const char *Text) {
  USHORT n = 0;
  while (Text[n] != '\0') {
    Buffer[n] = (UCHAR)Text[n];
    ++n;
  }
  Buffer[n] = 0;
  *Length = (USHORT)(n + 1); // the zero is counted
}

} // namespace

void TestReaderInitialize(PDRIVER_OBJECT DriverObject) {
  DriverObject->MajorFunction[IRP_MJ_CREATE] = CreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = CreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = Cleanup;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
}

NTSTATUS TestReaderCreate(PDRIVER_OBJECT DriverObject, PTEST_CARD Card,
                          PDEVICE_OBJECT *DeviceObject) {
  NTSTATUS status =
      IoCreateDevice(DriverObject, sizeof(TEST_READER_EXTENSION), nullptr,
                     FILE_DEVICE_SMARTCARD, 0, FALSE, DeviceObject);
  if (!NT_SUCCESS(status))
    return status;
  PTEST_READER_EXTENSION reader =
      static_cast<PTEST_READER_EXTENSION>((*DeviceObject)->DeviceExtension);
  RtlZeroMemory(reader, sizeof *reader);
  PSMARTCARD_EXTENSION smartcard = &reader->SmartcardExtension;
  reader->Reader.Card = Card;
  smartcard->ReaderExtension = &reader->Reader;
  smartcard->Version = SMCLIB_VERSION;
  CopyText(smartcard->VendorAttr.VendorName.Buffer,
           &smartcard->VendorAttr.VendorName.Length, "Generic");
  CopyText(smartcard->VendorAttr.IfdType.Buffer,
           &smartcard->VendorAttr.IfdType.Length, "Test reader 1.0");
  smartcard->VendorAttr.UnitNo = 3;
  smartcard->VendorAttr.IfdVersion.VersionMajor = 1;
  smartcard->VendorAttr.IfdVersion.VersionMinor = 2;
  smartcard->VendorAttr.IfdVersion.BuildNumber = 0x0304;
  smartcard->ReaderFunction[RDF_CARD_POWER] = CardPower;
  smartcard->ReaderFunction[RDF_TRANSMIT] = Transmit;
  smartcard->ReaderFunction[RDF_CARD_TRACKING] = CardTracking;
  smartcard->ReaderFunction[RDF_SET_PROTOCOL] = SetProtocol;
  smartcard->ReaderFunction[RDF_IOCTL_VENDOR] = VendorControl;
  PSCARD_READER_CAPABILITIES caps = &smartcard->ReaderCapabilities;
  caps->SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
  caps->ReaderType = SCARD_READER_TYPE_USB;
  caps->Channel = 5;
  caps->CurrentState = SCARD_ABSENT;
  caps->CLKFrequency.Default = 3580;
  caps->CLKFrequency.Max = 4000;
  caps->DataRate.Default = 9600;
  caps->DataRate.Max = 223200;
  caps->MaxIFSD = 251;
  caps->DataRatesSupported.List = DataRates;
  caps->DataRatesSupported.Entries = 8;
  caps->CLKFrequenciesSupported.List = ClockFrequencies;
  caps->CLKFrequenciesSupported.Entries = 1;
  smartcard->SmartcardRequest.BufferSize = MIN_BUFFER_SIZE;
  smartcard->SmartcardReply.BufferSize = MIN_BUFFER_SIZE;

  status = SmartcardInitialize(smartcard);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(*DeviceObject);
    *DeviceObject = nullptr;
    return status;
  }
  smartcard->OsData->DeviceObject = *DeviceObject;
  (*DeviceObject)->Flags |= DO_BUFFERED_IO;
  (*DeviceObject)->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

void TestReaderRemove(PDEVICE_OBJECT DeviceObject) {
  PSMARTCARD_EXTENSION smartcard =
      &TestReaderExtension(DeviceObject)->SmartcardExtension;
  CompleteTracking(smartcard);
  // The removal request's own hold, given back while waiting for the rest.
  SmartcardAcquireRemoveLock(smartcard);
  SmartcardReleaseRemoveLockAndWait(smartcard);
  SmartcardExit(smartcard);
  IoDeleteDevice(DeviceObject);
}

void TestReaderUpdateCardState(PDEVICE_OBJECT DeviceObject, BOOLEAN Present) {
  PSMARTCARD_EXTENSION smartcard =
      &TestReaderExtension(DeviceObject)->SmartcardExtension;
  KIRQL irql;
  KeAcquireSpinLock(&smartcard->OsData->SpinLock, &irql);
  BOOLEAN was_present =
      smartcard->ReaderCapabilities.CurrentState > SCARD_ABSENT;
  smartcard->ReaderCapabilities.CurrentState =
      Present ? SCARD_PRESENT : SCARD_ABSENT;
  if (!Present)
    smartcard->CardCapabilities.Protocol.Selected = 0;
  PIRP irp = nullptr;
  if (was_present != Present) {
    KIRQL cancel_irql;
    IoAcquireCancelSpinLock(&cancel_irql);
    irp = TakeTracking(smartcard);
    IoReleaseCancelSpinLock(cancel_irql);
  }
  KeReleaseSpinLock(&smartcard->OsData->SpinLock, irql);
  if (irp != nullptr)
    CompleteTrackingIrp(irp);
}

PTEST_READER_EXTENSION TestReaderExtension(PDEVICE_OBJECT DeviceObject) {
  return static_cast<PTEST_READER_EXTENSION>(DeviceObject->DeviceExtension);
}

// Plain stores that AddressSanitizer leaves unchecked, so that the pool's
// own check is what finds them, in every build.
__attribute__((no_sanitize("address"))) void
TestReaderWriteThroughLastRequest(PDEVICE_OBJECT DeviceObject) {
  PSMARTCARD_EXTENSION smartcard =
      &TestReaderExtension(DeviceObject)->SmartcardExtension;
  if (smartcard->IoRequest.ReplyBuffer != nullptr &&
      smartcard->IoRequest.ReplyBufferLength > 0)
    *static_cast<volatile UCHAR *>(smartcard->IoRequest.ReplyBuffer) = 0x3B;
  if (smartcard->IoRequest.Information != nullptr)
    *static_cast<volatile ULONG_PTR *>(smartcard->IoRequest.Information) = 1;
}
