// Small driver programs for the kernel's tests, built as driver code: the
// patterns a real driver uses, and planted bugs the verifier must catch.
#pragma once

#include <wdm.h>

EXTERN_C_START

// A worker thread started and stopped the way a driver's presence thread
// is: the creator waits for Started, the stopper sets Stop and waits for
// Stopped. Returns the number of loop passes the worker made.
NTSTATUS ProgramStartStopWorker(PULONG Passes);

// The lost wake-up: the waiter checks a flag, then clears the event and
// waits. A set that lands between the check and the clear is lost and the
// waiter blocks for good. Only some interleavings show it.
NTSTATUS ProgramLostWakeup(void);

// Two threads that each wait for the other's event before setting their own.
NTSTATUS ProgramDeadlock(void);

// Hands a token back and forth `Rounds` times between this thread and a
// partner through two synchronization events.
NTSTATUS ProgramPingPong(ULONG Rounds);

// `Threads` threads each add 1 to a shared counter `Rounds` times, under a
// spin lock when `Locked`, else as an unguarded read-modify-write. Returns
// the final count.
LONG ProgramCounter(ULONG Threads, ULONG Rounds, BOOLEAN Locked);

// Planted bugs, one finding each.
void BugWaitAtDispatchLevel(void);
void BugSpinLockHeldAcrossWait(void);
void BugSpinLockOrderInversion(void);
void BugPageableAtDispatchLevel(void);
void BugThreadNeverStopped(void);
void BugThreadReferenceLeaked(void);
void BugFailedAssertion(void);
void BugPoolLeak(void);
void BugWaitOnUninitializedEvent(void);
void BugCloseInvalidHandle(void);
void BugDereferenceTwice(void);
void BugReleaseUnheldSpinLock(void);
// IRQL above or below what a routine accepts.
void BugCreateThreadAtDispatchLevel(void);
void BugReleaseSpinLockBelowDispatchLevel(void);
void BugSetEventAndWaitAtDispatchLevel(void);

EXTERN_C_END
