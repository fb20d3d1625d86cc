#include "platform/kernel/application.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/kernel/kernel.h"
#include "platform/kernel/power.h"
#include "platform/kernel/scheduler.h"
#include "platform/kernel/text.h"

namespace talvor::kernel {

namespace {

constexpr CSHORT kIoTypeFile = 5;
constexpr ULONG kFileTag = make_pool_tag("File");
constexpr ULONG kSystemBufferTag = make_pool_tag("IoSB");

// IRP_MJ_CREATE as CreateFile(OPEN_EXISTING, FILE_FLAG_OVERLAPPED) builds
// it: disposition FILE_OPEN in the top byte of Options, a non-directory
// file, normal attributes, read and write sharing.
constexpr ULONG kFileOpen = 0x00000001;
constexpr ULONG kFileNonDirectoryFile = 0x00000040;
constexpr USHORT kFileAttributeNormal = 0x0080;
constexpr USHORT kFileShareReadWrite = 0x0003;

// The largest buffer an application may hand over. Windows would try the
// allocation; a hosted process should not zero gigabytes on a caller's word.
constexpr std::size_t kMaxUserBuffer = std::size_t{16} << 20;

// A device stack is never deeper than this; a longer AttachedDevice chain is
// corrupt and is not followed.
constexpr std::size_t kMaxStackDepth = 32;

bool starts_with(const std::string &text, const std::string &prefix) {
  return text.size() >= prefix.size() &&
         equal_ignoring_case(text.substr(0, prefix.size()), prefix);
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" somewhere in a symbolic link.
std::optional<GUID> guid_in(const std::string &link) {
  std::size_t open = link.find('{');
  if (open == std::string::npos || link.size() - open < 38 ||
      link[open + 37] != '}')
    return std::nullopt;
  std::string text = link.substr(open, 38);
  unsigned int data1 = 0, data2 = 0, data3 = 0;
  unsigned int data4[8] = {};
  int consumed = 0;
  if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}%n",
                  &data1, &data2, &data3, &data4[0], &data4[1], &data4[2],
                  &data4[3], &data4[4], &data4[5], &data4[6], &data4[7],
                  &consumed) != 11 ||
      consumed != 38)
    return std::nullopt;
  GUID guid{};
  guid.Data1 = data1;
  guid.Data2 = static_cast<USHORT>(data2);
  guid.Data3 = static_cast<USHORT>(data3);
  for (int i = 0; i < 8; ++i)
    guid.Data4[i] = static_cast<UCHAR>(data4[i]);
  return guid;
}

std::string device_text(const IoManager &io, PDEVICE_OBJECT device) {
  std::string name = io.name_of(device);
  return name.empty() ? "device " + format_address(device) : name;
}

// Opens on a device: DEVICE_OBJECT::ReferenceCount, as the I/O manager keeps
// it. Shared by every application of the kernel, so it lives in the object.
std::atomic_ref<LONG> open_count(PDEVICE_OBJECT device) {
  return std::atomic_ref<LONG>(device->ReferenceCount);
}

} // namespace

// One FILE_OBJECT: what a handle refers to.
struct Application::File {
  explicit File(Kernel &owner) : kernel(owner) {}

  Kernel &kernel;
  PFILE_OBJECT object = nullptr;
  PDEVICE_OBJECT device = nullptr; // the one opened: named, or the PDO
  // device up to the top of its stack at open: each referenced, and each
  // ReferenceCount counting this open.
  std::vector<PDEVICE_OBJECT> stack;
  // Taken at open so that cleanup and close cannot fail for want of pool.
  PIRP cleanup_irp = nullptr;
  PIRP close_irp = nullptr;

  // lock guards references and in_flight; never held while a driver routine
  // runs or a thread waits.
  std::mutex lock;
  // The handle, each call in progress and each request in flight. The last
  // to go sends IRP_MJ_CLOSE.
  LONG references = 1;
  std::map<const Request::State *, std::weak_ptr<Request::State>> in_flight;
};

// One IRP the application side sent, from submission to completion.
struct Request::State {
  explicit State(Kernel &owner) : kernel(owner) {
    KeInitializeEvent(&done, NotificationEvent, FALSE);
  }

  Kernel &kernel;
  std::uint64_t process = kSystemProcess; // the sender's
  UCHAR major = IRP_MJ_DEVICE_CONTROL;
  ULONG code = 0;
  ULONG method = METHOD_BUFFERED;
  ULONG output_length = 0;
  PDEVICE_OBJECT top = nullptr;
  PDRIVER_DISPATCH dispatch = nullptr; // the top driver's, for findings
  std::vector<std::uint8_t> input;     // METHOD_NEITHER: Type3InputBuffer
  std::vector<std::uint8_t> output;    // the caller's buffer: UserBuffer
  KEVENT done;                         // set once, at completion

  // lock guards everything below once the IRP has been sent.
  mutable std::mutex lock;
  PIRP irp = nullptr; // until freed
  PVOID system_buffer = nullptr;
  // The driver's hold until completion, and one per IoCancelIrp in
  // progress: the IRP is freed when the last goes, never under a canceller.
  int irp_holds = 1;
  bool completed = false;
  bool dispatch_returned = false;
  NTSTATUS dispatch_status = STATUS_PENDING;
  std::shared_ptr<Application::File> file; // its reference, while in flight
  IoResult result;
};

namespace {

using File = Application::File;
using State = Request::State;

std::shared_ptr<State> finished(Kernel &kernel, NTSTATUS status) {
  auto op = std::make_shared<State>(kernel);
  op->completed = true;
  op->result.status = status;
  KeSetEvent(&op->done, IO_NO_INCREMENT, FALSE);
  return op;
}

void release_irp(State &op) {
  PIRP irp;
  PVOID buffer;
  {
    std::lock_guard guard(op.lock);
    irp = std::exchange(op.irp, nullptr);
    buffer = std::exchange(op.system_buffer, nullptr);
  }
  if (buffer != nullptr)
    op.kernel.pool().free(buffer, kSystemBufferTag, KeGetCurrentIrql(),
                          nullptr);
  if (irp != nullptr)
    op.kernel.io().free_irp(irp, nullptr);
}

// A dispatch routine returns another status than STATUS_PENDING only for an
// IRP already completed (the I/O manager judges the pending mark itself).
// Judged once the return and the completion are both known, or the return
// is and completion is not.
enum class DispatchFault { None, NotCompleted };

DispatchFault dispatch_fault(const State &op) {
  return op.dispatch_status != STATUS_PENDING && !op.completed
             ? DispatchFault::NotCompleted
             : DispatchFault::None;
}

void report_dispatch_fault(const State &op, DispatchFault fault) {
  if (fault == DispatchFault::None)
    return;
  std::string message =
      "dispatch routine returned " + hex32(op.dispatch_status) + " for " +
      major_function_name(op.major) + " to " +
      device_text(op.kernel.io(), op.top) + " without completing the IRP";
  op.kernel.verifier().report(
      FindingKind::IrpMisuse, message,
      describe_routine(reinterpret_cast<const void *>(op.dispatch)));
}

void close_file(const std::shared_ptr<File> &file);

void close_on_worker(PVOID context) {
  std::unique_ptr<std::shared_ptr<File>> file(
      static_cast<std::shared_ptr<File> *>(context));
  close_file(*file);
}

// Drops one reference; the last sends IRP_MJ_CLOSE. Completion may run at
// DISPATCH_LEVEL inside a driver's IoCompleteRequest, so from there the
// close goes to a worker thread, as Windows defers the object's deletion.
void drop_reference(const std::shared_ptr<File> &file, bool from_completion) {
  {
    std::lock_guard guard(file->lock);
    if (--file->references > 0)
      return;
  }
  if (from_completion) {
    // Completion may run at DISPATCH_LEVEL inside a driver: close from a
    // thread of the kernel's own.
    auto context = std::make_unique<std::shared_ptr<File>>(file);
    Kernel::get().scheduler().start_kernel_thread(close_on_worker,
                                                  context.release());
    return;
  }
  close_file(file);
}

void complete(const std::shared_ptr<State> &op, PIRP irp) {
  const IO_STATUS_BLOCK status = irp->IoStatus;
  std::vector<std::uint8_t> delivered;
  if (op->major == IRP_MJ_DEVICE_CONTROL) {
    if (status.Information > op->output_length &&
        op->method == METHOD_BUFFERED && !NT_ERROR(status.Status))
      op->kernel.verifier().report(
          FindingKind::IrpMisuse,
          "IRP_MJ_DEVICE_CONTROL " + hex32(op->code) + " to " +
              device_text(op->kernel.io(), op->top) +
              " completed with Information " +
              std::to_string(status.Information) +
              " beyond its output buffer of " +
              std::to_string(op->output_length) + " bytes",
          describe_routine(reinterpret_cast<const void *>(op->dispatch)));
    std::size_t length =
        NT_ERROR(status.Status)
            ? 0
            : std::min<std::size_t>(status.Information, op->output_length);
    delivered = std::move(op->output);
    if (op->method == METHOD_BUFFERED && length > 0)
      std::memcpy(delivered.data(), op->system_buffer, length);
    delivered.resize(length);
  }

  std::shared_ptr<File> file;
  DispatchFault fault = DispatchFault::None;
  bool free_now;
  {
    std::lock_guard guard(op->lock);
    op->result.status = status.Status;
    op->result.information = status.Information;
    op->result.output = std::move(delivered);
    op->completed = true;
    if (op->dispatch_returned)
      fault = dispatch_fault(*op);
    free_now = --op->irp_holds == 0;
    file = std::move(op->file);
  }
  report_dispatch_fault(*op, fault);
  if (free_now)
    release_irp(*op);
  if (file) {
    {
      std::lock_guard guard(file->lock);
      file->in_flight.erase(op.get());
    }
    drop_reference(file, true);
  }
  KeSetEvent(&op->done, IO_NO_INCREMENT, FALSE);
}

// Sends an IRP whose next stack location is filled to `top`. The final
// completion handler owns the IRP from here on.
void submit(const std::shared_ptr<State> &op, PDEVICE_OBJECT top, PIRP irp,
            const void *site) {
  IoManager &io = op->kernel.io();
  op->process = op->kernel.scheduler().current_or_die("submit")->process;
  op->top = top;
  op->dispatch = top->DriverObject->MajorFunction[op->major];
  {
    std::lock_guard guard(op->lock);
    op->irp = irp;
  }
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  io.set_final_completion(irp,
                          [op](PIRP completed) { complete(op, completed); });
  NTSTATUS status = io.call_driver(top, irp, site);
  DispatchFault fault;
  {
    std::lock_guard guard(op->lock);
    op->dispatch_returned = true;
    op->dispatch_status = status;
    fault = dispatch_fault(*op);
  }
  report_dispatch_fault(*op, fault);
}

// Waits for completion, unless the dispatch routine returned another status
// without completing the IRP (a finding already): then, as on Windows, the
// caller gets what it returned instead of waiting for good. Returns the
// status the caller sees.
NTSTATUS await(const std::shared_ptr<State> &op) {
  {
    std::lock_guard guard(op->lock);
    if (op->completed)
      return op->result.status;
    if (op->dispatch_returned && op->dispatch_status != STATUS_PENDING)
      return op->dispatch_status;
  }
  KeWaitForSingleObject(&op->done, UserRequest, UserMode, FALSE, nullptr);
  std::lock_guard guard(op->lock);
  return op->result.status;
}

// The IRP to send `major` to the top of the file's stack: the reserved one,
// or a new one when the stack has grown deeper since the open.
PIRP irp_for(File &file, PDEVICE_OBJECT top, PIRP &reserved, const void *site) {
  PIRP irp = std::exchange(reserved, nullptr);
  if (irp != nullptr && irp->StackCount >= top->StackSize)
    return irp;
  if (irp != nullptr)
    file.kernel.io().free_irp(irp, site);
  return file.kernel.io().allocate_irp(top->StackSize, IrpOrigin::Platform,
                                       site);
}

// IRP_MJ_CLEANUP or IRP_MJ_CLOSE, waited for. A deleted device gets
// neither: its driver may be gone with it.
void send_file_irp(File &file, UCHAR major, PIRP &reserved, const void *site) {
  const IoManager &io = file.kernel.io();
  PDEVICE_OBJECT top = IoGetAttachedDevice(file.device);
  if (io.is_deleted(file.device) || io.is_deleted(top))
    return;
  PIRP irp = irp_for(file, top, reserved, site);
  if (irp == nullptr)
    return;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->FileObject = file.object;
  irp->Tail.Overlay.OriginalFileObject = file.object;
  auto op = std::make_shared<State>(file.kernel);
  op->major = major;
  submit(op, top, irp, site);
  await(op);
}

// Frees what the open took: the unused reserved IRPs, the file object, the
// device references and open counts.
void release_file(File &file) {
  IoManager &io = file.kernel.io();
  for (PIRP *reserved : {&file.cleanup_irp, &file.close_irp})
    if (*reserved != nullptr)
      io.free_irp(std::exchange(*reserved, nullptr), nullptr);
  if (file.object != nullptr)
    file.kernel.pool().free(std::exchange(file.object, nullptr), kFileTag,
                            KeGetCurrentIrql(), nullptr);
  for (PDEVICE_OBJECT device : file.stack) {
    // The last handle of a device whose removal waits for it.
    DevicePowerRecord *record = power_record(device);
    if (open_count(device).fetch_sub(1) == 1 && record != nullptr)
      if (PKEVENT closed = record->last_close.load())
        KeSetEvent(closed, IO_NO_INCREMENT, FALSE);
    io.dereference_device(device);
  }
  file.stack.clear();
}

void close_file(const std::shared_ptr<File> &file) {
  send_file_irp(*file, IRP_MJ_CLOSE, file->close_irp, nullptr);
  release_file(*file);
}

// Looks a name up as Windows' object manager would: a device name, a
// DosDevices name, or a device interface's symbolic link (its PDO).
PDEVICE_OBJECT resolve(const IoManager &io, const std::string &name) {
  if (PDEVICE_OBJECT device = io.find_device(name))
    return device;
  std::string link = name;
  for (const char *user_prefix : {"\\\\?\\", "\\\\.\\"})
    if (starts_with(link, user_prefix))
      link = "\\??\\" + link.substr(4);
  if (!starts_with(link, "\\??\\"))
    return nullptr;
  if (PDEVICE_OBJECT device = io.find_device("\\DosDevices\\" + link.substr(4)))
    return device;
  std::optional<GUID> guid = guid_in(link);
  if (!guid)
    return nullptr;
  std::vector<DeviceInterface> enabled = io.interfaces(*guid);
  auto found = std::find_if(
      enabled.begin(), enabled.end(), [&](const DeviceInterface &interface) {
        return equal_ignoring_case(interface.symbolic_link, link);
      });
  return found != enabled.end() ? found->physical_device : nullptr;
}

// Counts an open on every device of the stack; an exclusive one takes it
// only while nothing else has it open. All or nothing.
bool count_open(const IoManager &io, const std::vector<PDEVICE_OBJECT> &stack) {
  for (std::size_t i = 0; i < stack.size(); ++i) {
    if (!io.exclusive(stack[i])) {
      open_count(stack[i]).fetch_add(1);
      continue;
    }
    LONG none = 0;
    if (!open_count(stack[i]).compare_exchange_strong(none, 1)) {
      while (i-- > 0)
        open_count(stack[i]).fetch_sub(1);
      return false;
    }
  }
  return true;
}

} // namespace

// ---------------------------------------------------------------------------
// Request

bool Request::pending() const {
  if (!state_)
    return false;
  std::lock_guard guard(state_->lock);
  return !state_->completed;
}

NTSTATUS Request::status() const {
  if (!state_)
    return STATUS_INVALID_HANDLE;
  std::lock_guard guard(state_->lock);
  return state_->completed ? state_->result.status : STATUS_PENDING;
}

IoResult Request::result() const {
  if (!state_)
    return {STATUS_INVALID_HANDLE, 0, {}};
  std::lock_guard guard(state_->lock);
  if (!state_->completed)
    return {};
  return state_->result;
}

NTSTATUS Request::wait(std::optional<std::chrono::microseconds> timeout) const {
  if (!state_)
    return STATUS_INVALID_HANDLE;
  // In 100 ns units; a time-out too long to express is no time-out.
  constexpr LONGLONG kLongest = std::numeric_limits<LONGLONG>::max() / 10;
  bool bounded = timeout && timeout->count() <= kLongest;
  LARGE_INTEGER interval{};
  if (bounded)
    interval.QuadPart = -std::max<LONGLONG>(timeout->count(), 0) * 10;
  KeWaitForSingleObject(&state_->done, UserRequest, UserMode, FALSE,
                        bounded ? &interval : nullptr);
  return status();
}

bool Request::cancel() const {
  if (!state_)
    return false;
  Application::Context context(state_->kernel, state_->process);
  PIRP irp;
  {
    std::lock_guard guard(state_->lock);
    if (state_->completed || state_->irp == nullptr)
      return false;
    irp = state_->irp;
    ++state_->irp_holds;
  }
  bool cancelled =
      state_->kernel.io().cancel_irp(irp, __builtin_return_address(0));
  bool free_now;
  {
    std::lock_guard guard(state_->lock);
    free_now = --state_->irp_holds == 0;
  }
  if (free_now)
    release_irp(*state_);
  return cancelled;
}

// ---------------------------------------------------------------------------
// Application

Application::Context::Context(Kernel &kernel, std::uint64_t process)
    : kernel_(kernel), previous_(kernel.scheduler().attach_process(process)) {}

Application::Context::~Context() {
  kernel_.scheduler().attach_process(previous_);
}

Application::Application() : Application(Kernel::get()) {}

Application::Application(Kernel &kernel)
    : kernel_(kernel), process_(kernel.scheduler().create_process()) {}

Application::~Application() {
  exit();
  kernel_.scheduler().end_process(process_);
}

OpenResult Application::open(const std::string &name) {
  const void *site = __builtin_return_address(0);
  kernel_.scheduler().current_or_die("Application::open");
  Context context = enter();
  IoManager &io = kernel_.io();
  PDEVICE_OBJECT device = resolve(io, name);
  if (device == nullptr)
    return {STATUS_OBJECT_NAME_NOT_FOUND};

  auto file = std::make_shared<File>(kernel_);
  file->device = device;
  for (PDEVICE_OBJECT d = device;
       d != nullptr && file->stack.size() < kMaxStackDepth;
       d = d->AttachedDevice) {
    io.reference_device(d);
    file->stack.push_back(d);
  }
  auto fail = [&](NTSTATUS status) {
    for (PDEVICE_OBJECT d : file->stack)
      io.dereference_device(d);
    file->stack.clear();
    release_file(*file);
    return OpenResult{status};
  };
  PDEVICE_OBJECT top = file->stack.back();
  if (top->AttachedDevice != nullptr)
    return fail(STATUS_NO_SUCH_DEVICE);
  if (std::any_of(file->stack.begin(), file->stack.end(),
                  [&](PDEVICE_OBJECT d) { return io.is_deleted(d); }))
    return fail(STATUS_NO_SUCH_DEVICE);
  if (device->Flags & DO_DEVICE_INITIALIZING)
    return fail(STATUS_NO_SUCH_DEVICE);
  // A device whose removal is under way takes no new opens.
  if (std::any_of(file->stack.begin(), file->stack.end(), [](PDEVICE_OBJECT d) {
        const DevicePowerRecord *record = power_record(d);
        return record != nullptr && record->remove_pending.load();
      }))
    return fail(STATUS_NO_SUCH_DEVICE);
  if (!count_open(io, file->stack))
    return fail(STATUS_ACCESS_DENIED);
  // From here the open counts are taken: release_file gives them back.

  file->object = static_cast<PFILE_OBJECT>(kernel_.pool().allocate(
      NonPagedPool, sizeof(FILE_OBJECT), kFileTag, KeGetCurrentIrql(), site));
  PIRP create = io.allocate_irp(top->StackSize, IrpOrigin::Platform, site);
  file->cleanup_irp =
      io.allocate_irp(top->StackSize, IrpOrigin::Platform, site);
  file->close_irp = io.allocate_irp(top->StackSize, IrpOrigin::Platform, site);
  if (file->object == nullptr || create == nullptr ||
      file->cleanup_irp == nullptr || file->close_irp == nullptr) {
    if (create != nullptr)
      io.free_irp(create, site);
    release_file(*file);
    return {STATUS_INSUFFICIENT_RESOURCES};
  }
  std::memset(file->object, 0, sizeof(FILE_OBJECT));
  file->object->Type = kIoTypeFile;
  file->object->Size = sizeof(FILE_OBJECT);
  file->object->DeviceObject = device;

  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(create);
  next->MajorFunction = IRP_MJ_CREATE;
  next->FileObject = file->object;
  next->Parameters.Create.Options = kFileOpen << 24 | kFileNonDirectoryFile;
  next->Parameters.Create.FileAttributes = kFileAttributeNormal;
  next->Parameters.Create.ShareAccess = kFileShareReadWrite;
  create->Tail.Overlay.OriginalFileObject = file->object;
  auto op = std::make_shared<State>(kernel_);
  op->major = IRP_MJ_CREATE;
  submit(op, top, create, site);
  NTSTATUS status = await(op);
  if (!NT_SUCCESS(status)) {
    // A failed create is never closed: the driver holds nothing for it.
    release_file(*file);
    return {status};
  }

  std::lock_guard guard(handles_lock_);
  Handle handle{next_handle_};
  next_handle_ += 4;
  handles_[handle] = file;
  std::erase_if(files_, [](const auto &weak) { return weak.expired(); });
  files_.push_back(file);
  return {status, handle};
}

std::shared_ptr<File> Application::reference(Handle handle) {
  std::lock_guard guard(handles_lock_);
  auto found = handles_.find(handle);
  if (found == handles_.end())
    return nullptr;
  std::lock_guard file_guard(found->second->lock);
  ++found->second->references;
  return found->second;
}

Request Application::start(const std::shared_ptr<File> &file, ULONG code,
                           std::span<const std::uint8_t> input,
                           std::size_t output_capacity, const void *site) {
  IoManager &io = kernel_.io();
  auto refuse = [&](NTSTATUS status) {
    drop_reference(file, false);
    return Request(finished(kernel_, status));
  };
  ULONG method = METHOD_FROM_CTL_CODE(code);
  if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT)
    return refuse(STATUS_NOT_SUPPORTED);
  if (input.size() > std::numeric_limits<ULONG>::max() ||
      output_capacity > std::numeric_limits<ULONG>::max())
    return refuse(STATUS_INVALID_PARAMETER);
  if (input.size() > kMaxUserBuffer || output_capacity > kMaxUserBuffer)
    return refuse(STATUS_INSUFFICIENT_RESOURCES);
  PDEVICE_OBJECT top = IoGetAttachedDevice(file->device);
  if (io.is_deleted(file->device) || io.is_deleted(top))
    return refuse(STATUS_NO_SUCH_DEVICE);

  auto op = std::make_shared<State>(kernel_);
  op->code = code;
  op->method = method;
  op->output_length = static_cast<ULONG>(output_capacity);
  op->output.assign(output_capacity, 0);
  std::size_t buffer_length = std::max(input.size(), output_capacity);
  if (method == METHOD_BUFFERED && buffer_length > 0) {
    op->system_buffer =
        kernel_.pool().allocate(NonPagedPool, buffer_length, kSystemBufferTag,
                                KeGetCurrentIrql(), site);
    if (op->system_buffer == nullptr)
      return refuse(STATUS_INSUFFICIENT_RESOURCES);
    // Zeroed beyond the input: a driver that reports more than it wrote
    // hands back zeros, not stale pool.
    std::memset(op->system_buffer, 0, buffer_length);
    if (!input.empty())
      std::memcpy(op->system_buffer, input.data(), input.size());
  }
  if (method == METHOD_NEITHER)
    op->input.assign(input.begin(), input.end());
  PIRP irp = io.allocate_irp(top->StackSize, IrpOrigin::Platform, site);
  if (irp == nullptr) {
    release_irp(*op);
    return refuse(STATUS_INSUFFICIENT_RESOURCES);
  }

  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  next->FileObject = file->object;
  next->Parameters.DeviceIoControl.IoControlCode = code;
  next->Parameters.DeviceIoControl.InputBufferLength =
      static_cast<ULONG>(input.size());
  next->Parameters.DeviceIoControl.OutputBufferLength = op->output_length;
  if (method == METHOD_NEITHER && !op->input.empty())
    next->Parameters.DeviceIoControl.Type3InputBuffer = op->input.data();
  irp->AssociatedIrp.SystemBuffer = op->system_buffer;
  irp->UserBuffer = op->output.empty() ? nullptr : op->output.data();
  irp->Tail.Overlay.OriginalFileObject = file->object;

  // The call's file reference passes to the request.
  op->file = file;
  {
    std::lock_guard guard(file->lock);
    file->in_flight[op.get()] = op;
  }
  submit(op, top, irp, site);
  return Request(op);
}

Request
Application::begin_device_io_control(Handle handle, ULONG code,
                                     std::span<const std::uint8_t> input,
                                     std::size_t output_capacity) {
  const void *site = __builtin_return_address(0);
  kernel_.scheduler().current_or_die("Application::begin_device_io_control");
  Context context = enter();
  std::shared_ptr<File> file = reference(handle);
  if (!file)
    return Request(finished(kernel_, STATUS_INVALID_HANDLE));
  return start(file, code, input, output_capacity, site);
}

IoResult Application::device_io_control(Handle handle, ULONG code,
                                        std::span<const std::uint8_t> input,
                                        std::size_t output_capacity) {
  const void *site = __builtin_return_address(0);
  kernel_.scheduler().current_or_die("Application::device_io_control");
  Context context = enter();
  std::shared_ptr<File> file = reference(handle);
  if (!file)
    return {STATUS_INVALID_HANDLE, 0, {}};
  Request request = start(file, code, input, output_capacity, site);
  NTSTATUS status = await(request.state_);
  if (request.pending())
    return {status, 0, {}};
  return request.result();
}

NTSTATUS Application::close(Handle handle) {
  kernel_.scheduler().current_or_die("Application::close");
  Context context = enter();
  std::shared_ptr<File> file;
  {
    std::lock_guard guard(handles_lock_);
    auto found = handles_.find(handle);
    if (found == handles_.end())
      return STATUS_INVALID_HANDLE;
    file = std::move(found->second);
    handles_.erase(found);
  }
  send_file_irp(*file, IRP_MJ_CLEANUP, file->cleanup_irp,
                __builtin_return_address(0));
  drop_reference(file, false);
  return STATUS_SUCCESS;
}

std::vector<std::string> Application::interfaces(const GUID &class_guid) const {
  std::vector<std::string> links;
  for (const DeviceInterface &interface : kernel_.io().interfaces(class_guid))
    links.push_back(interface.symbolic_link);
  return links;
}

std::size_t Application::open_handles() const {
  std::lock_guard guard(handles_lock_);
  return handles_.size();
}

std::vector<std::shared_ptr<File>> Application::live_files() {
  std::lock_guard guard(handles_lock_);
  std::vector<std::shared_ptr<File>> files;
  for (const auto &weak : files_)
    if (auto file = weak.lock())
      files.push_back(std::move(file));
  return files;
}

bool Application::idle() {
  {
    std::lock_guard guard(handles_lock_);
    if (!handles_.empty())
      return false;
  }
  for (const auto &file : live_files()) {
    std::lock_guard guard(file->lock);
    if (!file->in_flight.empty())
      return false;
  }
  return true;
}

void Application::exit() {
  if (idle())
    return;
  if (kernel_.clock() == Clock::Simulation &&
      kernel_.scheduler().current() == nullptr) {
    kernel_.run([this] { shutdown(); }, "application exit");
    return;
  }
  shutdown();
}

void Application::shutdown() {
  Context context = enter();
  // As a process's threads run down: their requests are cancelled first,
  // then the handle table is closed.
  for (const auto &file : live_files()) {
    std::vector<std::shared_ptr<State>> requests;
    {
      std::lock_guard guard(file->lock);
      for (const auto &[key, weak] : file->in_flight)
        if (auto op = weak.lock())
          requests.push_back(std::move(op));
    }
    for (const auto &op : requests)
      Request(op).cancel();
  }
  std::map<Handle, std::shared_ptr<File>> handles;
  {
    std::lock_guard guard(handles_lock_);
    handles.swap(handles_);
  }
  for (const auto &[handle, file] : handles) {
    send_file_irp(*file, IRP_MJ_CLEANUP, file->cleanup_irp, nullptr);
    drop_reference(file, false);
  }
}

} // namespace talvor::kernel
