// What an application has on Windows, for tools and tests: open a device by
// name or by device interface, DeviceIoControl (synchronous and overlapped),
// cancel, close. Each call builds the IRPs the I/O manager builds for a
// user-mode caller and sends them to the top of the device stack.
//
// An Application is one user process: it owns a handle table. Its calls may
// come from any kernel thread (simulation clock: inside Kernel::run();
// real-time clock: any thread), several at once, also on one handle; each
// call runs in the application's process, as a thread of it does in a
// system call, so that handles a driver creates there are the process's.
// Destroying it is process exit: pending requests are cancelled and every
// handle closed (the kernel handles a driver left in the process too), so
// an Application must go before its kernel's teardown checks; a file object
// still alive then is reported as a pool leak of tag "File".
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <wdm.h>

namespace talvor::kernel {

class Kernel;

// A handle of one Application. Values are never reused, so a stale handle is
// always recognised as one.
enum class Handle : std::uint64_t { invalid = 0 };

struct OpenResult {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  Handle handle = Handle::invalid; // valid only when status succeeded
};

struct IoResult {
  NTSTATUS status = STATUS_PENDING; // STATUS_PENDING while in flight
  // IoStatus.Information as the driver left it (Windows' bytes returned).
  ULONG_PTR information = 0;
  // The bytes delivered to the caller: at most the output capacity, and
  // none when the status is an error.
  std::vector<std::uint8_t> output;
};

// An overlapped DeviceIoControl. Copies share one request. Its completion
// always arrives, also after its Application has gone.
class Request {
public:
  Request() = default; // no request: STATUS_INVALID_HANDLE, never pending

  bool pending() const;
  NTSTATUS status() const;
  IoResult result() const;
  // Waits for completion, at most `timeout` when given. Returns the final
  // status, or STATUS_PENDING when the time ran out first.
  NTSTATUS wait(std::optional<std::chrono::microseconds> timeout = {}) const;
  // IoCancelIrp: true when a cancel routine was called. The request still
  // completes through the driver, with whatever status the driver chose.
  bool cancel() const;

  struct State;

private:
  friend class Application;
  explicit Request(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

class Application {
public:
  Application();
  explicit Application(Kernel &kernel);
  ~Application();
  Application(const Application &) = delete;
  Application &operator=(const Application &) = delete;

  // Opens a device by its name ("\Device\X") or by a device interface's
  // symbolic link ("\??\..." or the user-mode "\\?\..." form): IRP_MJ_CREATE
  // to the top of its stack. STATUS_OBJECT_NAME_NOT_FOUND for an unknown
  // name or a disabled interface, STATUS_NO_SUCH_DEVICE for a device being
  // deleted or still initialising, STATUS_ACCESS_DENIED for an exclusive
  // device that is already open; else the driver's answer to the create.
  OpenResult open(const std::string &name);

  // DeviceIoControl: METHOD_BUFFERED and METHOD_NEITHER; the direct methods
  // are refused with STATUS_NOT_SUPPORTED. Waits if the driver pends.
  IoResult device_io_control(Handle handle, ULONG code,
                             std::span<const std::uint8_t> input,
                             std::size_t output_capacity);
  // The same, overlapped. A request that could not be sent is returned
  // already complete with the reason.
  Request begin_device_io_control(Handle handle, ULONG code,
                                  std::span<const std::uint8_t> input,
                                  std::size_t output_capacity);

  // CloseHandle: IRP_MJ_CLEANUP now, IRP_MJ_CLOSE once the last request on
  // the file object has completed (at once if none is in flight).
  NTSTATUS close(Handle handle);

  // Symbolic links of the enabled interfaces of a class, in registration
  // order (what SetupDiGetClassDevs with DIGCF_DEVICEINTERFACE lists).
  std::vector<std::string> interfaces(const GUID &class_guid) const;

  // Process exit: cancels every request in flight and closes every handle.
  // The destructor does it if it was not done; from a thread that is not a
  // kernel thread under the simulation clock it runs as one.
  void exit();

  std::size_t open_handles() const;

  // Runs the calling kernel thread in this application's process until the
  // guard goes, as each call above does: for tests that call driver
  // routines as a request of this process would.
  class Context {
  public:
    Context(const Context &) = delete;
    Context &operator=(const Context &) = delete;
    ~Context();

  private:
    friend class Application;
    friend class Request;
    Context(Kernel &kernel, std::uint64_t process);
    Kernel &kernel_;
    std::uint64_t previous_;
  };
  [[nodiscard]] Context enter() const { return Context(kernel_, process_); }

  struct File;

private:
  std::shared_ptr<File> reference(Handle handle);
  Request start(const std::shared_ptr<File> &file, ULONG code,
                std::span<const std::uint8_t> input,
                std::size_t output_capacity, const void *site);
  // The file objects of this application still alive, handle or not.
  std::vector<std::shared_ptr<File>> live_files();
  bool idle();
  void shutdown();

  Kernel &kernel_;
  const std::uint64_t process_;
  // handles_lock_ guards handles_, files_ and next_handle_. Taken before a
  // File's lock, never held while a driver routine runs or a thread waits.
  mutable std::mutex handles_lock_;
  std::map<Handle, std::shared_ptr<File>> handles_;
  // Every file object opened, so that exit finds the requests still in
  // flight on handles already closed.
  std::vector<std::weak_ptr<File>> files_;
  std::uint64_t next_handle_ = 4;
};

} // namespace talvor::kernel
