#include "platform/kernel/iomgr.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/kernel/kernel.h"
#include "platform/kernel/scheduler.h"
#include "platform/kernel/text.h"
#include "platform/kernel/utf16.h"

namespace talvor::kernel {

namespace {

constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeIrp = 6;
constexpr ULONG kDeviceTag = make_pool_tag("Devi");
constexpr ULONG kIrpTag = make_pool_tag("Irp ");
constexpr ULONG kBufferTag = make_pool_tag("IoBu");
constexpr ULONG kWorkItemTag = make_pool_tag("IoWk");
constexpr ULONG kInterfaceTag = make_pool_tag("IoIf");
constexpr ULONG kErrorLogTag = make_pool_tag("IoEr");

std::size_t align16(std::size_t size) {
  return (size + 15) & ~std::size_t{15};
}

std::string from_unicode(PCUNICODE_STRING text) {
  if (text == nullptr || text->Buffer == nullptr)
    return {};
  return utf16_to_utf8(
      std::u16string_view(reinterpret_cast<const char16_t *>(text->Buffer),
                          text->Length / sizeof(WCHAR)));
}

std::string guid_text(const GUID &guid) {
  char text[40];
  std::snprintf(text, sizeof text,
                "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                guid.Data1, guid.Data2, guid.Data3, guid.Data4[0],
                guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

bool same_guid(const GUID &a, const GUID &b) {
  return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

// Every major function starts here: fail cleanly, as the kernel's default.
NTSTATUS invalid_device_request(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

} // namespace

struct IoManager::DeviceRecord {
  std::string name;
  bool exclusive = false;
  bool deleted = false;
  LONG references = 0;               // open handles, queued work items
  PDEVICE_OBJECT lower = nullptr;    // the device it is attached to
  PDEVICE_OBJECT physical = nullptr; // bottom of the stack it joined
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

IoManager::IoManager(Kernel &kernel) : kernel_(kernel) {}

IoManager::~IoManager() {
  for (auto &[device, record] : devices_)
    delete record;
  for (auto &[irp, record] : irps_)
    delete record;
  for (auto &[item, record] : work_items_)
    delete record;
  for (auto &[entry, record] : log_entries_)
    delete record;
  for (auto &[driver, name] : drivers_) {
    delete driver->DriverExtension;
    delete driver;
  }
}

void IoManager::report(FindingKind kind, const std::string &message,
                       const void *site) const {
  kernel_.verifier().report(kind, message, describe_code_address(site));
}

void *IoManager::allocate(std::size_t size, ULONG tag, const void *site) {
  return kernel_.pool().allocate(NonPagedPool, size, tag, KeGetCurrentIrql(),
                                 site);
}

void IoManager::release(void *block, const void *site) {
  kernel_.pool().free(block, std::nullopt, KeGetCurrentIrql(), site);
}

IoManager::DeviceRecord *IoManager::record_of(PDEVICE_OBJECT device) const {
  auto found = devices_.find(device);
  return found == devices_.end() ? nullptr : found->second;
}

IoManager::IrpRecord *IoManager::record_of(PIRP irp) const {
  auto found = irps_.find(irp);
  return found == irps_.end() ? nullptr : found->second;
}

// ---------------------------------------------------------------------------
// Driver objects

PDRIVER_OBJECT IoManager::create_driver(const std::string &name,
                                        const std::string &service_key) {
  auto *driver = new DRIVER_OBJECT{};
  driver->Type = kIoTypeDriver;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = new DRIVER_EXTENSION{};
  driver->DriverExtension->DriverObject = driver;
  for (auto &dispatch : driver->MajorFunction)
    dispatch = invalid_device_request;
  std::lock_guard guard(io_lock_);
  drivers_[driver] = name + "\n" + service_key;
  return driver;
}

void IoManager::delete_driver(PDRIVER_OBJECT driver) {
  std::lock_guard guard(io_lock_);
  auto found = drivers_.find(driver);
  if (found == drivers_.end())
    return;
  for (auto &[device, record] : devices_)
    if (device->DriverObject == driver && !record->deleted)
      kernel_.verifier().report(
          FindingKind::DeviceLeak,
          "driver object deleted while its device " +
              (record->name.empty() ? format_address(device) : record->name) +
              " still exists");
  drivers_.erase(found);
  delete driver->DriverExtension;
  delete driver;
}

std::vector<PDEVICE_OBJECT> IoManager::devices_of(PDRIVER_OBJECT driver) const {
  std::lock_guard guard(io_lock_);
  std::vector<PDEVICE_OBJECT> devices;
  for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr;
       device = device->NextDevice)
    devices.push_back(device);
  return devices;
}

bool IoManager::holds_devices(PDRIVER_OBJECT driver) const {
  std::lock_guard guard(io_lock_);
  for (const auto &[device, record] : devices_)
    if (device->DriverObject == driver)
      return true;
  return false;
}

// ---------------------------------------------------------------------------
// Device objects

NTSTATUS IoManager::create_device(PDRIVER_OBJECT driver, ULONG extension_size,
                                  PUNICODE_STRING name, DEVICE_TYPE type,
                                  ULONG characteristics, bool exclusive,
                                  PDEVICE_OBJECT *device, const void *site) {
  if (device == nullptr)
    return STATUS_INVALID_PARAMETER;
  *device = nullptr;
  std::string text = from_unicode(name);
  {
    std::lock_guard guard(io_lock_);
    if (drivers_.find(driver) == drivers_.end()) {
      report(FindingKind::DeviceMisuse,
             "IoCreateDevice for an unknown driver object", site);
      return STATUS_INVALID_PARAMETER;
    }
    if (text.empty() && (characteristics & FILE_AUTOGENERATED_DEVICE_NAME)) {
      char generated[32];
      std::snprintf(generated, sizeof generated, "\\Device\\%08llX",
                    static_cast<unsigned long long>(next_device_number_++));
      text = generated;
    }
    if (!text.empty())
      for (auto &[other, record] : devices_)
        if (!record->deleted && equal_ignoring_case(record->name, text))
          return STATUS_OBJECT_NAME_COLLISION;
  }
  std::size_t size = align16(sizeof(DEVICE_OBJECT)) + extension_size;
  auto *object = static_cast<PDEVICE_OBJECT>(allocate(size, kDeviceTag, site));
  if (object == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(object, 0, size);
  object->Type = kIoTypeDevice;
  object->Size = static_cast<USHORT>(std::min<std::size_t>(size, 0xFFFF));
  object->DriverObject = driver;
  object->DeviceExtension = extension_size ? reinterpret_cast<PCHAR>(object) +
                                                 align16(sizeof(DEVICE_OBJECT))
                                           : nullptr;
  object->DeviceType = type;
  object->Characteristics = characteristics;
  object->StackSize = 1;
  object->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);

  auto *record = new DeviceRecord;
  record->name = text;
  record->exclusive = exclusive;
  std::lock_guard guard(io_lock_);
  object->NextDevice = driver->DeviceObject;
  driver->DeviceObject = object;
  devices_[object] = record;
  *device = object;
  return STATUS_SUCCESS;
}

void IoManager::delete_device(PDEVICE_OBJECT device, const void *site) {
  std::unique_lock guard(io_lock_);
  DeviceRecord *record = record_of(device);
  if (record == nullptr || record->deleted) {
    report(FindingKind::DeviceMisuse,
           "IoDeleteDevice of an unknown or already deleted device object " +
               format_address(device),
           site);
    return;
  }
  std::string name =
      record->name.empty() ? format_address(device) : record->name;
  // A device still in a stack stays in memory: other devices point at it.
  bool pinned = false;
  if (device->AttachedDevice != nullptr) {
    // A bus deletes its PDO at REMOVE while the function device above is
    // still attached; the object lives on until that device detaches. Only
    // a device in the middle of a stack may not go.
    if (record->lower != nullptr)
      report(FindingKind::DeviceMisuse,
             "device " + name + " deleted while a device is attached above it",
             site);
    pinned = true;
  }
  if (record->lower != nullptr) {
    report(FindingKind::DeviceMisuse,
           "device " + name +
               " deleted while still attached (IoDetachDevice "
               "first)",
           site);
    pinned = true;
  }
  for (const auto &interface : interfaces_)
    if (interface.enabled && (interface.physical_device == device ||
                              interface.physical_device == record->physical))
      report(FindingKind::DeviceMisuse,
             "device " + name + " deleted while its interface " +
                 interface.symbolic_link + " is still enabled",
             site);
  for (const auto &[irp, irp_record] : irps_)
    if (irp_record->state == IrpState::InFlight &&
        irp_record->current_device == device)
      report(FindingKind::IrpLeftPending,
             "IRP " + format_address(irp) + " left pending in device " + name +
                 " as it is deleted",
             site);

  PDRIVER_OBJECT driver = device->DriverObject;
  for (PDEVICE_OBJECT *link = &driver->DeviceObject; *link != nullptr;
       link = &(*link)->NextDevice)
    if (*link == device) {
      *link = device->NextDevice;
      break;
    }
  record->deleted = true;
  if (pinned)
    ++record->references;
  if (record->references == 0) {
    devices_.erase(device);
    delete record;
    guard.unlock();
    release(device, site);
  }
}

void IoManager::reference_device(PDEVICE_OBJECT device) {
  std::lock_guard guard(io_lock_);
  if (DeviceRecord *record = record_of(device))
    ++record->references;
}

void IoManager::dereference_device(PDEVICE_OBJECT device) {
  std::unique_lock guard(io_lock_);
  DeviceRecord *record = record_of(device);
  if (record == nullptr || --record->references > 0 || !record->deleted)
    return;
  devices_.erase(device);
  delete record;
  guard.unlock();
  release(device, nullptr);
}

bool IoManager::is_deleted(PDEVICE_OBJECT device) const {
  std::lock_guard guard(io_lock_);
  DeviceRecord *record = record_of(device);
  return record == nullptr || record->deleted;
}

PDEVICE_OBJECT IoManager::attach(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
  std::lock_guard guard(io_lock_);
  DeviceRecord *source_record = record_of(source);
  DeviceRecord *target_record = record_of(target);
  if (source_record == nullptr || target_record == nullptr ||
      source_record->deleted || target_record->deleted) {
    report(FindingKind::DeviceMisuse,
           "IoAttachDeviceToDeviceStack with an unknown or deleted device",
           __builtin_return_address(0));
    return nullptr;
  }
  if (source_record->lower != nullptr || source == target)
    return nullptr;
  PDEVICE_OBJECT bottom = target;
  while (DeviceRecord *below = record_of(bottom)) {
    if (below->lower == nullptr)
      break;
    bottom = below->lower;
  }
  PDEVICE_OBJECT top = target;
  while (top->AttachedDevice != nullptr)
    top = top->AttachedDevice;
  if (record_of(top)->deleted)
    return nullptr;
  top->AttachedDevice = source;
  source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  source_record->lower = top;
  source_record->physical = bottom;
  return top;
}

void IoManager::detach(PDEVICE_OBJECT target) {
  std::unique_lock guard(io_lock_);
  PDEVICE_OBJECT above = target != nullptr ? target->AttachedDevice : nullptr;
  DeviceRecord *record = above != nullptr ? record_of(above) : nullptr;
  if (record == nullptr) {
    report(FindingKind::DeviceMisuse,
           "IoDetachDevice of a device with nothing attached above it",
           __builtin_return_address(0));
    return;
  }
  record->lower = nullptr;
  target->AttachedDevice = nullptr;
  // A device deleted while still in the stack was kept for this moment.
  DeviceRecord *target_record = record_of(target);
  bool release_target = target_record != nullptr && target_record->deleted &&
                        target_record->lower == nullptr;
  bool release_above = record->deleted && above->AttachedDevice == nullptr;
  guard.unlock();
  if (release_target)
    dereference_device(target);
  if (release_above)
    dereference_device(above);
}

PDEVICE_OBJECT IoManager::find_device(const std::string &name) const {
  std::lock_guard guard(io_lock_);
  for (const auto &[device, record] : devices_)
    if (!record->deleted && !record->name.empty() &&
        equal_ignoring_case(record->name, name))
      return device;
  return nullptr;
}

std::string IoManager::name_of(PDEVICE_OBJECT device) const {
  std::lock_guard guard(io_lock_);
  DeviceRecord *record = record_of(device);
  return record != nullptr ? record->name : std::string();
}

bool IoManager::exclusive(PDEVICE_OBJECT device) const {
  std::lock_guard guard(io_lock_);
  DeviceRecord *record = record_of(device);
  return record != nullptr && record->exclusive;
}

// ---------------------------------------------------------------------------
// IRPs

PIRP IoManager::allocate_irp(CCHAR stack_size, IrpOrigin origin,
                             const void *site) {
  if (stack_size < 1) {
    report(FindingKind::IrpMisuse,
           "IoAllocateIrp with a stack size of " + std::to_string(stack_size),
           site);
    return nullptr;
  }
  std::size_t size = sizeof(IRP) + stack_size * sizeof(IO_STACK_LOCATION);
  auto *irp = static_cast<PIRP>(allocate(size, kIrpTag, site));
  if (irp == nullptr)
    return nullptr;
  std::memset(irp, 0, size);
  irp->Type = kIoTypeIrp;
  irp->Size = static_cast<USHORT>(size);
  irp->StackCount = stack_size;
  irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
  irp->Tail.Overlay.CurrentStackLocation =
      reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stack_size;
  if (Kernel::current() && kernel_.scheduler().current() != nullptr)
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
  InitializeListHead(&irp->ThreadListEntry);
  auto *record = new IrpRecord;
  record->origin = origin;
  record->site = site;
  std::lock_guard guard(io_lock_);
  irps_[irp] = record;
  return irp;
}

void IoManager::free_irp(PIRP irp, const void *site) {
  {
    std::lock_guard guard(io_lock_);
    IrpRecord *record = record_of(irp);
    if (record == nullptr) {
      report(FindingKind::IrpMisuse,
             "IoFreeIrp of an unknown or already freed IRP " +
                 format_address(irp),
             site);
      return;
    }
    if (record->state == IrpState::InFlight) {
      // Freeing it would leave the driver that holds it with freed memory.
      report(FindingKind::IrpMisuse,
             "IoFreeIrp of IRP " + format_address(irp) +
                 " while a driver still holds it",
             site);
      return;
    }
    if (irp->CancelRoutine != nullptr)
      report(FindingKind::IrpMisuse,
             "IoFreeIrp of IRP " + format_address(irp) +
                 " with a cancel routine still set",
             site);
    irps_.erase(irp);
    delete record;
  }
  release(irp, site);
}

void IoManager::reuse_irp(PIRP irp, NTSTATUS status, const void *site) {
  wait_for_routine(irp);
  std::lock_guard guard(io_lock_);
  IrpRecord *record = record_of(irp);
  if (record == nullptr || record->state == IrpState::InFlight) {
    report(FindingKind::IrpMisuse,
           "IoReuseIrp of an unknown IRP or one a driver still holds", site);
    return;
  }
  CCHAR stack_size = irp->StackCount;
  USHORT size = irp->Size;
  std::memset(irp, 0, size);
  irp->Type = kIoTypeIrp;
  irp->Size = size;
  irp->StackCount = stack_size;
  irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
  irp->Tail.Overlay.CurrentStackLocation =
      reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stack_size;
  irp->IoStatus.Status = status;
  InitializeListHead(&irp->ThreadListEntry);
  record->state = IrpState::Owned;
}

void IoManager::set_final_completion(PIRP irp,
                                     std::function<void(PIRP)> handler) {
  std::lock_guard guard(io_lock_);
  if (IrpRecord *record = record_of(irp)) {
    record->origin = IrpOrigin::Platform;
    record->final_completion = std::move(handler);
  }
}

std::optional<IrpState> IoManager::irp_state(PIRP irp) const {
  std::lock_guard guard(io_lock_);
  IrpRecord *record = record_of(irp);
  if (record == nullptr)
    return std::nullopt;
  return record->state;
}

PIRP IoManager::build_device_io_control(ULONG code, PDEVICE_OBJECT device,
                                        PVOID input, ULONG input_length,
                                        PVOID output, ULONG output_length,
                                        bool internal, PKEVENT event,
                                        PIO_STATUS_BLOCK status_block,
                                        const void *site) {
  if (device == nullptr || is_deleted(device))
    return nullptr;
  PIRP irp = allocate_irp(device->StackSize, IrpOrigin::Built, site);
  if (irp == nullptr)
    return nullptr;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction =
      internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = code;
  next->Parameters.DeviceIoControl.InputBufferLength = input_length;
  next->Parameters.DeviceIoControl.OutputBufferLength = output_length;
  irp->UserIosb = status_block;
  irp->UserEvent = event;
  irp->UserBuffer = output;
  irp->RequestorMode = KernelMode;

  PVOID system_buffer = nullptr;
  if (METHOD_FROM_CTL_CODE(code) == METHOD_NEITHER) {
    next->Parameters.DeviceIoControl.Type3InputBuffer = input;
  } else {
    // Buffered (and, hosted, the direct methods too): one system buffer of
    // the larger length, holding the input on the way down.
    ULONG length = std::max(input_length, output_length);
    if (length > 0) {
      system_buffer = allocate(length, kBufferTag, site);
      if (system_buffer == nullptr) {
        free_irp(irp, site);
        return nullptr;
      }
      std::memset(system_buffer, 0, length);
      if (input != nullptr && input_length > 0)
        std::memcpy(system_buffer, input, input_length);
    }
    irp->AssociatedIrp.SystemBuffer = system_buffer;
  }
  std::lock_guard guard(io_lock_);
  IrpRecord *record = record_of(irp);
  record->system_buffer = system_buffer;
  record->user_output = output;
  record->output_length = output_length;
  return irp;
}

NTSTATUS IoManager::call_driver(PDEVICE_OBJECT device, PIRP irp,
                                const void *site) {
  wait_for_routine(irp);
  {
    std::lock_guard guard(io_lock_);
    IrpRecord *record = record_of(irp);
    if (record == nullptr) {
      report(FindingKind::IrpMisuse,
             "IoCallDriver with an unknown or freed IRP " +
                 format_address(irp) + " (touched after completion?)",
             site);
      return STATUS_INVALID_PARAMETER;
    }
    DeviceRecord *device_record = record_of(device);
    if (device_record == nullptr) {
      report(FindingKind::DeviceMisuse,
             "IoCallDriver to an unknown device object " +
                 format_address(device),
             site);
      return STATUS_INVALID_PARAMETER;
    }
    if (record->state == IrpState::Completing ||
        record->state == IrpState::Completed) {
      report(FindingKind::IrpMisuse,
             "IoCallDriver with IRP " + format_address(irp) +
                 " while it is being completed",
             site);
      return STATUS_INVALID_PARAMETER;
    }
    if (irp->CurrentLocation <= 1) {
      report(FindingKind::IrpMisuse,
             "IoCallDriver with no stack location left in IRP " +
                 format_address(irp) + " for device " +
                 (device_record->name.empty() ? format_address(device)
                                              : device_record->name),
             site);
      return STATUS_INVALID_PARAMETER;
    }
    record->state = IrpState::InFlight;
    record->current_device = device;
  }
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  stack->DeviceObject = device;
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    report(FindingKind::IrqlMisuse,
           "IoCallDriver at IRQL " + std::to_string(KeGetCurrentIrql()), site);
  PDRIVER_DISPATCH dispatch =
      device->DriverObject->MajorFunction[stack->MajorFunction];
  kernel_.scheduler().yield();
  return dispatch(device, irp);
}

// A completion routine that wakes its owner (KeSetEvent) may be overtaken
// by it: the owner completes or resends the IRP before the routine has
// returned STATUS_MORE_PROCESSING_REQUIRED, as it may on Windows. Wait for
// the routine to be done with the IRP first.
void IoManager::wait_for_routine(PIRP irp) {
  Thread *self = kernel_.scheduler().current();
  for (;;) {
    {
      std::lock_guard guard(io_lock_);
      IrpRecord *record = record_of(irp);
      if (record == nullptr || record->routine_thread == nullptr ||
          record->routine_thread == self)
        return;
    }
    if (kernel_.clock() == Clock::Simulation)
      kernel_.scheduler().yield();
    else
      std::this_thread::yield();
  }
}

void IoManager::complete_request(PIRP irp, const void *site) {
  wait_for_routine(irp);
  {
    std::lock_guard guard(io_lock_);
    IrpRecord *record = record_of(irp);
    if (record == nullptr) {
      report(FindingKind::IrpCompletedTwice,
             "IoCompleteRequest of an unknown or already freed IRP " +
                 format_address(irp),
             site);
      return;
    }
    if (record->state == IrpState::Completing ||
        record->state == IrpState::Completed) {
      report(FindingKind::IrpCompletedTwice,
             "IRP " + format_address(irp) + " completed twice", site);
      return;
    }
    if (record->state == IrpState::Owned) {
      report(FindingKind::IrpMisuse,
             "IoCompleteRequest of IRP " + format_address(irp) +
                 " that no driver was given",
             site);
      return;
    }
    if (irp->CancelRoutine != nullptr) {
      report(FindingKind::IrpMisuse,
             "IRP " + format_address(irp) +
                 " completed with a cancel routine still set",
             site);
      irp->CancelRoutine = nullptr;
    }
    if (irp->IoStatus.Status == STATUS_PENDING)
      report(FindingKind::IrpMisuse,
             "IRP " + format_address(irp) + " completed with STATUS_PENDING",
             site);
    record->state = IrpState::Completing;
  }
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    report(FindingKind::IrqlMisuse,
           "IoCompleteRequest at IRQL " + std::to_string(KeGetCurrentIrql()),
           site);

  // Walk up the stack: each location's completion routine belongs to the
  // driver above it, and STATUS_MORE_PROCESSING_REQUIRED hands the IRP back.
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  IoSkipCurrentIrpStackLocation(irp);
  for (; irp->CurrentLocation <= irp->StackCount + 1;
       ++stack, IoSkipCurrentIrpStackLocation(irp)) {
    irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    NTSTATUS status = irp->IoStatus.Status;
    bool invoke =
        (NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
        (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
        (irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL));
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    std::memset(stack, 0, sizeof *stack);
    if (!invoke || routine == nullptr) {
      if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount)
        IoMarkIrpPending(irp);
      continue;
    }
    PDEVICE_OBJECT above =
        irp->CurrentLocation == irp->StackCount + 1
            ? nullptr
            : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    {
      std::lock_guard guard(io_lock_);
      if (IrpRecord *record = record_of(irp))
        record->routine_thread = kernel_.scheduler().current();
    }
    NTSTATUS result = routine(above, irp, context);
    std::lock_guard guard(io_lock_);
    IrpRecord *record = record_of(irp);
    if (record != nullptr)
      record->routine_thread = nullptr;
    if (result == STATUS_MORE_PROCESSING_REQUIRED) {
      if (record != nullptr && record->state == IrpState::Completing)
        record->state = IrpState::Returned;
      return;
    }
    if (record == nullptr) {
      report(FindingKind::IrpMisuse,
             "a completion routine freed IRP " + format_address(irp) +
                 " without returning STATUS_MORE_PROCESSING_REQUIRED",
             reinterpret_cast<const void *>(routine));
      return;
    }
  }

  IrpRecord *record;
  {
    std::lock_guard guard(io_lock_);
    record = record_of(irp);
    record->state = IrpState::Completed;
  }
  finish_irp(irp, *record);
  kernel_.scheduler().yield();
}

// The top of the walk: whoever made the IRP takes it back.
void IoManager::finish_irp(PIRP irp, IrpRecord &record) {
  switch (record.origin) {
  case IrpOrigin::Platform: {
    auto handler = std::move(record.final_completion);
    if (handler) {
      handler(irp);
      return;
    }
    break;
  }
  case IrpOrigin::Built:
    if (record.system_buffer != nullptr && record.user_output != nullptr &&
        !NT_ERROR(irp->IoStatus.Status)) {
      ULONG_PTR length =
          std::min<ULONG_PTR>(irp->IoStatus.Information, record.output_length);
      if (irp->IoStatus.Information > record.output_length)
        report(FindingKind::IrpMisuse,
               "IRP " + format_address(irp) + " completed with Information " +
                   std::to_string(irp->IoStatus.Information) +
                   " beyond its output buffer of " +
                   std::to_string(record.output_length),
               record.site);
      std::memcpy(record.user_output, record.system_buffer, length);
    }
    break;
  case IrpOrigin::Allocated:
    if (irp->UserIosb == nullptr && irp->UserEvent == nullptr)
      report(FindingKind::IrpMisuse,
             "IRP " + format_address(irp) +
                 " from IoAllocateIrp completed to the top: its owner must "
                 "take it back with STATUS_MORE_PROCESSING_REQUIRED",
             record.site);
    break;
  }
  PIO_STATUS_BLOCK status_block = irp->UserIosb;
  PKEVENT event = irp->UserEvent;
  IO_STATUS_BLOCK result = irp->IoStatus;
  if (record.system_buffer != nullptr)
    release(record.system_buffer, record.site);
  {
    std::lock_guard guard(io_lock_);
    irps_.erase(irp);
  }
  delete &record;
  release(irp, nullptr);
  if (status_block != nullptr)
    *status_block = result;
  if (event != nullptr)
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

bool IoManager::cancel_irp(PIRP irp, const void *site) {
  {
    std::lock_guard guard(io_lock_);
    if (record_of(irp) == nullptr) {
      report(FindingKind::IrpMisuse,
             "IoCancelIrp of an unknown or freed IRP " + format_address(irp),
             site);
      return false;
    }
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  irp->Cancel = TRUE;
  auto routine = reinterpret_cast<PDRIVER_CANCEL>(InterlockedExchangePointer(
      reinterpret_cast<PVOID volatile *>(&irp->CancelRoutine), nullptr));
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return false;
  }
  irp->CancelIrql = irql;
  PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
  routine(device, irp);
  Thread *self = kernel_.scheduler().current();
  if (self != nullptr &&
      std::find(self->held_locks.begin(), self->held_locks.end(),
                &cancel_spin_lock_) != self->held_locks.end())
    report(FindingKind::SpinLockMisuse,
           "cancel routine returned holding the cancel spin lock",
           reinterpret_cast<const void *>(routine));
  return true;
}

// ---------------------------------------------------------------------------
// Work items

PIO_WORKITEM IoManager::allocate_work_item(PDEVICE_OBJECT device,
                                           const void *site) {
  auto *item = static_cast<PIO_WORKITEM>(allocate(16, kWorkItemTag, site));
  if (item == nullptr)
    return nullptr;
  auto *record = new WorkItem;
  record->device = device;
  record->manager = this;
  std::lock_guard guard(io_lock_);
  work_items_[item] = record;
  return item;
}

void IoManager::free_work_item(PIO_WORKITEM item, const void *site) {
  {
    std::lock_guard guard(io_lock_);
    auto found = work_items_.find(item);
    if (found == work_items_.end()) {
      report(FindingKind::ObjectMisuse,
             "IoFreeWorkItem of an unknown work item", site);
      return;
    }
    if (found->second->queued) {
      report(FindingKind::ObjectMisuse,
             "IoFreeWorkItem of a work item still queued", site);
      return;
    }
    delete found->second;
    work_items_.erase(found);
  }
  release(item, site);
}

void IoManager::queue_work_item(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine,
                                PVOID context, const void *site) {
  WorkItem *record;
  {
    std::lock_guard guard(io_lock_);
    auto found = work_items_.find(item);
    if (found == work_items_.end() || found->second->queued) {
      report(FindingKind::ObjectMisuse,
             "IoQueueWorkItem of an unknown or already queued work item", site);
      return;
    }
    record = found->second;
    record->queued = true;
    record->routine = routine;
    record->context = context;
  }
  reference_device(record->device);
  // A system worker thread of its own: the routine may wait.
  kernel_.scheduler().start_kernel_thread(run_work_item, record);
}

void IoManager::run_work_item(PVOID context) {
  auto *record = static_cast<WorkItem *>(context);
  PDEVICE_OBJECT device = record->device;
  IoManager *manager = record->manager;
  PIO_WORKITEM_ROUTINE routine = record->routine;
  PVOID routine_context = record->context;
  {
    // The routine may free its own work item: it is no longer queued.
    std::lock_guard guard(manager->io_lock_);
    record->queued = false;
  }
  routine(device, routine_context);
  manager->dereference_device(device);
}

// ---------------------------------------------------------------------------
// Device interfaces

NTSTATUS IoManager::register_interface(PDEVICE_OBJECT physical_device,
                                       const GUID *class_guid,
                                       PUNICODE_STRING reference,
                                       PUNICODE_STRING symbolic_link,
                                       const void *site) {
  if (class_guid == nullptr || symbolic_link == nullptr)
    return STATUS_INVALID_PARAMETER;
  std::string link;
  {
    std::lock_guard guard(io_lock_);
    DeviceRecord *record = record_of(physical_device);
    if (record == nullptr || record->deleted || record->lower != nullptr) {
      report(FindingKind::DeviceMisuse,
             "IoRegisterDeviceInterface on something that is not a physical "
             "device object",
             site);
      return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::string instance =
        record->name.empty() ? format_address(physical_device) : record->name;
    for (char &c : instance)
      if (c == '\\' || c == '/')
        c = '#';
    while (!instance.empty() && instance.front() == '#')
      instance.erase(0, 1);
    link = "\\??\\" + instance + "#" + guid_text(*class_guid);
    std::string reference_text = from_unicode(reference);
    if (!reference_text.empty())
      link += "\\" + reference_text;
    auto existing = std::find_if(
        interfaces_.begin(), interfaces_.end(),
        [&](const auto &known) { return known.symbolic_link == link; });
    if (existing == interfaces_.end())
      interfaces_.push_back({link, *class_guid, physical_device, false});
  }
  std::u16string wide = utf8_to_utf16(link);
  std::size_t bytes = (wide.size() + 1) * sizeof(char16_t);
  auto *buffer = static_cast<PWSTR>(allocate(bytes, kInterfaceTag, site));
  if (buffer == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, wide.c_str(), bytes);
  symbolic_link->Buffer = buffer;
  symbolic_link->Length = static_cast<USHORT>(wide.size() * sizeof(char16_t));
  symbolic_link->MaximumLength = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}

NTSTATUS IoManager::set_interface_state(PUNICODE_STRING symbolic_link,
                                        bool enable, const void *site) {
  std::string link = from_unicode(symbolic_link);
  std::lock_guard guard(io_lock_);
  for (auto &interface : interfaces_) {
    if (interface.symbolic_link != link)
      continue;
    if (enable && interface.enabled)
      return STATUS_OBJECT_NAME_EXISTS;
    DeviceRecord *record = record_of(interface.physical_device);
    if (enable && (record == nullptr || record->deleted))
      return STATUS_INVALID_DEVICE_REQUEST;
    interface.enabled = enable;
    return STATUS_SUCCESS;
  }
  (void)site;
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

std::vector<DeviceInterface>
IoManager::interfaces(const GUID &class_guid) const {
  std::lock_guard guard(io_lock_);
  std::vector<DeviceInterface> result;
  for (const auto &interface : interfaces_)
    if (interface.enabled && same_guid(interface.class_guid, class_guid))
      result.push_back(interface);
  return result;
}

PDEVICE_OBJECT
IoManager::open_interface(const std::string &symbolic_link) const {
  std::lock_guard guard(io_lock_);
  for (const auto &interface : interfaces_)
    if (interface.enabled &&
        equal_ignoring_case(interface.symbolic_link, symbolic_link)) {
      PDEVICE_OBJECT top = interface.physical_device;
      while (top->AttachedDevice != nullptr)
        top = top->AttachedDevice;
      return top;
    }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Event log

PVOID IoManager::allocate_error_log_entry(PVOID io_object, UCHAR size,
                                          const void *site) {
  if (io_object == nullptr || size < sizeof(IO_ERROR_LOG_PACKET) ||
      size > ERROR_LOG_MAXIMUM_SIZE)
    return nullptr;
  void *entry = allocate(size, kErrorLogTag, site);
  if (entry == nullptr)
    return nullptr;
  std::memset(entry, 0, size);
  auto *record = new LogEntry;
  record->size = size;
  std::lock_guard guard(io_lock_);
  auto *maybe_device = static_cast<PDEVICE_OBJECT>(io_object);
  auto *maybe_driver = static_cast<PDRIVER_OBJECT>(io_object);
  if (DeviceRecord *device = record_of(maybe_device))
    record->object =
        device->name.empty() ? format_address(io_object) : device->name;
  else if (auto driver = drivers_.find(maybe_driver); driver != drivers_.end())
    record->object = driver->second.substr(0, driver->second.find('\n'));
  else
    record->object = format_address(io_object);
  log_entries_[entry] = record;
  return entry;
}

void IoManager::write_error_log_entry(PVOID entry, const void *site) {
  LogEntry *record;
  {
    std::lock_guard guard(io_lock_);
    auto found = log_entries_.find(entry);
    if (found == log_entries_.end()) {
      report(FindingKind::ObjectMisuse,
             "IoWriteErrorLogEntry of an entry that was not allocated", site);
      return;
    }
    record = found->second;
    log_entries_.erase(found);
  }
  const auto *packet = static_cast<const IO_ERROR_LOG_PACKET *>(entry);
  const auto *bytes = static_cast<const unsigned char *>(entry);
  ErrorLogEntry written;
  written.device = record->object;
  written.error_code = packet->ErrorCode;
  written.final_status = packet->FinalStatus;
  written.unique_error_value = packet->UniqueErrorValue;
  written.major_function = packet->MajorFunctionCode;
  written.time = kernel_.now();
  // Lengths come from the driver: stay inside the entry.
  std::size_t dump_offset = offsetof(IO_ERROR_LOG_PACKET, DumpData);
  std::size_t dump_bytes =
      std::min<std::size_t>(packet->DumpDataSize, record->size - dump_offset);
  for (std::size_t i = 0; i + sizeof(ULONG) <= dump_bytes; i += sizeof(ULONG)) {
    ULONG value;
    std::memcpy(&value, bytes + dump_offset + i, sizeof value);
    written.dump_data.push_back(value);
  }
  std::size_t offset = packet->StringOffset;
  for (USHORT n = 0; n < packet->NumberOfStrings && offset < record->size;
       ++n) {
    std::u16string text;
    while (offset + 1 < record->size) {
      char16_t unit;
      std::memcpy(&unit, bytes + offset, sizeof unit);
      offset += sizeof unit;
      if (unit == 0)
        break;
      text.push_back(unit);
    }
    written.strings.push_back(utf16_to_utf8(text));
  }
  delete record;
  {
    std::lock_guard guard(io_lock_);
    error_log_.push_back(std::move(written));
  }
  release(entry, site);
}

void IoManager::free_error_log_entry(PVOID entry, const void *site) {
  {
    std::lock_guard guard(io_lock_);
    auto found = log_entries_.find(entry);
    if (found == log_entries_.end()) {
      report(FindingKind::ObjectMisuse,
             "IoFreeErrorLogEntry of an entry that was not allocated", site);
      return;
    }
    delete found->second;
    log_entries_.erase(found);
  }
  release(entry, site);
}

std::vector<ErrorLogEntry> IoManager::error_log() const {
  std::lock_guard guard(io_lock_);
  return error_log_;
}

// ---------------------------------------------------------------------------

void IoManager::check_teardown() {
  std::lock_guard guard(io_lock_);
  for (const auto &[irp, record] : irps_)
    if (record->state == IrpState::InFlight)
      report(FindingKind::IrpLeftPending,
             "IRP " + format_address(irp) + " still held by " +
                 (devices_.count(record->current_device)
                      ? (devices_.at(record->current_device)->name.empty()
                             ? format_address(record->current_device)
                             : devices_.at(record->current_device)->name)
                      : std::string("a deleted device")),
             record->site);
  for (const auto &[device, record] : devices_)
    if (!record->deleted)
      kernel_.verifier().report(
          FindingKind::DeviceLeak,
          "device object " +
              (record->name.empty() ? format_address(device) : record->name) +
              " was never deleted");
}

} // namespace talvor::kernel
