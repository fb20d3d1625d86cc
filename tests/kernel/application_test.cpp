// The application side of the I/O manager: open, DeviceIoControl with
// buffered and neither semantics, overlapped requests from several threads,
// cancel racing completion, close with requests pending, process exit.
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/kernel/application.h"
#include "tests/kernel/driver/app_driver.h"
#include "tests/support/sim.h"

namespace talvor::test {
namespace {

using kernel::Application;
using kernel::FindingKind;
using kernel::Handle;
using kernel::Request;
using ::testing::HasSubstr;

using Bytes = std::vector<std::uint8_t>;

constexpr char kDeviceName[] = "\\Device\\AppTest0";

Bytes bytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

Bytes report(NTSTATUS status, ULONG information, UCHAR fill) {
  APP_REPORT report{status, information, fill};
  Bytes input(sizeof report);
  std::memcpy(input.data(), &report, sizeof report);
  return input;
}

LONG order_of(const kernel::IoResult &result) {
  LONG order = 0;
  if (result.output.size() == sizeof order)
    std::memcpy(&order, result.output.data(), sizeof order);
  return order;
}

// The test driver with one device, loaded and unloaded inside a kernel
// thread. An Application using it must be gone before it.
struct TestDriver {
  explicit TestDriver(bool exclusive = false) {
    driver = kernel::Kernel::get().io().create_driver("\\Driver\\AppTest",
                                                      "AppTest");
    AppDriverInitialize(driver);
    EXPECT_EQ(AppDriverAddDevice(driver, u"\\Device\\AppTest0",
                                 exclusive ? TRUE : FALSE, &device),
              STATUS_SUCCESS);
  }
  ~TestDriver() {
    // As at removal: interfaces go first, then the stack from the top.
    if (device != nullptr)
      AppDriverSetInterface(device, FALSE);
    if (filter != nullptr)
      AppDriverDetachFilter(filter);
    if (device != nullptr)
      AppDriverRemoveDevice(device);
    kernel::Kernel::get().io().delete_driver(driver);
  }
  TestDriver(const TestDriver &) = delete;
  TestDriver &operator=(const TestDriver &) = delete;

  APP_COUNTS counts(PDEVICE_OBJECT of = nullptr) const {
    APP_COUNTS counts{};
    AppDriverGetCounts(of != nullptr ? of : device, &counts);
    return counts;
  }

  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT device = nullptr;
  PDEVICE_OBJECT filter = nullptr;
};

// A kernel thread running `body`; join() waits for it.
PVOID spawn(std::function<void()> body) {
  auto context = std::make_unique<std::function<void()>>(std::move(body));
  HANDLE handle = nullptr;
  NTSTATUS status = PsCreateSystemThread(
      &handle, 0, nullptr, nullptr, nullptr,
      [](PVOID raw) {
        std::unique_ptr<std::function<void()>> run(
            static_cast<std::function<void()> *>(raw));
        (*run)();
      },
      context.get());
  EXPECT_EQ(status, STATUS_SUCCESS);
  if (!NT_SUCCESS(status))
    return nullptr;
  static_cast<void>(context.release()); // the thread owns it now
  PVOID thread = nullptr;
  ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode,
                            &thread, nullptr);
  ZwClose(handle);
  return thread;
}

void join(PVOID thread) {
  if (thread == nullptr)
    return;
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);
}

// A thread made and referenced by handle in the calling thread's context.
NTSTATUS join_by_handle() {
  HANDLE handle = nullptr;
  NTSTATUS status = PsCreateSystemThread(
      &handle, 0, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr);
  if (!NT_SUCCESS(status))
    return status;
  PVOID thread = nullptr;
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr,
                                     KernelMode, &thread, nullptr);
  ZwClose(handle);
  join(NT_SUCCESS(status) ? thread : nullptr);
  return status;
}

void pause_ms(LONGLONG ms) {
  LARGE_INTEGER interval;
  interval.QuadPart = -ms * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

class ApplicationTest : public SimTest {};

// --- handles and process context --------------------------------------------

// A driver's handle made in a request belongs to the requesting process
// unless it asks for a kernel handle; kernel-mode use of such a handle is
// a finding, and from another process it is no handle at all. Process exit
// closes what the driver left in the process.
TEST_F(ApplicationTest, HandlesOfARequestAreTheProcesssUnlessKernelHandles) {
  struct Case {
    ULONG attributes;
    BOOLEAN in_thread;
    NTSTATUS status;
    std::vector<std::string> findings;
    const char *site = ""; // the routine that used the handle
  };
  const std::string advice = " (create it with OBJ_KERNEL_HANDLE)";
  const std::vector<Case> cases = {
      {OBJ_KERNEL_HANDLE, FALSE, STATUS_SUCCESS, {}},
      {OBJ_KERNEL_HANDLE, TRUE, STATUS_SUCCESS, {}},
      {0,
       FALSE,
       STATUS_SUCCESS,
       {"ObReferenceObjectByHandle in kernel mode of handle 0x4 of user "
        "process 8, which that process can close or replace" +
            advice,
        "ZwClose in kernel mode of handle 0x4 of user process 8, which that "
        "process can close or replace" +
            advice},
       "ReferenceByHandle"},
      {0,
       TRUE,
       STATUS_INVALID_HANDLE,
       {"ObReferenceObjectByHandle in kernel mode of handle 0x8 of user "
        "process 8 from the system process, where it is not a handle" +
            advice,
        "ZwClose in kernel mode of handle 0x8 of user process 8 from the "
        "system process, where it is not a handle" +
            advice},
       "ReferenceByHandle"},
  };
  run([&] {
    TestDriver rig;
    {
      Application app;
      Handle handle = app.open(kDeviceName).handle;
      for (const Case &c : cases) {
        APP_THREAD request{c.attributes, c.in_thread};
        Bytes input(sizeof request);
        std::memcpy(input.data(), &request, sizeof request);
        EXPECT_EQ(
            app.device_io_control(handle, IOCTL_APP_THREAD, input, 0).status,
            c.status);
        auto findings = kernel().verifier().take();
        ASSERT_EQ(findings.size(), c.findings.size());
        for (std::size_t i = 0; i < findings.size(); ++i) {
          EXPECT_EQ(findings[i].kind, FindingKind::ObjectMisuse);
          EXPECT_EQ(findings[i].message, c.findings[i]);
          EXPECT_THAT(findings[i].site, HasSubstr(c.site));
        }
      }
      EXPECT_EQ(app.close(handle), STATUS_SUCCESS);
    }
    // The body runs in the system process: its handles are the kernel's.
    EXPECT_EQ(join_by_handle(), STATUS_SUCCESS);
  });
  // The handle the system thread could not close went with the process.
  kernel().check_teardown();
  EXPECT_TRUE(kernel().verifier().empty());
}

// --- buffered and neither semantics -----------------------------------------

TEST_F(ApplicationTest, BufferedCopiesInputInAndOnlyReportedOutputBack) {
  run([&] {
    TestDriver rig;
    Application app;
    Handle handle = app.open(kDeviceName).handle;

    auto echo =
        app.device_io_control(handle, IOCTL_APP_ECHO, bytes("abcdef"), 4);
    EXPECT_EQ(echo.status, STATUS_SUCCESS);
    EXPECT_EQ(echo.information, 4u);
    EXPECT_EQ(echo.output, bytes("fedc"));

    // A larger output buffer: only the bytes the driver reports come back.
    echo = app.device_io_control(handle, IOCTL_APP_ECHO, bytes("xy"), 16);
    EXPECT_EQ(echo.output, bytes("yx"));

    echo = app.device_io_control(handle, IOCTL_APP_ECHO, {}, 0);
    EXPECT_EQ(echo.status, STATUS_SUCCESS);
    EXPECT_TRUE(echo.output.empty());

    // An error delivers nothing, though the driver filled the buffer.
    auto failed = app.device_io_control(
        handle, IOCTL_APP_REPORT, report(STATUS_INVALID_PARAMETER, 8, 0xAA), 8);
    EXPECT_EQ(failed.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(failed.information, 8u);
    EXPECT_TRUE(failed.output.empty());

    // A warning still delivers (a partial answer).
    auto partial = app.device_io_control(
        handle, IOCTL_APP_REPORT, report(STATUS_BUFFER_OVERFLOW, 6, 0x5A), 8);
    EXPECT_EQ(partial.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(partial.output, Bytes(6, 0x5A));
    EXPECT_TRUE(kernel().verifier().empty());
  });
}

TEST_F(ApplicationTest, InformationBeyondTheOutputBufferIsClampedAndReported) {
  kernel().verifier().set_echo(false);
  run([&] {
    TestDriver rig;
    Application app;
    Handle handle = app.open(kDeviceName).handle;
    auto over = app.device_io_control(handle, IOCTL_APP_REPORT,
                                      report(STATUS_SUCCESS, 64, 0x11), 8);
    EXPECT_EQ(over.status, STATUS_SUCCESS);
    EXPECT_EQ(over.output, Bytes(8, 0x11));
    auto findings = kernel().verifier().take();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].kind, FindingKind::IrpMisuse);
    EXPECT_THAT(findings[0].message,
                HasSubstr("Information 64 beyond its output buffer of 8"));
  });
}

TEST_F(ApplicationTest, NeitherHandsOverTheCallersBuffersAndDirectIsRefused) {
  run([&] {
    TestDriver rig;
    Application app;
    Handle handle = app.open(kDeviceName).handle;
    auto reversed =
        app.device_io_control(handle, IOCTL_APP_REVERSE, bytes("12345"), 3);
    EXPECT_EQ(reversed.status, STATUS_SUCCESS);
    EXPECT_EQ(reversed.output, bytes("543"));

    auto direct =
        app.device_io_control(handle, IOCTL_APP_DIRECT, bytes("x"), 4);
    EXPECT_EQ(direct.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(rig.counts().Controls, 1)
        << "the direct request reached the driver";
  });
}

// --- open and close ----------------------------------------------------------

TEST_F(ApplicationTest, OpensByNameOrInterfaceAndRefusesUnknownNames) {
  run([&] {
    TestDriver rig;
    Application app;
    for (const char *unknown :
         {"\\Device\\Nope", "", "\\??\\Nope", "\\\\?\\x{broken",
          "\\\\.\\AppTest0{5B1D6E2A-3C47-4F08-9A61-0D2E7B94C3F5}"})
      EXPECT_EQ(app.open(unknown).status, STATUS_OBJECT_NAME_NOT_FOUND)
          << unknown;
    EXPECT_EQ(app.open("\\DEVICE\\apptest0").status, STATUS_SUCCESS);

    EXPECT_TRUE(app.interfaces(GUID_APP_INTERFACE).empty());
    ASSERT_EQ(AppDriverAttachFilter(rig.driver, rig.device, &rig.filter),
              STATUS_SUCCESS);
    ASSERT_EQ(AppDriverSetInterface(rig.device, TRUE), STATUS_SUCCESS);
    auto links = app.interfaces(GUID_APP_INTERFACE);
    ASSERT_EQ(links.size(), 1u);
    const std::string link = links[0];
    EXPECT_EQ(app.open(link).status, STATUS_SUCCESS);
    EXPECT_EQ(app.open("\\\\?\\" + link.substr(4)).status, STATUS_SUCCESS);
    // Both interface opens went through the filter on top of the stack.
    EXPECT_EQ(rig.counts(rig.filter).Creates, 2);
    EXPECT_EQ(rig.counts().Creates, 3);

    ASSERT_EQ(AppDriverSetInterface(rig.device, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(app.open(link).status, STATUS_OBJECT_NAME_NOT_FOUND);

    app.exit();
    APP_COUNTS counts = rig.counts();
    EXPECT_EQ(counts.Cleanups, 3);
    EXPECT_EQ(counts.Closes, 3);
    EXPECT_EQ(counts.Malformed, 0);
    EXPECT_EQ(rig.counts(rig.filter).Malformed, 0);
  });
}

TEST_F(ApplicationTest, FailedCreateLeavesNothingBehind) {
  run([&] {
    TestDriver rig;
    Application app;
    AppDriverSetOptions(rig.device, APP_FAIL_CREATE);
    auto refused = app.open(kDeviceName);
    EXPECT_EQ(refused.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(refused.handle, Handle::invalid);
    EXPECT_EQ(app.open_handles(), 0u);
    EXPECT_EQ(rig.device->ReferenceCount, 0);
    EXPECT_EQ(kernel().pool().stats(kernel::make_pool_tag("File")).outstanding,
              0u);

    AppDriverSetOptions(rig.device, 0);
    EXPECT_EQ(app.open(kDeviceName).status, STATUS_SUCCESS);
    app.exit();
    APP_COUNTS counts = rig.counts();
    EXPECT_EQ(counts.Creates, 2);
    EXPECT_EQ(counts.Cleanups, 1);
    EXPECT_EQ(counts.Closes, 1);
  });
}

TEST_F(ApplicationTest, OpeningWithoutPoolFailsCleanly) {
  run([&] {
    TestDriver rig;
    Application app;
    kernel().pool().fail_tag(std::nullopt);
    EXPECT_EQ(app.open(kDeviceName).status, STATUS_INSUFFICIENT_RESOURCES);
    kernel().pool().clear_faults();
    EXPECT_EQ(rig.counts().Creates, 0);
    EXPECT_EQ(rig.device->ReferenceCount, 0);

    Handle handle = app.open(kDeviceName).handle;
    kernel().pool().fail_tag(std::nullopt);
    EXPECT_EQ(
        app.device_io_control(handle, IOCTL_APP_ECHO, bytes("ab"), 2).status,
        STATUS_INSUFFICIENT_RESOURCES);
    // Cleanup and close were reserved at the open: they still go out.
    EXPECT_EQ(app.close(handle), STATUS_SUCCESS);
    kernel().pool().clear_faults();
    EXPECT_EQ(rig.counts().Closes, 1);
  });
}

TEST_F(ApplicationTest,
       ExclusiveDeviceRefusesASecondOpenWithoutAskingTheDriver) {
  run([&] {
    TestDriver rig(/*exclusive=*/true);
    Application app, other_process;
    Handle first = app.open(kDeviceName).handle;
    EXPECT_EQ(app.open(kDeviceName).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(other_process.open(kDeviceName).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(rig.counts().Creates, 1);

    // Below a filter, reached through its interface, it is still exclusive.
    ASSERT_EQ(AppDriverAttachFilter(rig.driver, rig.device, &rig.filter),
              STATUS_SUCCESS);
    ASSERT_EQ(AppDriverSetInterface(rig.device, TRUE), STATUS_SUCCESS);
    std::string link = app.interfaces(GUID_APP_INTERFACE).at(0);
    EXPECT_EQ(other_process.open(link).status, STATUS_ACCESS_DENIED);

    EXPECT_EQ(app.close(first), STATUS_SUCCESS);
    EXPECT_EQ(other_process.open(link).status, STATUS_SUCCESS);
    EXPECT_EQ(app.open(kDeviceName).status, STATUS_ACCESS_DENIED);
  });
}

TEST_F(ApplicationTest, DeviceStillInitialisingOrDeletedIsNoSuchDevice) {
  run([&] {
    TestDriver rig;
    Application app;
    rig.device->Flags |= DO_DEVICE_INITIALIZING;
    EXPECT_EQ(app.open(kDeviceName).status, STATUS_NO_SUCH_DEVICE);
    rig.device->Flags &= ~DO_DEVICE_INITIALIZING;
    EXPECT_EQ(rig.counts().Creates, 0);

    Handle handle = app.open(kDeviceName).handle;
    AppDriverRemoveDevice(std::exchange(rig.device, nullptr));
    // The handle outlives the device object: requests fail, close works,
    // and the deleted device is sent nothing.
    EXPECT_EQ(
        app.device_io_control(handle, IOCTL_APP_ECHO, bytes("a"), 1).status,
        STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(app.begin_device_io_control(handle, IOCTL_APP_WAIT, {}, 4).wait(),
              STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(app.open(kDeviceName).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(app.close(handle), STATUS_SUCCESS);
  });
}

TEST_F(ApplicationTest, HandleMisuseIsAnErrorNeverACrash) {
  run([&] {
    TestDriver rig;
    Application app;
    Handle handle = app.open(kDeviceName).handle;
    EXPECT_EQ(app.close(handle), STATUS_SUCCESS);
    for (Handle bad : {handle, Handle::invalid, Handle{0x1235}}) {
      EXPECT_EQ(app.close(bad), STATUS_INVALID_HANDLE);
      EXPECT_EQ(
          app.device_io_control(bad, IOCTL_APP_ECHO, bytes("a"), 1).status,
          STATUS_INVALID_HANDLE);
      Request request = app.begin_device_io_control(bad, IOCTL_APP_WAIT, {}, 4);
      EXPECT_FALSE(request.pending());
      EXPECT_EQ(request.wait(), STATUS_INVALID_HANDLE);
    }
    Request none;
    EXPECT_EQ(none.status(), STATUS_INVALID_HANDLE);
    EXPECT_EQ(none.wait(), STATUS_INVALID_HANDLE);
    EXPECT_FALSE(none.cancel());
    EXPECT_EQ(rig.counts().Cleanups, 1);
    EXPECT_EQ(rig.counts().Closes, 1);
  });
}

// --- overlapped requests -----------------------------------------------------

TEST_F(ApplicationTest, OverlappedRequestWaitsTimesOutAndIsCancelled) {
  run([&] {
    TestDriver rig;
    Application app;
    Handle handle = app.open(kDeviceName).handle;

    Request waiting =
        app.begin_device_io_control(handle, IOCTL_APP_WAIT, {}, 4);
    EXPECT_TRUE(waiting.pending());
    std::uint64_t before = kernel().now();
    EXPECT_EQ(waiting.wait(std::chrono::milliseconds(10)), STATUS_PENDING);
    EXPECT_EQ(kernel().now() - before, 10u * 10000);
    EXPECT_EQ(waiting.result().status, STATUS_PENDING);
    EXPECT_EQ(waiting.wait(std::chrono::microseconds(-5)), STATUS_PENDING);
    EXPECT_EQ(kernel().now() - before, 10u * 10000);

    // Released by another request on the same handle.
    EXPECT_EQ(app.device_io_control(handle, IOCTL_APP_RELEASE, {}, 0).status,
              STATUS_SUCCESS);
    EXPECT_EQ(waiting.wait(), STATUS_SUCCESS);
    EXPECT_EQ(order_of(waiting.result()), 1);
    EXPECT_FALSE(waiting.cancel());

    Request cancelled =
        app.begin_device_io_control(handle, IOCTL_APP_WAIT, {}, 4);
    EXPECT_TRUE(cancelled.cancel());
    EXPECT_EQ(cancelled.wait(), STATUS_CANCELLED);
    EXPECT_TRUE(cancelled.result().output.empty());
    EXPECT_FALSE(cancelled.cancel());
  });
}

TEST_F(ApplicationTest,
       RequestsOfSeveralThreadsCompleteInAnyOrderUnderManySeeds) {
  constexpr std::size_t kThreads = 3;
  constexpr std::size_t kPerThread = 2;
  std::set<std::vector<LONG>> arrangements;
  for (std::uint64_t seed : sweep(50)) {
    start(seed);
    std::vector<LONG> orders(kThreads * kPerThread);
    run([&] {
      TestDriver rig;
      Application app;
      Handle handle = app.open(kDeviceName).handle;
      KEVENT issued;
      KeInitializeEvent(&issued, NotificationEvent, FALSE);
      LONG left = static_cast<LONG>(kThreads);
      std::vector<PVOID> threads;
      threads.reserve(kThreads);
      for (std::size_t t = 0; t < kThreads; ++t)
        threads.push_back(spawn([&, t] {
          std::vector<Request> mine(kPerThread);
          for (Request &request : mine)
            request =
                app.begin_device_io_control(handle, IOCTL_APP_WAIT, {}, 4);
          // Two of this thread's are pending: a release always finds one.
          EXPECT_EQ(
              app.device_io_control(handle, IOCTL_APP_RELEASE, {}, 0).status,
              STATUS_SUCCESS);
          if (InterlockedDecrement(&left) == 0)
            KeSetEvent(&issued, IO_NO_INCREMENT, FALSE);
          for (std::size_t i = 0; i < kPerThread; ++i) {
            EXPECT_EQ(mine[i].wait(), STATUS_SUCCESS);
            orders[t * kPerThread + i] = order_of(mine[i].result());
          }
        }));
      KeWaitForSingleObject(&issued, Executive, KernelMode, FALSE, nullptr);
      // The rest is released by the driver's own thread.
      EXPECT_EQ(app.device_io_control(handle, IOCTL_APP_KICK, {}, 0).status,
                STATUS_SUCCESS);
      for (PVOID thread : threads)
        join(thread);
      EXPECT_EQ(app.close(handle), STATUS_SUCCESS);
      EXPECT_EQ(rig.counts().Released,
                static_cast<LONG>(kThreads * kPerThread));
      EXPECT_EQ(rig.counts().Closes, 1);
    });
    std::set<LONG> distinct(orders.begin(), orders.end());
    EXPECT_EQ(distinct, (std::set<LONG>{1, 2, 3, 4, 5, 6})) << "seed " << seed;
    arrangements.insert(orders);
    finish();
  }
  if (!replay_seed()) {
    EXPECT_GT(arrangements.size(), 5u)
        << "fifty seeds hardly varied the completion order";
  }
}

TEST_F(ApplicationTest, CancelRacingCompletionCompletesOnceUnderManySeeds) {
  int cancelled = 0, released = 0;
  for (std::uint64_t seed : sweep(50)) {
    start(seed);
    run([&] {
      TestDriver rig;
      Application app;
      Handle handle = app.open(kDeviceName).handle;
      Request request =
          app.begin_device_io_control(handle, IOCTL_APP_WAIT, {}, 4);
      bool cancel_ran = false;
      NTSTATUS release = STATUS_PENDING;
      // Odd seeds release from an application thread, even ones from the
      // driver's system thread.
      bool from_driver_thread = seed % 2 == 0;
      PVOID canceller = spawn([&] { cancel_ran = request.cancel(); });
      PVOID releaser = spawn([&] {
        release = app.device_io_control(handle,
                                        from_driver_thread ? IOCTL_APP_KICK
                                                           : IOCTL_APP_RELEASE,
                                        {}, 0)
                      .status;
      });
      NTSTATUS status = request.wait();
      join(canceller);
      join(releaser);
      ASSERT_TRUE(status == STATUS_CANCELLED || status == STATUS_SUCCESS)
          << std::hex << status;
      EXPECT_EQ(cancel_ran, status == STATUS_CANCELLED) << "seed " << seed;
      if (!from_driver_thread) {
        EXPECT_EQ(release,
                  status == STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_NOT_FOUND);
      }
      (status == STATUS_CANCELLED ? cancelled : released)++;
      EXPECT_EQ(app.close(handle), STATUS_SUCCESS);
    });
    finish(); // a second completion would be a finding here
  }
  if (!replay_seed()) {
    EXPECT_GT(cancelled, 0) << "no seed let the cancel win";
    EXPECT_GT(released, 0) << "no seed let the release win";
  }
}

// --- close and exit with requests pending ----------------------------------

TEST_F(ApplicationTest, CloseSendsCleanupAtOnceAndCloseAfterTheLastRequest) {
  run([&] {
    TestDriver rig;
    Application app;

    // The driver cancels the file's requests at cleanup: close follows.
    Handle handle = app.open(kDeviceName).handle;
    Request request =
        app.begin_device_io_control(handle, IOCTL_APP_WAIT, {}, 4);
    EXPECT_EQ(app.close(handle), STATUS_SUCCESS);
    EXPECT_EQ(request.status(), STATUS_CANCELLED);
    EXPECT_EQ(rig.counts().Cleanups, 1);
    EXPECT_EQ(rig.counts().Closes, 1);

    // The driver keeps them: the request holds the file object open.
    AppDriverSetOptions(rig.device, APP_KEEP_AT_CLEANUP);
    handle = app.open(kDeviceName).handle;
    request = app.begin_device_io_control(handle, IOCTL_APP_WAIT, {}, 4);
    EXPECT_EQ(app.close(handle), STATUS_SUCCESS);
    EXPECT_EQ(rig.counts().Cleanups, 2);
    EXPECT_EQ(rig.counts().Closes, 1);
    EXPECT_TRUE(request.pending());
    EXPECT_EQ(app.close(handle), STATUS_INVALID_HANDLE);

    EXPECT_TRUE(AppDriverReleaseOldest(rig.device));
    EXPECT_EQ(request.wait(), STATUS_SUCCESS);
    pause_ms(1); // the close goes out from a worker thread
    EXPECT_EQ(rig.counts().Closes, 2);
    EXPECT_EQ(rig.counts().Malformed, 0);
  });
}

TEST_F(ApplicationTest, ExitCancelsRequestsAndClosesHandles) {
  std::optional<TestDriver> rig;
  Request on_open_handle, on_closed_handle;
  auto app = std::make_unique<Application>(kernel());
  run([&] {
    rig.emplace();
    AppDriverSetOptions(rig->device, APP_KEEP_AT_CLEANUP);
    Handle kept = app->open(kDeviceName).handle;
    Handle closed = app->open(kDeviceName).handle;
    on_open_handle = app->begin_device_io_control(kept, IOCTL_APP_WAIT, {}, 4);
    on_closed_handle =
        app->begin_device_io_control(closed, IOCTL_APP_WAIT, {}, 4);
    EXPECT_EQ(app->close(closed), STATUS_SUCCESS);
  });
  // Destroyed outside a kernel thread: the exit runs as one.
  app.reset();
  EXPECT_EQ(on_open_handle.status(), STATUS_CANCELLED);
  EXPECT_EQ(on_closed_handle.status(), STATUS_CANCELLED);
  run([&] {
    APP_COUNTS counts = rig->counts();
    EXPECT_EQ(counts.Cancelled, 2);
    EXPECT_EQ(counts.Cleanups, 2);
    EXPECT_EQ(counts.Closes, 2);
    rig.reset();
  });
}

TEST_F(ApplicationTest, PendingReturnedWithoutMarkingIsAFinding) {
  kernel().verifier().set_echo(false);
  run([&] {
    TestDriver rig;
    Application app;
    Handle handle = app.open(kDeviceName).handle;
    EXPECT_EQ(
        app.device_io_control(handle, IOCTL_APP_UNMARKED_PENDING, {}, 0).status,
        STATUS_SUCCESS);
    auto findings = kernel().verifier().take();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].kind, FindingKind::IrpMisuse);
    EXPECT_THAT(findings[0].message, HasSubstr("without IoMarkIrpPending"));
    EXPECT_THAT(findings[0].site, HasSubstr("AppDispatch"));
  });
}

TEST(ApplicationRealTime, AnyThreadOpensControlsCancelsAndCloses) {
  kernel::Options options;
  options.clock = kernel::Clock::RealTime;
  kernel::Kernel kernel(options);
  {
    TestDriver rig;
    {
      Application app;
      Handle handle = app.open(kDeviceName).handle;
      EXPECT_EQ(
          app.device_io_control(handle, IOCTL_APP_ECHO, bytes("ab"), 2).output,
          bytes("ba"));
      Request request =
          app.begin_device_io_control(handle, IOCTL_APP_WAIT, {}, 4);
      std::thread canceller([&] { EXPECT_TRUE(request.cancel()); });
      canceller.join();
      EXPECT_EQ(request.wait(std::chrono::seconds(5)), STATUS_CANCELLED);
      request = app.begin_device_io_control(handle, IOCTL_APP_WAIT, {}, 4);
      std::thread releaser([&] {
        EXPECT_EQ(app.device_io_control(handle, IOCTL_APP_KICK, {}, 0).status,
                  STATUS_SUCCESS);
      });
      EXPECT_EQ(request.wait(std::chrono::seconds(5)), STATUS_SUCCESS);
      releaser.join();
      EXPECT_EQ(app.close(handle), STATUS_SUCCESS);
    }
    EXPECT_EQ(rig.counts().Closes, 1);
  }
  kernel.check_teardown();
  for (const auto &finding : kernel.verifier().take())
    ADD_FAILURE() << kernel::to_string(finding);
}

} // namespace
} // namespace talvor::test
