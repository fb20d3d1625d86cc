// The reader's state: the device extension (the smart card library's
// extension first, then the device-specific fields), the reader extension,
// and the driver-wide slot table.
#pragma once

#include <wdm.h>

#include <smclib.h>
#include <usb.h>
#include <usbdi.h>

#include "build/talvor_build.h"

#define Uscr_MAX_DEVICE 128
// "SCS4": every allocation the driver makes.
#define USCR_POOL_TAG 0x34534353

// Trace framing.
#define USCR_DASHES                                                            \
  "------------------------------------------------------------------\n"
#define USCR_TILDES "~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~"

// Reader-private block, hung off SmartcardExtension.ReaderExtension.
typedef struct _READER_EXTENSION {
  BOOLEAN CardPresentAtPowerDown;
  ULONG ReaderPowerState;     // 1 powered, 2 powered down
  ULONG BlockWaitingTime;     // microseconds
  ULONG CharacterWaitingTime; // microseconds
} READER_EXTENSION;

// Locking: IoCount only under IoCountLock, never held across a wait.
// ReaderCapabilities.CurrentState and OsData->NotificationIrp under
// OsData->SpinLock, taken before the cancel spin lock where both are held.
// ReaderOpen, WaitWakeIrp and wwcancelled change only by interlocked
// operations. The thread fields are handed over through the events;
// ThreadShouldStop is a plain flag read through a volatile access.
//
// The transport calls back into the card presence thread's side twice: the
// recovery after a failed exchange (SCAbortAndRestart) creates a new thread
// when a card event stopped the last one, in the failing request's thread;
// and in build 1.0 a failed interrupt read with the reader gone marks the
// card absent (CBUpdateCardState) from the presence thread itself.
// One IRP is completed with a spin lock held: CBUpdateCardState completes
// the tracking request under OsData->SpinLock, at DISPATCH_LEVEL, so its
// completion routines must not take that lock.
typedef struct _DEVICE_EXTENSION {
  SMARTCARD_EXTENSION SmartcardExtension; // first: the callbacks' argument

  PDEVICE_OBJECT AttachedPDO;
  UNICODE_STRING InterfaceName;
  LONG IoCount;
  KSPIN_LOCK IoCountLock;
  KEVENT ReaderRemoved;
  KEVENT ReaderStarted;
  KEVENT ThreadStopEvent;
  PIRP SystemPowerIrp;
  PDEVICE_OBJECT PhysicalDeviceObject;
  LONG ReaderOpen;
  USBD_CONFIGURATION_HANDLE UsbConfigurationHandle;
  PUSB_CONFIGURATION_DESCRIPTOR UsbConfigurationDescriptor;
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
  PUSBD_INTERFACE_INFORMATION Interface;
  // Bit n: the bus driver has halted the endpoint of Interface->Pipes[n]
  // (a failed transfer said so); the recovery resets it. Interlocked only.
  LONG HaltedPipes;
  ULONG MaximumTransferSize;
  PVOID ThreadObject;
  volatile BOOLEAN ThreadShouldStop;
  KEVENT ThreadStopped;
  KEVENT ThreadStarted;
  BOOLEAN ThreadStoppedAtPowerDown;
  PIRP WaitWakeIrp;
  LONG wwcancelled;
  BOOLEAN WakeupEnabled;
  DEVICE_CAPABILITIES DeviceCapabilities;
  KEVENT CardChangeEvent;
  ULONG IsDeviceHighSpeed;
  ULONG TransferTimeOut; // milliseconds; 0: from the card's waiting times
  // The UnitInUse slot the device object was created in and is named
  // after; UnitNo is chosen apart and may differ from it.
  ULONG SlotIndex;
  // Set while STOP, REMOVE or a power-down holds the card presence thread
  // ended: the recovery after a failed exchange must not start a new one.
  // Cleared by the creators that may run it again (START, D0).
  BOOLEAN ThreadRestartBlocked;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// Driver-wide state. UnitInUse takes no lock: the PnP manager adds and
// removes devices one at a time.
extern UCHAR UnitInUse[Uscr_MAX_DEVICE];
extern BOOLEAN IsWin98OrMe;

// Pool (frame/pool.cpp): non-paged, the driver's tag, traced by name.
PVOID UscrAllocate(ULONG Size, PCSTR Name);
void UscrFree(PVOID Buffer, PCSTR Name);

// Fills the values the reader reports to the smart card library and
// initialises the device-specific fields of a zero-filled extension.
// ReaderExtension is the caller's zero-filled block. PASSIVE_LEVEL.
void UscrInitializeExtension(PDEVICE_EXTENSION DeviceExtension,
                             READER_EXTENSION *ReaderExtension);

// Card presence thread (card/thread.cpp).
KSTART_ROUTINE ThreadMain;
NTSTATUS UscrStartCardThread(PDEVICE_EXTENSION DeviceExtension);
void UscrStopCardThread(PDEVICE_EXTENSION DeviceExtension);
void UscrReleaseThreadObject(PDEVICE_EXTENSION DeviceExtension);

// Card power and protocol selection (card/power.cpp, card/protocol.cpp).
NTSTATUS CBCardPower(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS CBSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension);
void UscrSetWaitingTimes(PSMARTCARD_EXTENSION SmartcardExtension);
ULONG UscrFiveClockTicks();

// Vendor device-control codes (vendor/vendor.cpp).
NTSTATUS UscrGenericIoControl(PSMARTCARD_EXTENSION SmartcardExtension);

// Card tracking (card/tracking.cpp).
NTSTATUS CBCardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
void CBUpdateCardState(PDEVICE_EXTENSION DeviceExtension, UCHAR Presence);
void CompleteCardTracking(PDEVICE_EXTENSION DeviceExtension);
DRIVER_CANCEL UscrCancel;
DRIVER_DISPATCH UscrCleanup;

// Transmission (card/transmit.cpp).
NTSTATUS CBTransmit(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS TLP3TransmitT0(PSMARTCARD_EXTENSION SmartcardExtension);

// Driver entry and registry (frame/entry.cpp).
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD Unload;
NTSTATUS UscrGetRegistryDword(PCWSTR RegPath, PCWSTR ValueName, PULONG Value);

// Device creation and teardown (frame/device.cpp).
DRIVER_ADD_DEVICE UscrAddDevice;
NTSTATUS UscrCreateDevice(PDRIVER_OBJECT DriverObject,
                          PDEVICE_OBJECT *DeviceObject);
void UscrUnloadDevice(PDEVICE_OBJECT DeviceObject);
// Gives back the UnitInUse slot the device object was created in.
void UscrFreeSlot(PDEVICE_EXTENSION DeviceExtension);

// Request dispatch (frame/dispatch.cpp).
DRIVER_DISPATCH UscrCreateClose;
DRIVER_DISPATCH UscrDeviceIoControl;
DRIVER_DISPATCH uscrDispatchSystemControl;

// Plug and Play and power (pnp/).
DRIVER_DISPATCH UscrPnPDeviceControl;
DRIVER_DISPATCH UscrPower;
NTSTATUS UscrCallUSBDriver(PDEVICE_OBJECT LowerDeviceObject, PIRP Irp);
// Its completion routine, also that of other requests sent down and awaited:
// sets the event in Context and keeps the IRP for the waiter.
IO_COMPLETION_ROUTINE UscrCallUSBDriverComplete;

// Power and wait-wake (pnp/power.cpp, pnp/wake.cpp).
// ThreadRestartBlocked holds why the thread stays ended: TRUE for STOP or
// REMOVE, which only a START lifts; USCR_BLOCKED_AT_POWER_DOWN for a
// power-down, which the return to D0 lifts.
#define USCR_BLOCKED_AT_POWER_DOWN 2
REQUEST_POWER_COMPLETE UscrSystemPowerCompletion;
NTSTATUS UscrDevicePowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef enum _WAKEUP_CONTROL_CODE {
  EnableWakeup = 0,
  DisableWakeup = 1,
  ManageWaitWake = 2,
  CancelWaitWake = 3,
} WAKEUP_CONTROL_CODE;
NTSTATUS GenericWakeupControl(PDEVICE_EXTENSION DeviceExtension,
                              ULONG Operation);
REQUEST_POWER_COMPLETE WaitWakeCallback;
IO_COMPLETION_ROUTINE WaitWakeCompletionRoutine;
