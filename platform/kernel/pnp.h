// The Plug and Play manager: a device node for each physical device object
// a bus reports, the function driver's AddDevice, and the PnP requests in
// the order Windows sends them, one at a time, at PASSIVE_LEVEL. Tests and
// tools create one per kernel and destroy it before the kernel.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <wdm.h>

#include "platform/kernel/power.h"
#include "platform/kernel/verifier.h"

namespace talvor::kernel {

class Kernel;

// The states of a device node and the requests that move it:
//   add_device       new -> Added -> Started (a failed start: -> Removed)
//   query_stop       Started -> StopPending (refused: cancelled, Started)
//   cancel_stop      StopPending -> Started
//   stop             StopPending -> Stopped
//   start            Stopped -> Started (a failed start: -> Removed)
//   query_remove     Started -> RemovePending (refused, or vetoed for
//                    handles still open after the query: cancelled, Started)
//   cancel_remove    RemovePending -> Started
//   surprise_remove  Started, StopPending, Stopped, RemovePending
//                    -> SurpriseRemoved
//   remove           RemovePending, SurpriseRemoved -> Removed (after a
//                    surprise removal, once the last open handle is closed)
// A request the state does not allow is refused with
// STATUS_INVALID_DEVICE_STATE and sends nothing; a removed or unknown node
// refuses everything with STATUS_NO_SUCH_DEVICE.
enum class DeviceNodeState {
  Added,
  Started,
  StopPending,
  Stopped,
  RemovePending,
  SurpriseRemoved,
  Removed,
};
const char *to_string(DeviceNodeState state);

// What a target-device notification hears, as an application registers it
// on a handle (RegisterDeviceNotification) to know when to close it:
// QueryRemove before IRP_MN_QUERY_REMOVE_DEVICE (a handle still open after
// the query vetoes the removal), RemoveCancelled once a query was refused
// or vetoed, RemoveComplete after IRP_MN_SURPRISE_REMOVAL (the removal
// waits for the last handle) or after IRP_MN_REMOVE_DEVICE.
enum class TargetDeviceChange { QueryRemove, RemoveCancelled, RemoveComplete };

// STATUS_PLUGPLAY_QUERY_VETOED: a removal refused for handles still open.
constexpr NTSTATUS kRemovalVetoed = static_cast<NTSTATUS>(0x80000028L);

// What the driver left in an IRP the platform sent and waited for.
struct IrpReply {
  NTSTATUS returned = STATUS_PENDING; // what the top dispatch routine said
  NTSTATUS status = STATUS_NOT_SUPPORTED;
  ULONG_PTR information = 0;
  bool completed = false; // false: refused before sending, or timed out
};

// Sends a new IRP (IrpOrigin::Platform, IoStatus.Status preset to
// STATUS_NOT_SUPPORTED as Windows presets it) to `device`, whose stack
// location `fill` sets up, and waits for its completion, at most `timeout`
// (100 ns units). `keep_alive` holds buffers the IRP points at until the IRP
// is freed, even past a time-out. Reports a dispatch routine whose returned
// status disagrees with the IRP it completed, and an IRP completed with
// STATUS_MORE_PROCESSING_REQUIRED. From a kernel thread at PASSIVE_LEVEL.
IrpReply call_and_wait(Kernel &kernel, PDEVICE_OBJECT device,
                       const std::function<void(IO_STACK_LOCATION &)> &fill,
                       std::uint64_t timeout, const void *site,
                       std::shared_ptr<void> keep_alive = {});

// For findings: names of IRP_MJ_PNP and IRP_MJ_POWER minor codes, and a
// status as "0xC0000001".
std::string pnp_minor_name(UCHAR minor);
std::string power_minor_name(UCHAR minor);
std::string status_text(NTSTATUS status);

class PnpManager {
public:
  explicit PnpManager(Kernel &kernel);
  ~PnpManager();
  PnpManager(const PnpManager &) = delete;
  PnpManager &operator=(const PnpManager &) = delete;

  Kernel &kernel() { return kernel_; }

  // Function drivers, found for a device by the hardware and compatible IDs
  // its bus reports (IRP_MN_QUERY_ID), compared without regard to case. A
  // driver must be unregistered before its driver object is deleted.
  void register_function_driver(const std::string &id, PDRIVER_OBJECT driver);
  void unregister_function_driver(PDRIVER_OBJECT driver);

  // Every request below: from a kernel thread at PASSIVE_LEVEL; waits for
  // any request in progress first.

  // A device the bus reports: AddDevice of its function driver (given, or
  // found by its IDs: STATUS_NOT_FOUND when none matches), then
  // IRP_MN_START_DEVICE. Returns AddDevice's failure or the start's status.
  NTSTATUS add_device(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver = nullptr);
  NTSTATUS start(PDEVICE_OBJECT pdo);
  NTSTATUS query_stop(PDEVICE_OBJECT pdo);
  NTSTATUS cancel_stop(PDEVICE_OBJECT pdo);
  NTSTATUS stop(PDEVICE_OBJECT pdo);
  NTSTATUS query_remove(PDEVICE_OBJECT pdo);
  NTSTATUS cancel_remove(PDEVICE_OBJECT pdo);
  NTSTATUS surprise_remove(PDEVICE_OBJECT pdo);
  NTSTATUS remove(PDEVICE_OBJECT pdo);

  // Queries, in any state but SurpriseRemoved and Removed.
  NTSTATUS query_capabilities(PDEVICE_OBJECT pdo,
                              DEVICE_CAPABILITIES *capabilities);
  // `result` receives `size` bytes (at least sizeof(INTERFACE)).
  NTSTATUS query_interface(PDEVICE_OBJECT pdo, const GUID &type, USHORT size,
                           USHORT version, PINTERFACE result,
                           PVOID specific_data = nullptr);
  NTSTATUS query_pnp_device_state(PDEVICE_OBJECT pdo, ULONG_PTR *state);
  // One ID, or each of a multi-string (hardware and compatible IDs).
  NTSTATUS query_id(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type,
                    std::vector<std::string> *ids);
  // Any other minor code (the requests above and those that return pool
  // structures the platform does not model are refused with
  // STATUS_INVALID_PARAMETER_2).
  IrpReply send(PDEVICE_OBJECT pdo, UCHAR minor,
                const std::function<void(IO_STACK_LOCATION &)> &parameters);

  // Target-device notifications for the node whose stack holds `device`,
  // until unwatched. Called in the PnP manager's thread while it serves a
  // request: a callback may close handles, not call the PnP manager.
  std::uint64_t watch(PDEVICE_OBJECT device,
                      std::function<void(TargetDeviceChange)> callback);
  void unwatch(std::uint64_t watch);

  std::optional<DeviceNodeState> state(PDEVICE_OBJECT pdo) const;
  // The function driver's device object in the stack, once AddDevice made it.
  PDEVICE_OBJECT function_device(PDEVICE_OBJECT pdo) const;
  // Physical device objects of the nodes power requests go to (every state
  // but SurpriseRemoved and Removed), in the order they were added.
  std::vector<PDEVICE_OBJECT> powered_devices() const;
  // The state PoSetPowerState last recorded for a device object of a stack
  // this manager holds (D0 and S0 until then).
  std::optional<DEVICE_POWER_STATE> device_power(PDEVICE_OBJECT device) const;

  // How long a driver may take over one PnP IRP before the verifier reports
  // it (100 ns units; 5 minutes by default).
  void set_irp_timeout(std::uint64_t timeout) { irp_timeout_ = timeout; }

private:
  friend class PowerManager;
  struct Node;

  // One request at a time, as the PnP manager's single thread would.
  class Serialized {
  public:
    explicit Serialized(PnpManager &manager);
    ~Serialized();
    Serialized(const Serialized &) = delete;
    Serialized &operator=(const Serialized &) = delete;

  private:
    PnpManager &manager_;
  };

  NTSTATUS check_caller() const;
  // The node for a request allowed in `allowed` states, or the refusal.
  NTSTATUS find(PDEVICE_OBJECT pdo,
                std::initializer_list<DeviceNodeState> allowed, Node **node);
  // Every request on a node: the caller checked, one request at a time,
  // the node in a state that allows it; else the refusal, nothing sent.
  NTSTATUS on_node(PDEVICE_OBJECT pdo,
                   std::initializer_list<DeviceNodeState> allowed,
                   const std::function<NTSTATUS(Node &)> &request);
  // A query that moves the node to `pending`, or is cancelled when refused.
  NTSTATUS send_query(Node &node, UCHAR query, UCHAR cancel,
                      DeviceNodeState pending, const void *site);
  // A request that may not fail, moving the node to `next`.
  NTSTATUS send_change(Node &node, UCHAR minor, DeviceNodeState next,
                       const void *site);
  IrpReply send_pnp(Node &node, UCHAR minor,
                    const std::function<void(IO_STACK_LOCATION &)> &fill,
                    std::shared_ptr<void> keep_alive, const void *site);
  // Sends a request that may not fail and reports it if it does.
  NTSTATUS send_required(Node &node, UCHAR minor, const void *site);
  NTSTATUS send_start(Node &node, const void *site);
  NTSTATUS send_remove(Node &node, const void *site);
  PDRIVER_OBJECT find_driver(PDEVICE_OBJECT pdo, const void *site);
  // IRP_MN_QUERY_ID to the stack of `pdo`; frees the pool text it returns.
  NTSTATUS read_ids(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type,
                    std::vector<std::string> *ids, const void *site);
  NTSTATUS call_add_device(Node &node, const void *site);
  void set_state(Node &node, DeviceNodeState state);
  void notify(const Node &node, TargetDeviceChange change);
  // Open handles on any device of the node's stack (DEVICE_OBJECT's
  // ReferenceCount, as the I/O manager keeps it).
  bool has_open_handles(const Node &node) const;
  void set_remove_pending(Node &node, bool pending);
  void wait_for_last_close(Node &node);
  // Drops what the node holds of its devices (references, power records).
  void release_devices(Node &node);
  // A finding about a driver routine (AddDevice, a dispatch routine).
  void report(FindingKind kind, const std::string &message,
              const void *routine) const;

  Kernel &kernel_;
  std::uint64_t irp_timeout_ = 5ull * 60 * 10'000'000;
  // Synchronization event: signalled while no request is in progress.
  KEVENT idle_{};
  // nodes_lock_ guards drivers_, nodes_ and every node's state and stack.
  // It is never held while a driver routine runs or a thread waits.
  mutable std::mutex nodes_lock_;
  std::vector<std::pair<std::string, PDRIVER_OBJECT>> drivers_;
  std::map<PDEVICE_OBJECT, std::unique_ptr<Node>> nodes_;
  std::uint64_t next_order_ = 0;
  // watchers_lock_ guards watchers_ and next_watch_; never held while a
  // callback runs.
  mutable std::mutex watchers_lock_;
  std::map<std::uint64_t,
           std::pair<PDEVICE_OBJECT, std::function<void(TargetDeviceChange)>>>
      watchers_;
  std::uint64_t next_watch_ = 1;
};

} // namespace talvor::kernel
