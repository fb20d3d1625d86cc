// The Windows Driver Model as the hosted kernel provides it: the published
// types, constants and routines a WDM driver uses, declared with the WDK's
// names. The definitions live in the hosted kernel library.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"

EXTERN_C_START

// ---------------------------------------------------------------------------
// IRQL and processor mode

typedef UCHAR KIRQL, *PKIRQL;
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define MAXIMUM_PRIORITY 32

NTKERNELAPI KIRQL KeGetCurrentIrql(void);
NTKERNELAPI KIRQL KfRaiseIrql(KIRQL NewIrql);
NTKERNELAPI void KeLowerIrql(KIRQL NewIrql);
#define KeRaiseIrql(a, b) (*(b) = KfRaiseIrql(a))

// ---------------------------------------------------------------------------
// Doubly linked lists

FORCEINLINE void InitializeListHead(PLIST_ENTRY ListHead) {
  ListHead->Flink = ListHead->Blink = ListHead;
}

FORCEINLINE BOOLEAN IsListEmpty(const LIST_ENTRY *ListHead) {
  return (BOOLEAN)(ListHead->Flink == ListHead);
}

FORCEINLINE BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
  PLIST_ENTRY Flink = Entry->Flink;
  PLIST_ENTRY Blink = Entry->Blink;
  Blink->Flink = Flink;
  Flink->Blink = Blink;
  return (BOOLEAN)(Flink == Blink);
}

FORCEINLINE PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
  PLIST_ENTRY Entry = ListHead->Flink;
  RemoveEntryList(Entry);
  return Entry;
}

FORCEINLINE PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead) {
  PLIST_ENTRY Entry = ListHead->Blink;
  RemoveEntryList(Entry);
  return Entry;
}

FORCEINLINE void InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
  PLIST_ENTRY Blink = ListHead->Blink;
  Entry->Flink = ListHead;
  Entry->Blink = Blink;
  Blink->Flink = Entry;
  ListHead->Blink = Entry;
}

FORCEINLINE void InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
  PLIST_ENTRY Flink = ListHead->Flink;
  Entry->Flink = Flink;
  Entry->Blink = ListHead;
  Flink->Blink = Entry;
  ListHead->Flink = Entry;
}

// ---------------------------------------------------------------------------
// Dispatcher objects and waits

typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Absolute;
  UCHAR Size; // in LONGs; zero means the object was never initialised
  UCHAR Inserted;
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD;
typedef struct _ETHREAD *PETHREAD;

typedef enum _WAIT_TYPE { WaitAll, WaitAny } WAIT_TYPE;

typedef enum _KWAIT_REASON {
  Executive,
  FreePage,
  PageIn,
  PoolAllocation,
  DelayExecution,
  Suspended,
  UserRequest,
  WrExecutive,
  MaximumWaitReason = 40
} KWAIT_REASON;

typedef struct _KWAIT_BLOCK {
  LIST_ENTRY WaitListEntry;
  PKTHREAD Thread;
  PVOID Object;
  struct _KWAIT_BLOCK *NextWaitBlock;
  USHORT WaitKey;
  UCHAR WaitType;
  UCHAR BlockState;
} KWAIT_BLOCK, *PKWAIT_BLOCK;

#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64
#define EVENT_INCREMENT 1
#define IO_NO_INCREMENT 0

NTKERNELAPI void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type,
                                   BOOLEAN State);
NTKERNELAPI LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTKERNELAPI void KeClearEvent(PRKEVENT Event);
NTKERNELAPI LONG KeResetEvent(PRKEVENT Event);
NTKERNELAPI LONG KeReadStateEvent(PRKEVENT Event);
NTKERNELAPI LONG KePulseEvent(PRKEVENT Event, KPRIORITY Increment,
                              BOOLEAN Wait);

NTKERNELAPI NTSTATUS KeWaitForSingleObject(PVOID Object,
                                           KWAIT_REASON WaitReason,
                                           KPROCESSOR_MODE WaitMode,
                                           BOOLEAN Alertable,
                                           PLARGE_INTEGER Timeout);
NTKERNELAPI NTSTATUS KeWaitForMultipleObjects(
    ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
    KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
    PKWAIT_BLOCK WaitBlockArray);

NTKERNELAPI NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode,
                                            BOOLEAN Alertable,
                                            PLARGE_INTEGER Interval);

// ---------------------------------------------------------------------------
// Time

NTKERNELAPI ULONG KeQueryTimeIncrement(void);
NTKERNELAPI void KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
NTKERNELAPI void KeQueryTickCount(PLARGE_INTEGER TickCount);
NTKERNELAPI ULONGLONG KeQueryInterruptTime(void);

// ---------------------------------------------------------------------------
// Spin locks

typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

NTKERNELAPI void KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
NTKERNELAPI KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
NTKERNELAPI void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
NTKERNELAPI void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
NTKERNELAPI void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(SpinLock, OldIrql)                                   \
  (*(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock))

// ---------------------------------------------------------------------------
// Interlocked operations

NTKERNELAPI LONG InterlockedIncrement(LONG volatile *Addend);
NTKERNELAPI LONG InterlockedDecrement(LONG volatile *Addend);
NTKERNELAPI LONG InterlockedExchange(LONG volatile *Target, LONG Value);
NTKERNELAPI LONG InterlockedExchangeAdd(LONG volatile *Addend, LONG Value);
NTKERNELAPI LONG InterlockedCompareExchange(LONG volatile *Destination,
                                            LONG Exchange, LONG Comparand);
NTKERNELAPI LONG InterlockedOr(LONG volatile *Destination, LONG Value);
NTKERNELAPI LONG InterlockedAnd(LONG volatile *Destination, LONG Value);
NTKERNELAPI PVOID InterlockedExchangePointer(PVOID volatile *Target,
                                             PVOID Value);
NTKERNELAPI PVOID InterlockedCompareExchangePointer(PVOID volatile *Destination,
                                                    PVOID Exchange,
                                                    PVOID Comparand);

// ---------------------------------------------------------------------------
// Pool

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  NonPagedPoolExecute = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolNx = 512,
} POOL_TYPE;

NTKERNELAPI PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType,
                                        SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
NTKERNELAPI void ExFreePoolWithTag(PVOID P, ULONG Tag);
NTKERNELAPI void ExFreePool(PVOID P);

// ---------------------------------------------------------------------------
// Objects, handles and system threads

typedef struct _OBJECT_TYPE *POBJECT_TYPE;
extern POBJECT_TYPE *PsThreadType;

typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define OBJ_INHERIT 0x00000002L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L
#define InitializeObjectAttributes(p, n, a, r, s)                              \
  do {                                                                         \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);                                   \
    (p)->RootDirectory = (r);                                                  \
    (p)->Attributes = (a);                                                     \
    (p)->ObjectName = (n);                                                     \
    (p)->SecurityDescriptor = (s);                                             \
    (p)->SecurityQualityOfService = NULL;                                      \
  } while (0)

typedef struct _OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

typedef struct _CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)
#define GENERIC_ALL 0x10000000L

typedef void(NTAPI KSTART_ROUTINE)(PVOID StartContext);
typedef KSTART_ROUTINE *PKSTART_ROUTINE;

NTKERNELAPI NTSTATUS PsCreateSystemThread(
    PHANDLE ThreadHandle, ULONG DesiredAccess,
    POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
    PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext);
NTKERNELAPI NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
NTKERNELAPI PKTHREAD KeGetCurrentThread(void);
NTKERNELAPI PETHREAD PsGetCurrentThread(void);
NTKERNELAPI KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
NTKERNELAPI KPRIORITY KeQueryPriorityThread(PKTHREAD Thread);

NTKERNELAPI NTSTATUS ObReferenceObjectByHandle(
    HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
    KPROCESSOR_MODE AccessMode, PVOID *Object,
    POBJECT_HANDLE_INFORMATION HandleInformation);
NTKERNELAPI LONG_PTR ObfReferenceObject(PVOID Object);
NTKERNELAPI LONG_PTR ObfDereferenceObject(PVOID Object);
#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)

NTSYSAPI NTSTATUS ZwClose(HANDLE Handle);

// ---------------------------------------------------------------------------
// Run-time library: memory and strings

#define RtlCopyMemory(Destination, Source, Length)                             \
  __builtin_memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length)                             \
  __builtin_memmove((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill)                               \
  __builtin_memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length)                                     \
  __builtin_memset((Destination), 0, (Length))
#define RtlEqualMemory(Destination, Source, Length)                            \
  (!__builtin_memcmp((Destination), (Source), (Length)))

NTSYSAPI SIZE_T RtlCompareMemory(const void *Source1, const void *Source2,
                                 SIZE_T Length);

NTSYSAPI void RtlInitUnicodeString(PUNICODE_STRING DestinationString,
                                   PCWSTR SourceString);
NTSYSAPI void RtlInitAnsiString(PANSI_STRING DestinationString,
                                PCSZ SourceString);
NTSYSAPI void RtlInitString(PSTRING DestinationString, PCSZ SourceString);
NTSYSAPI NTSTATUS RtlAnsiStringToUnicodeString(
    PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
    BOOLEAN AllocateDestinationString);
NTSYSAPI NTSTATUS RtlUnicodeStringToAnsiString(
    PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
    BOOLEAN AllocateDestinationString);
NTSYSAPI void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
NTSYSAPI void RtlFreeAnsiString(PANSI_STRING AnsiString);
NTSYSAPI void RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                   PCUNICODE_STRING SourceString);
NTSYSAPI NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                 PCUNICODE_STRING Source);
NTSYSAPI NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination,
                                           PCWSTR Source);
NTSYSAPI BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1,
                                       PCUNICODE_STRING String2,
                                       BOOLEAN CaseInSensitive);
NTSYSAPI LONG RtlCompareUnicodeString(PCUNICODE_STRING String1,
                                      PCUNICODE_STRING String2,
                                      BOOLEAN CaseInSensitive);
NTSYSAPI NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base,
                                            PUNICODE_STRING String);
NTSYSAPI NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base,
                                            PULONG Value);

// ---------------------------------------------------------------------------
// Registry

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_SERVICES 1
#define RTL_REGISTRY_CONTROL 2
#define RTL_REGISTRY_WINDOWS_NT 3
#define RTL_REGISTRY_DEVICEMAP 4
#define RTL_REGISTRY_USER 5
#define RTL_REGISTRY_MAXIMUM 6
#define RTL_REGISTRY_HANDLE 0x40000000
#define RTL_REGISTRY_OPTIONAL 0x80000000

#define RTL_QUERY_REGISTRY_SUBKEY 0x00000001
#define RTL_QUERY_REGISTRY_TOPKEY 0x00000002
#define RTL_QUERY_REGISTRY_REQUIRED 0x00000004
#define RTL_QUERY_REGISTRY_NOVALUE 0x00000008
#define RTL_QUERY_REGISTRY_NOEXPAND 0x00000010
#define RTL_QUERY_REGISTRY_DIRECT 0x00000020
#define RTL_QUERY_REGISTRY_DELETE 0x00000040
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24

typedef NTSTATUS(NTAPI RTL_QUERY_REGISTRY_ROUTINE)(
    PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
    PVOID Context, PVOID EntryContext);
typedef RTL_QUERY_REGISTRY_ROUTINE *PRTL_QUERY_REGISTRY_ROUTINE;

typedef struct _RTL_QUERY_REGISTRY_TABLE {
  PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
  ULONG Flags;
  PWSTR Name;
  PVOID EntryContext;
  ULONG DefaultType;
  PVOID DefaultData;
  ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;

NTSYSAPI NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                         PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                         PVOID Context, PVOID Environment);

// ---------------------------------------------------------------------------
// Debugging

// No printf format checking: the kernel's conversions differ from the C
// library's (%lx takes a 32-bit ULONG, %wZ a UNICODE_STRING).
NTSYSAPI ULONG DbgPrint(PCSTR Format, ...);
NTSYSAPI ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
NTSYSAPI ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format,
                           va_list arglist);
NTSYSAPI void RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber,
                        PSTR Message);
NTKERNELAPI void TalvorPageableCheck(PCSTR Routine);

#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3

#define KdPrint(_x_) DbgPrint _x_
#define KdPrintEx(_x_) DbgPrintEx _x_

// A failed assertion reports (and the verifier records it); execution goes
// on, as in a checked build continued from the debugger.
#define ASSERT(exp)                                                            \
  ((!(exp))                                                                    \
       ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, NULL), FALSE)     \
       : TRUE)
#define ASSERTMSG(msg, exp)                                                    \
  ((!(exp))                                                                    \
       ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, (PSTR)(msg)),     \
          FALSE)                                                               \
       : TRUE)
#define NT_ASSERT(exp) ASSERT(exp)

// Pageable routines begin with PAGED_CODE(): above APC_LEVEL it traces the
// checked kernel's line and the verifier records the routine.
#define PAGED_CODE() TalvorPageableCheck(__func__)

// ---------------------------------------------------------------------------
// System information

NTKERNELAPI BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion,
                                            UCHAR MinorVersion);

EXTERN_C_END
