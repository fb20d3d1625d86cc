// The I/O manager's private records, shared by the files that implement it
// (devices and IRPs, work items, device interfaces, the event log).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <wdm.h>

#include "platform/kernel/iomgr.h"

namespace talvor::kernel {

struct IoManager::DeviceRecord {
  std::string name;
  bool exclusive = false;
  bool deleted = false;
  LONG references = 0;               // open handles, queued work items
  PDEVICE_OBJECT lower = nullptr;    // the device it is attached to
  PDEVICE_OBJECT physical = nullptr; // bottom of the stack it joined
};

// One IoCallDriver, held to the pending rule: STATUS_PENDING returned
// exactly when the dispatch routine's stack location was marked pending.
// Judged once both the return and the mark are known: the mark when the
// completion walk passes the location, or at the return if it already has.
// A frame outlives its IRP once the walk has passed: the IRP may be freed
// before the dispatch routine returns.
struct IoManager::CallFrame {
  std::uint64_t id = 0;
  PIRP irp = nullptr;
  CCHAR location = 0; // the dispatch routine's stack location
  PDRIVER_DISPATCH dispatch = nullptr;
  UCHAR major = 0;
  std::string device;
  bool returned = false; // STATUS_PENDING returned, the walk not yet here
  bool passed = false;   // the walk has passed the location
  bool marked = false;   // SL_PENDING_RETURNED, once passed
};

struct IoManager::IrpRecord {
  IrpOrigin origin = IrpOrigin::Allocated;
  IrpState state = IrpState::Owned;
  // The thread running one of its completion routines, while it does.
  Thread *routine_thread = nullptr;
  PDEVICE_OBJECT current_device = nullptr;
  const void *site = nullptr;
  std::function<void(PIRP)> final_completion;
  // IoBuildDeviceIoControlRequest with METHOD_BUFFERED.
  PVOID system_buffer = nullptr;
  PVOID user_output = nullptr;
  ULONG output_length = 0;
};

struct IoManager::WorkItem {
  PDEVICE_OBJECT device = nullptr;
  bool queued = false;
  PIO_WORKITEM_ROUTINE routine = nullptr;
  PVOID context = nullptr;
  IoManager *manager = nullptr;
};

struct IoManager::LogEntry {
  std::string object;
  UCHAR size = 0;
};

// A counted string as UTF-8 (empty for none).
std::string unicode_text(PCUNICODE_STRING text);

} // namespace talvor::kernel
