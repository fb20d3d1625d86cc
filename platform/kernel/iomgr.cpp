// Device objects and their stacks, and IRPs with their completion and
// cancel protocol, held to the rules Driver Verifier enforces.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/kernel/iomgr_records.h"
#include "platform/kernel/irql.h"
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

std::size_t align16(std::size_t size) {
  return (size + 15) & ~std::size_t{15};
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

std::string unicode_text(PCUNICODE_STRING text) {
  if (text == nullptr || text->Buffer == nullptr)
    return {};
  return utf16_to_utf8(
      std::u16string_view(reinterpret_cast<const char16_t *>(text->Buffer),
                          text->Length / sizeof(WCHAR)));
}

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
  std::string text = unicode_text(name);
  {
    std::lock_guard guard(io_lock_);
    if (drivers_.find(driver) == drivers_.end()) {
      report(FindingKind::DeviceMisuse,
             "IoCreateDevice for an unknown driver object", site);
      return STATUS_INVALID_PARAMETER;
    }
    // The I/O manager names the device itself; a name passed along is not
    // used, so two drivers passing the same one do not collide.
    if (characteristics & FILE_AUTOGENERATED_DEVICE_NAME) {
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

namespace {

// The stack locations start one location past the IRP. A driver that fills
// the next location of an IRP that has none left writes this guard rather
// than the IRP's own fields, so that IoCallDriver can report it.
PIO_STACK_LOCATION first_location(PIRP irp) {
  return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 1;
}

} // namespace

PIRP IoManager::allocate_irp(CCHAR stack_size, IrpOrigin origin,
                             const void *site) {
  if (stack_size < 1) {
    report(FindingKind::IrpMisuse,
           "IoAllocateIrp with a stack size of " + std::to_string(stack_size),
           site);
    return nullptr;
  }
  std::size_t size = sizeof(IRP) + (stack_size + 1) * sizeof(IO_STACK_LOCATION);
  auto *irp = static_cast<PIRP>(allocate(size, kIrpTag, site));
  if (irp == nullptr)
    return nullptr;
  std::memset(irp, 0, size);
  irp->Type = kIoTypeIrp;
  irp->Size = static_cast<USHORT>(size);
  irp->StackCount = stack_size;
  irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
  irp->Tail.Overlay.CurrentStackLocation = first_location(irp) + stack_size;
  // No thread: an IRP from IoAllocateIrp is its owner's to take back.
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
    if (record->origin == IrpOrigin::Built)
      report(FindingKind::IrpMisuse,
             "IoFreeIrp of IRP " + format_address(irp) +
                 " built by the I/O manager, which frees it at completion",
             site);
    if (irp->CancelRoutine != nullptr)
      report(FindingKind::IrpMisuse,
             "IoFreeIrp of IRP " + format_address(irp) +
                 " with a cancel routine still set",
             site);
  }
  discard_irp(irp, site);
}

void IoManager::discard_irp(PIRP irp, const void *site) {
  {
    std::lock_guard guard(io_lock_);
    auto found = irps_.find(irp);
    if (found == irps_.end())
      return;
    delete found->second;
    irps_.erase(found);
    forget_calls(irp);
  }
  release(irp, site);
}

// The IRP's memory goes: calls the walk has not passed can no longer be
// judged. Called with io_lock_ held.
void IoManager::forget_calls(PIRP irp) {
  std::erase_if(calls_, [irp](const CallFrame &frame) {
    return frame.irp == irp && !frame.passed;
  });
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
  if (record->origin == IrpOrigin::Built) {
    report(FindingKind::IrpMisuse,
           "IoReuseIrp of IRP " + format_address(irp) +
               " built by the I/O manager, which frees it at completion",
           site);
    return;
  }
  CCHAR stack_size = irp->StackCount;
  USHORT size = irp->Size;
  std::memset(irp, 0, size);
  irp->Type = kIoTypeIrp;
  irp->Size = size;
  irp->StackCount = stack_size;
  irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
  irp->Tail.Overlay.CurrentStackLocation = first_location(irp) + stack_size;
  irp->IoStatus.Status = status;
  InitializeListHead(&irp->ThreadListEntry);
  record->state = IrpState::Owned;
  forget_calls(irp);
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
  // Queued to the calling thread, which the I/O manager completes it to.
  if (kernel_.scheduler().current() != nullptr)
    irp->Tail.Overlay.Thread = PsGetCurrentThread();

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
        discard_irp(irp, site);
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
  PDRIVER_DISPATCH dispatch;
  UCHAR major;
  std::uint64_t call;
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
    std::string name = device_record->name.empty() ? format_address(device)
                                                   : device_record->name;
    if (irp->CurrentLocation <= 1) {
      report(FindingKind::IrpMisuse,
             "IoCallDriver with no stack location left in IRP " +
                 format_address(irp) + " for device " + name,
             site);
      return STATUS_INVALID_PARAMETER;
    }
    record->state = IrpState::InFlight;
    record->current_device = device;
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->DeviceObject = device;
    major = stack->MajorFunction;
    dispatch = device->DriverObject->MajorFunction[major];
    call = next_call_++;
    CallFrame frame;
    frame.id = call;
    frame.irp = irp;
    frame.location = irp->CurrentLocation;
    frame.dispatch = dispatch;
    frame.major = major;
    frame.device = std::move(name);
    calls_.push_back(std::move(frame));
  }
  check_irql(major == IRP_MJ_PNP ? irql_rule("IoCallDriver with IRP_MJ_PNP")
                                 : irql_rule("IoCallDriver"),
             site);
  kernel_.scheduler().yield();
  RoutineEntry entry = enter_routine();
  NTSTATUS status = dispatch(device, irp);
  check_routine_return(entry, "dispatch", reinterpret_cast<void *>(dispatch));
  judge_return(irp, call, status);
  return status;
}

// The dispatch routine has returned: judge it now if the completion walk
// has passed its location or it did not return STATUS_PENDING; else when
// the walk gets there (a completion routine may yet mark the location).
void IoManager::judge_return(PIRP irp, std::uint64_t call, NTSTATUS status) {
  std::optional<CallFrame> judged;
  bool marked = false;
  {
    std::lock_guard guard(io_lock_);
    auto frame = std::find_if(calls_.begin(), calls_.end(),
                              [&](const CallFrame &f) { return f.id == call; });
    if (frame == calls_.end())
      return;
    if (frame->passed) {
      marked = frame->marked;
    } else if (status == STATUS_PENDING) {
      frame->returned = true;
      return;
    } else {
      PIO_STACK_LOCATION stack = first_location(irp) + frame->location - 1;
      marked = (stack->Control & SL_PENDING_RETURNED) != 0;
    }
    judged = std::move(*frame);
    calls_.erase(frame);
  }
  report_pending_fault(*judged, status, marked);
}

// The completion walk reads `stack`'s pending mark: the dispatch routines
// that were given this location and have returned STATUS_PENDING are
// judged now, the others when they return.
void IoManager::pass_location(PIRP irp, PIO_STACK_LOCATION stack) {
  const bool marked = (stack->Control & SL_PENDING_RETURNED) != 0;
  const auto location = static_cast<CCHAR>(stack - first_location(irp) + 1);
  std::vector<CallFrame> judged;
  {
    std::lock_guard guard(io_lock_);
    for (auto frame = calls_.begin(); frame != calls_.end();) {
      if (frame->irp != irp || frame->passed || frame->location != location) {
        ++frame;
      } else if (frame->returned) {
        judged.push_back(std::move(*frame));
        frame = calls_.erase(frame);
      } else {
        frame->passed = true;
        frame->marked = marked;
        ++frame;
      }
    }
  }
  for (const CallFrame &frame : judged)
    report_pending_fault(frame, STATUS_PENDING, marked);
}

void IoManager::report_pending_fault(const CallFrame &frame, NTSTATUS status,
                                     bool marked) {
  if ((status == STATUS_PENDING) == marked)
    return;
  std::string what = major_function_name(frame.major) + " to " + frame.device;
  std::string message =
      marked ? "dispatch routine marked " + what + " pending but returned " +
                   hex32(static_cast<ULONG>(status))
             : "dispatch routine returned STATUS_PENDING for " + what +
                   " without IoMarkIrpPending";
  kernel_.verifier().report(
      FindingKind::IrpMisuse, message,
      describe_routine(reinterpret_cast<const void *>(frame.dispatch)));
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
  check_irql(irql_rule("IoCompleteRequest"), site);

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
    pass_location(irp, stack);
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
    RoutineEntry entry = enter_routine();
    NTSTATUS result = routine(above, irp, context);
    check_routine_return(entry, "completion",
                         reinterpret_cast<const void *>(routine));
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
    // The IRP goes on up: a pending mark below must reach the driver above,
    // whose dispatch routine may have returned STATUS_PENDING already.
    if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount &&
        (IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED) ==
            0) {
      kernel_.verifier().report(
          FindingKind::IrpMisuse,
          "completion routine passed IRP " + format_address(irp) +
              " on up with PendingReturned set without IoMarkIrpPending",
          describe_routine(reinterpret_cast<const void *>(routine)));
      IoMarkIrpPending(irp); // reported once, here, not again above
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
  PIO_STATUS_BLOCK status_block = irp->UserIosb;
  PKEVENT event = irp->UserEvent;
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
    // A failure that was never pending: the caller has the status from
    // IoCallDriver, and Windows neither writes its status block nor sets
    // its event.
    if (NT_ERROR(irp->IoStatus.Status) && !irp->PendingReturned) {
      status_block = nullptr;
      event = nullptr;
    }
    break;
  case IrpOrigin::Allocated:
    // No thread to complete it to: on Windows the I/O manager would touch
    // freed or foreign memory. Freed here, nothing written.
    report(FindingKind::IrpMisuse,
           "IRP " + format_address(irp) +
               " from IoAllocateIrp completed past its last stack location: "
               "no completion routine took it back with "
               "STATUS_MORE_PROCESSING_REQUIRED",
           record.site);
    status_block = nullptr;
    event = nullptr;
    break;
  }
  IO_STATUS_BLOCK result = irp->IoStatus;
  if (record.system_buffer != nullptr)
    release(record.system_buffer, record.site);
  discard_irp(irp, nullptr);
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
  // It must have released the cancel spin lock back to the IRP's
  // CancelIrql; the IRP itself may be gone by now.
  Thread *self = kernel_.scheduler().current();
  if (self == nullptr)
    return true;
  const void *address = reinterpret_cast<const void *>(routine);
  if (std::find(self->held_locks.begin(), self->held_locks.end(),
                &cancel_spin_lock_) != self->held_locks.end()) {
    kernel_.verifier().report(
        FindingKind::SpinLockMisuse,
        "cancel routine returned holding the cancel spin lock",
        describe_routine(address));
    kernel_.scheduler().release_spin_lock(&cancel_spin_lock_, address);
  } else if (self->irql != irql) {
    kernel_.verifier().report(
        FindingKind::IrqlMisuse,
        "cancel routine returned at IRQL " + std::to_string(self->irql) +
            " instead of the IRP's CancelIrql " + std::to_string(irql),
        describe_routine(address));
  }
  self->irql = irql;
  return true;
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
