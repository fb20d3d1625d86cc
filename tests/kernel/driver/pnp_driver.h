// A function driver for the PnP and power managers' tests, written as
// driver code: AddDevice, start and the other "forward and wait" requests,
// stop and removal, power policy ownership (a system set-power becomes a
// device set-power request while the system request is held) and
// wait-wake. Options fail requests on purpose and plant the bugs the
// verifier must catch.
#pragma once

#include <wdm.h>

EXTERN_C_START

typedef struct _PNP_TEST_OPTIONS {
  // A failure status here makes the request fail with it.
  NTSTATUS AddDeviceStatus;   // before any device is made
  NTSTATUS StartStatus;       // after the lower drivers started
  NTSTATUS QueryStopStatus;   // without passing the query down
  NTSTATUS QueryRemoveStatus; // without passing the query down
  NTSTATUS QuerySleepStatus;  // a system query for a sleeping state
  // Arm wait-wake when a sleep is queried, and sleep in the device state
  // the bus gives for the system state (else D3).
  BOOLEAN WakeFromSleep;
  // Planted bugs, each a verifier finding.
  BOOLEAN BugKeepDeviceAtRemove;    // remove neither detaches nor deletes
  BOOLEAN BugLeaveInitializing;     // DO_DEVICE_INITIALIZING stays set
  BOOLEAN BugFailAddDeviceAttached; // AddDevice fails, its device attached
  BOOLEAN BugFailRemove;            // IRP_MN_REMOVE_DEVICE fails
  BOOLEAN BugCompleteTwice;         // IRP_MN_QUERY_PNP_DEVICE_STATE twice
  BOOLEAN BugReturnOtherStatus;     // returns other than it completed with
  BOOLEAN BugHoldSystemIrp;         // a held system set-power never goes on
  BOOLEAN BugFailSystemSetPower;    // fails a system set-power
} PNP_TEST_OPTIONS;

typedef enum _PNP_TEST_STATE {
  PnpTestAdded,
  PnpTestStarted,
  PnpTestStopPending,
  PnpTestStopped,
  PnpTestRemovePending,
  PnpTestSurpriseRemoved,
  PnpTestRemoved
} PNP_TEST_STATE;

typedef struct _PNP_TEST_EXTENSION {
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT Pdo;
  PDEVICE_OBJECT Lower;
  PNP_TEST_STATE State;
  DEVICE_CAPABILITIES Capabilities; // as the bus reported them at start
  DEVICE_POWER_STATE DevicePower;
  PIRP SystemPowerIrp; // held while the device request made for it runs
  ULONG DeviceRequests;
  ULONG DeviceCompletions;
  // The outstanding wait-wake request: taken (exchanged with NULL) by
  // whichever of cancel and completion comes first; WaitWakeCancelled is
  // their hand-off, so that exactly one of them finishes a cancelled one.
  PIRP WaitWakeIrp;
  LONG WaitWakeCancelled;
  ULONG WakeCallbacks;
  NTSTATUS WakeStatus;
} PNP_TEST_EXTENSION, *PPNP_TEST_EXTENSION;

// What the driver saw of handles on its devices, driver-wide: the state its
// device was in at the last cleanup and close (devices go at removal).
typedef struct _PNP_TEST_FILES {
  LONG Creates;
  LONG Cleanups;
  LONG Closes;
  PNP_TEST_STATE CleanupState;
  PNP_TEST_STATE CloseState;
} PNP_TEST_FILES;

// Fills the driver object; Options (copied) may be NULL for none.
void PnpTestInitialize(PDRIVER_OBJECT DriverObject,
                       const PNP_TEST_OPTIONS *Options);
ULONG PnpTestUnloadCount(void);
void PnpTestGetFiles(PNP_TEST_FILES *Files);

// Requests IRP_MN_WAIT_WAKE of the device's PDO; STATUS_PENDING when on
// its way, STATUS_INVALID_DEVICE_REQUEST when the bus reports no wake.
NTSTATUS PnpTestArmWake(PDEVICE_OBJECT Fdo);
// Withdraws an outstanding wait-wake request.
void PnpTestCancelWake(PDEVICE_OBJECT Fdo);

// Clean-up after planted bugs: passes a held system IRP on; detaches and
// deletes a device remove left behind.
void PnpTestReleaseSystemIrp(PDEVICE_OBJECT Fdo);
void PnpTestDeleteDevice(PDEVICE_OBJECT Fdo);

EXTERN_C_END
