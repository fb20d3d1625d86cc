// The I/O manager: driver and device objects, device stacks, IRPs with
// their completion and cancel protocol, work items, device interfaces and
// the event log, with the verifier's I/O checks.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <wdm.h>

#include "platform/kernel/verifier.h"

namespace talvor::kernel {

class Kernel;
struct Thread;

// Who finishes an IRP once its completion has walked all the way up.
enum class IrpOrigin {
  // IoAllocateIrp: the owner stops completion with
  // STATUS_MORE_PROCESSING_REQUIRED and frees it (or set UserIosb/UserEvent
  // and lets the I/O manager free it).
  Allocated,
  // IoBuildDeviceIoControlRequest: the I/O manager copies buffered output,
  // fills the status block, sets the event and frees the IRP.
  Built,
  // Made by a platform component (application side, PnP or power manager)
  // that installed a final completion handler.
  Platform,
};

// Owned: made, not yet sent. InFlight: a driver holds it. Completing: the
// completion walk runs. Returned: a completion routine took it back with
// STATUS_MORE_PROCESSING_REQUIRED; whoever did may send it again, complete
// it again or free it.
enum class IrpState { Owned, InFlight, Completing, Returned, Completed };

struct ErrorLogEntry {
  std::string device; // name of the device or driver that wrote it
  NTSTATUS error_code = 0;
  NTSTATUS final_status = 0;
  ULONG unique_error_value = 0;
  UCHAR major_function = 0;
  std::vector<ULONG> dump_data;
  std::vector<std::string> strings;
  std::uint64_t time = 0; // interrupt time
};

struct DeviceInterface {
  std::string symbolic_link; // "\\??\\<device>#{guid}[\\reference]"
  GUID class_guid{};
  PDEVICE_OBJECT physical_device = nullptr;
  bool enabled = false;
};

class IoManager {
public:
  explicit IoManager(Kernel &kernel);
  ~IoManager();
  IoManager(const IoManager &) = delete;
  IoManager &operator=(const IoManager &) = delete;

  // --- driver objects (driver loading and test drivers)
  // Creates a DRIVER_OBJECT named `name` ("\\Driver\\TALVOR11") whose every
  // MajorFunction entry fails with STATUS_INVALID_DEVICE_REQUEST.
  PDRIVER_OBJECT create_driver(const std::string &name,
                               const std::string &service_key);
  // Frees the driver object; every one of its devices must be gone.
  void delete_driver(PDRIVER_OBJECT driver);
  std::vector<PDEVICE_OBJECT> devices_of(PDRIVER_OBJECT driver) const;
  // Whether any device object of the driver still exists, counting deleted
  // ones an open handle or a work item still holds: its code may yet run.
  bool holds_devices(PDRIVER_OBJECT driver) const;

  // --- device objects
  NTSTATUS create_device(PDRIVER_OBJECT driver, ULONG extension_size,
                         PUNICODE_STRING name, DEVICE_TYPE type,
                         ULONG characteristics, bool exclusive,
                         PDEVICE_OBJECT *device, const void *site);
  void delete_device(PDEVICE_OBJECT device, const void *site);
  PDEVICE_OBJECT attach(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
  void detach(PDEVICE_OBJECT target);
  // The device object named `name` (compared without regard to case).
  PDEVICE_OBJECT find_device(const std::string &name) const;
  std::string name_of(PDEVICE_OBJECT device) const;
  bool exclusive(PDEVICE_OBJECT device) const;
  // References keep a deleted device object's memory until the last goes
  // (open handles, queued work items).
  void reference_device(PDEVICE_OBJECT device);
  void dereference_device(PDEVICE_OBJECT device);
  bool is_deleted(PDEVICE_OBJECT device) const;

  // --- IRPs
  PIRP allocate_irp(CCHAR stack_size, IrpOrigin origin, const void *site);
  void free_irp(PIRP irp, const void *site);
  void reuse_irp(PIRP irp, NTSTATUS status, const void *site);
  // For IrpOrigin::Platform: called once the completion walk has reached
  // the top without STATUS_MORE_PROCESSING_REQUIRED. The handler owns the
  // IRP then and frees it with free_irp.
  void set_final_completion(PIRP irp, std::function<void(PIRP)> handler);
  PIRP build_device_io_control(ULONG code, PDEVICE_OBJECT device, PVOID input,
                               ULONG input_length, PVOID output,
                               ULONG output_length, bool internal,
                               PKEVENT event, PIO_STATUS_BLOCK status_block,
                               const void *site);
  NTSTATUS call_driver(PDEVICE_OBJECT device, PIRP irp, const void *site);
  void complete_request(PIRP irp, const void *site);
  bool cancel_irp(PIRP irp, const void *site);
  PKSPIN_LOCK cancel_spin_lock() { return &cancel_spin_lock_; }
  std::optional<IrpState> irp_state(PIRP irp) const;

  // --- work items
  PIO_WORKITEM allocate_work_item(PDEVICE_OBJECT device, const void *site);
  void free_work_item(PIO_WORKITEM item, const void *site);
  void queue_work_item(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine,
                       PVOID context, const void *site);

  // --- device interfaces
  NTSTATUS register_interface(PDEVICE_OBJECT physical_device,
                              const GUID *class_guid, PUNICODE_STRING reference,
                              PUNICODE_STRING symbolic_link, const void *site);
  NTSTATUS set_interface_state(PUNICODE_STRING symbolic_link, bool enable,
                               const void *site);
  // Enabled interfaces of a class, in registration order.
  std::vector<DeviceInterface> interfaces(const GUID &class_guid) const;
  // The device stack behind an enabled interface: its top device object.
  PDEVICE_OBJECT open_interface(const std::string &symbolic_link) const;

  // --- event log
  PVOID allocate_error_log_entry(PVOID io_object, UCHAR size, const void *site);
  void write_error_log_entry(PVOID entry, const void *site);
  void free_error_log_entry(PVOID entry, const void *site);
  std::vector<ErrorLogEntry> error_log() const;

  // Findings for what is still alive: IRPs in flight, devices not deleted.
  void check_teardown();

private:
  struct DeviceRecord;
  struct CallFrame;
  struct IrpRecord;
  struct WorkItem;
  struct LogEntry;

  void finish_irp(PIRP irp, IrpRecord &record);
  // Forgets and frees an IRP, with no check: the I/O manager's own release.
  void discard_irp(PIRP irp, const void *site);
  void forget_calls(PIRP irp);
  void judge_return(PIRP irp, std::uint64_t call, NTSTATUS status);
  void pass_location(PIRP irp, PIO_STACK_LOCATION stack);
  void report_pending_fault(const CallFrame &frame, NTSTATUS status,
                            bool marked);
  void wait_for_routine(PIRP irp);
  static void run_work_item(PVOID context);
  void free_device_memory(PDEVICE_OBJECT device);
  void report(FindingKind kind, const std::string &message,
              const void *site) const;
  void *allocate(std::size_t size, ULONG tag, const void *site);
  void release(void *block, const void *site);
  DeviceRecord *record_of(PDEVICE_OBJECT device) const;
  IrpRecord *record_of(PIRP irp) const;

  Kernel &kernel_;
  // io_lock_ guards every map below. It is never held while a driver
  // routine runs (dispatch, completion, cancel, work item).
  mutable std::mutex io_lock_;
  std::map<PDRIVER_OBJECT, std::string> drivers_;
  std::map<PDEVICE_OBJECT, DeviceRecord *> devices_;
  std::map<PIRP, IrpRecord *> irps_;
  std::map<PIO_WORKITEM, WorkItem *> work_items_;
  std::map<PVOID, LogEntry *> log_entries_;
  std::vector<DeviceInterface> interfaces_;
  std::vector<CallFrame> calls_; // dispatch routines not yet judged
  std::vector<ErrorLogEntry> error_log_;
  std::uint64_t next_device_number_ = 1;
  std::uint64_t next_call_ = 1;
  KSPIN_LOCK cancel_spin_lock_ = 0;
};

} // namespace talvor::kernel
