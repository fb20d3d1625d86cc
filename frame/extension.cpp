// Per-reader state at creation: what the reader reports to the smart card
// library, and the device-specific fields' initial values.
#include "frame/talvor.h"

UCHAR UnitInUse[Uscr_MAX_DEVICE];
BOOLEAN IsWin98OrMe;

namespace {

// A 3.7 MHz card clock divided by 512, 372, 256, 128, 64, 93, 24 and 16. The
// last is above DataRate.Max and reported all the same.
ULONG DataRatesSupported[] = {7226,  9946,  14453,  28906,
                              57812, 39784, 154166, 231250};
ULONG CLKFrequenciesSupported[] = {3700};

// Copies a text with its terminating zero and counts the zero in Length.
template <ULONG N>
void CopyAttribute(PUCHAR Buffer, PUSHORT Length, const char (&Text)[N]) {
  static_assert(N <= MAXIMUM_ATTR_STRING_LENGTH, "attribute too long");
  RtlCopyMemory(Buffer, Text, N);
  *Length = static_cast<USHORT>(N);
}

} // namespace

/*
 * UscrInitializeExtension
 *   Sets the SMARTCARD_EXTENSION fields a reader fills before
 *   SmartcardInitialize, and the device-specific fields' initial values.
 * Arguments: the zero-filled device extension; the zero-filled reader
 *   extension it is to own.
 * Result: none.  IRQL: PASSIVE_LEVEL.
 */
void UscrInitializeExtension(PDEVICE_EXTENSION DeviceExtension,
                             READER_EXTENSION *ReaderExtension) {
  PAGED_CODE();
  PSMARTCARD_EXTENSION smartcardExtension =
      &DeviceExtension->SmartcardExtension;

  smartcardExtension->Version = SMCLIB_VERSION;
  CopyAttribute(smartcardExtension->VendorAttr.VendorName.Buffer,
                &smartcardExtension->VendorAttr.VendorName.Length, "Generic");
  CopyAttribute(smartcardExtension->VendorAttr.IfdType.Buffer,
                &smartcardExtension->VendorAttr.IfdType.Length, USCR_IFD_TYPE);
  smartcardExtension->VendorAttr.IfdVersion.BuildNumber = 0;
  smartcardExtension->VendorAttr.IfdVersion.VersionMinor = 0;
  smartcardExtension->VendorAttr.IfdVersion.VersionMajor = 0;
  smartcardExtension->VendorAttr.IfdSerialNo.Length = 0;

  // The other callbacks join the table as their routines land.
  smartcardExtension->ReaderFunction[RDF_CARD_POWER] = CBCardPower;
  smartcardExtension->ReaderFunction[RDF_SET_PROTOCOL] = CBSetProtocol;
  smartcardExtension->ReaderFunction[RDF_CARD_TRACKING] = CBCardTracking;
  smartcardExtension->ReaderFunction[RDF_IOCTL_VENDOR] = UscrGenericIoControl;

  PSCARD_READER_CAPABILITIES capabilities =
      &smartcardExtension->ReaderCapabilities;
  capabilities->SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
  capabilities->ReaderType = SCARD_READER_TYPE_USB;
  capabilities->MechProperties = 0;
  capabilities->CurrentState = SCARD_ABSENT;
  capabilities->CLKFrequency.Default = 3580;
  capabilities->CLKFrequency.Max = 4000;
  capabilities->DataRate.Default = 9600;
  capabilities->DataRate.Max = 223200;
  capabilities->MaxIFSD = 251;
  capabilities->DataRatesSupported.List = DataRatesSupported;
  capabilities->DataRatesSupported.Entries =
      sizeof(DataRatesSupported) / sizeof(DataRatesSupported[0]);
  capabilities->CLKFrequenciesSupported.List = CLKFrequenciesSupported;
  capabilities->CLKFrequenciesSupported.Entries =
      sizeof(CLKFrequenciesSupported) / sizeof(CLKFrequenciesSupported[0]);

  smartcardExtension->SmartcardRequest.BufferSize = 288;
  smartcardExtension->SmartcardReply.BufferSize = 288;

  ReaderExtension->ReaderPowerState = 1;
  smartcardExtension->ReaderExtension = ReaderExtension;

  KeInitializeSpinLock(&DeviceExtension->IoCountLock);
  KeInitializeEvent(&DeviceExtension->ReaderRemoved, NotificationEvent, FALSE);
  KeInitializeEvent(&DeviceExtension->ReaderStarted, NotificationEvent, FALSE);
  KeInitializeEvent(&DeviceExtension->ThreadStopEvent, NotificationEvent,
                    FALSE);
  KeInitializeEvent(&DeviceExtension->ThreadStopped, NotificationEvent, FALSE);
  KeInitializeEvent(&DeviceExtension->ThreadStarted, NotificationEvent, FALSE);
  KeInitializeEvent(&DeviceExtension->CardChangeEvent, NotificationEvent,
                    FALSE);
}
