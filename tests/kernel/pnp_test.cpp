// The PnP manager: the request sequences a function driver sees, refusals
// that send nothing, queries, and the verifier's PnP findings on planted
// bugs of the test driver.
#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/kernel/application.h"
#include "tests/kernel/testbus/test_stack.h"
#include "tests/support/sim.h"

namespace talvor::test {
namespace {

using kernel::Application;
using kernel::DeviceNodeState;
using kernel::FindingKind;
using kernel::TargetDeviceChange;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr GUID kTestInterface = {
    0x3a1b2c4d,
    0x1111,
    0x4222,
    {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};

class PnpTest : public SimTest {
protected:
  // Expects exactly one finding of `kind` mentioning `text`, and forgets it.
  void expect_finding(FindingKind kind, const std::string &text) {
    auto findings = kernel().verifier().take();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].kind, kind) << kernel::to_string(findings[0]);
    EXPECT_THAT(findings[0].message, HasSubstr(text));
  }
};

TEST_F(PnpTest, FullSequenceUnderManySeeds) {
  for (std::uint64_t seed : sweep(30)) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    start(seed);
    run([&] {
      TestStack stack(kernel());
      PDEVICE_OBJECT pdo = stack.bus.add_child();
      auto &pnp = stack.pnp;

      ASSERT_EQ(pnp.add_device(pdo), STATUS_SUCCESS);
      EXPECT_EQ(pnp.state(pdo), DeviceNodeState::Started);
      PDEVICE_OBJECT fdo = pnp.function_device(pdo);
      ASSERT_NE(fdo, nullptr);
      EXPECT_EQ(pdo->AttachedDevice, fdo);
      EXPECT_TRUE(pdo->Flags & DO_BUS_ENUMERATED_DEVICE);
      PPNP_TEST_EXTENSION extension = stack.extension(pdo);
      EXPECT_EQ(extension->State, PnpTestStarted);
      // The driver asked the bus for its capabilities while starting.
      EXPECT_EQ(extension->Capabilities.DeviceState[PowerSystemSleeping3],
                PowerDeviceD3);

      EXPECT_EQ(pnp.query_stop(pdo), STATUS_SUCCESS);
      EXPECT_EQ(pnp.state(pdo), DeviceNodeState::StopPending);
      EXPECT_EQ(pnp.stop(pdo), STATUS_SUCCESS);
      EXPECT_EQ(extension->State, PnpTestStopped);
      EXPECT_EQ(pnp.start(pdo), STATUS_SUCCESS);
      EXPECT_EQ(extension->State, PnpTestStarted);
      EXPECT_EQ(pnp.query_remove(pdo), STATUS_SUCCESS);
      EXPECT_EQ(pnp.state(pdo), DeviceNodeState::RemovePending);
      EXPECT_EQ(pnp.cancel_remove(pdo), STATUS_SUCCESS);
      EXPECT_EQ(extension->State, PnpTestStarted);
      EXPECT_EQ(pnp.surprise_remove(pdo), STATUS_SUCCESS);
      EXPECT_EQ(extension->State, PnpTestSurpriseRemoved);
      EXPECT_EQ(pnp.remove(pdo), STATUS_SUCCESS);
      EXPECT_EQ(pnp.state(pdo), DeviceNodeState::Removed);
      EXPECT_EQ(pdo->AttachedDevice, nullptr);
      EXPECT_TRUE(kernel().io().devices_of(stack.driver).empty());

      // Every request reached the bus, in Windows' order, the IDs first.
      EXPECT_THAT(stack.bus.minors(pdo, IRP_MJ_PNP),
                  ElementsAre(IRP_MN_QUERY_ID, IRP_MN_START_DEVICE,
                              IRP_MN_QUERY_CAPABILITIES,
                              IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE,
                              IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES,
                              IRP_MN_QUERY_REMOVE_DEVICE,
                              IRP_MN_CANCEL_REMOVE_DEVICE,
                              IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE));
    });
    finish();
  }
}

PNP_TEST_FILES files() {
  PNP_TEST_FILES seen;
  PnpTestGetFiles(&seen);
  return seen;
}

// Open handles and removal, in Windows' order: the application hears of a
// query-remove first; a handle still open after the query vetoes the
// removal, which is cancelled down the stack; once the handle is closed the
// removal goes on, and the device takes no new opens.
TEST_F(PnpTest, QueryRemoveWithAHandleStillOpenIsVetoed) {
  run([&] {
    TestStack stack(kernel());
    PDEVICE_OBJECT pdo = stack.bus.add_child();
    auto &pnp = stack.pnp;
    ASSERT_EQ(pnp.add_device(pdo), STATUS_SUCCESS);
    const std::string name = kernel().io().name_of(pdo);
    Application app;
    auto opened = app.open(name);
    ASSERT_EQ(opened.status, STATUS_SUCCESS);

    std::vector<TargetDeviceChange> heard;
    bool close_on_query = false;
    pnp.watch(pdo, [&](TargetDeviceChange change) {
      heard.push_back(change);
      if (change == TargetDeviceChange::QueryRemove && close_on_query) {
        EXPECT_EQ(app.close(opened.handle), STATUS_SUCCESS);
      }
    });
    EXPECT_EQ(pnp.query_remove(pdo), kernel::kRemovalVetoed);
    EXPECT_EQ(pnp.state(pdo), DeviceNodeState::Started);
    EXPECT_EQ(stack.extension(pdo)->State, PnpTestStarted);
    EXPECT_THAT(heard, ElementsAre(TargetDeviceChange::QueryRemove,
                                   TargetDeviceChange::RemoveCancelled));
    EXPECT_EQ(app.open_handles(), 1u);

    heard.clear();
    close_on_query = true;
    EXPECT_EQ(pnp.query_remove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(app.open(name).status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(files().Creates, 1);
    EXPECT_EQ(files().Closes, 1);
    EXPECT_EQ(pnp.remove(pdo), STATUS_SUCCESS);
    EXPECT_THAT(heard, ElementsAre(TargetDeviceChange::QueryRemove,
                                   TargetDeviceChange::RemoveComplete));
    EXPECT_THAT(stack.bus.minors(pdo, IRP_MJ_PNP),
                ElementsAre(IRP_MN_QUERY_ID, IRP_MN_START_DEVICE,
                            IRP_MN_QUERY_CAPABILITIES,
                            IRP_MN_QUERY_REMOVE_DEVICE,
                            IRP_MN_CANCEL_REMOVE_DEVICE,
                            IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE));
  });
}

// After a surprise removal the application is told, its cleanup and close
// still reach the surprise-removed device, and IRP_MN_REMOVE_DEVICE comes
// only once the last handle is closed.
TEST_F(PnpTest, RemovalAfterSurpriseWaitsForTheLastHandle) {
  run([&] {
    TestStack stack(kernel());
    PDEVICE_OBJECT pdo = stack.bus.add_child();
    auto &pnp = stack.pnp;
    ASSERT_EQ(pnp.add_device(pdo), STATUS_SUCCESS);
    Application app;
    auto opened = app.open(kernel().io().name_of(pdo));
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    std::vector<TargetDeviceChange> heard;
    pnp.watch(pdo, [&](TargetDeviceChange change) { heard.push_back(change); });

    ASSERT_EQ(pnp.surprise_remove(pdo), STATUS_SUCCESS);
    EXPECT_THAT(heard, ElementsAre(TargetDeviceChange::RemoveComplete));
    struct Remover {
      kernel::PnpManager *pnp;
      PDEVICE_OBJECT pdo;
      NTSTATUS status = STATUS_PENDING;
    } remover{&pnp, pdo};
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(
                  &handle, 0, nullptr, nullptr, nullptr,
                  [](PVOID context) {
                    auto *r = static_cast<Remover *>(context);
                    r->status = r->pnp->remove(r->pdo);
                  },
                  &remover),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr,
                                        KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    LARGE_INTEGER second;
    second.QuadPart = -10'000'000;
    KeDelayExecutionThread(KernelMode, FALSE, &second);
    EXPECT_EQ(remover.status, STATUS_PENDING);
    EXPECT_EQ(stack.bus.minors(pdo, IRP_MJ_PNP).back(),
              IRP_MN_SURPRISE_REMOVAL);

    EXPECT_EQ(app.close(opened.handle), STATUS_SUCCESS);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    EXPECT_EQ(remover.status, STATUS_SUCCESS);
    EXPECT_EQ(files().Cleanups, 1);
    EXPECT_EQ(files().CleanupState, PnpTestSurpriseRemoved);
    EXPECT_EQ(files().Closes, 1);
    EXPECT_EQ(files().CloseState, PnpTestSurpriseRemoved);
    EXPECT_EQ(pnp.state(pdo), DeviceNodeState::Removed);
    EXPECT_EQ(stack.bus.minors(pdo, IRP_MJ_PNP).back(), IRP_MN_REMOVE_DEVICE);
    EXPECT_THAT(heard, ElementsAre(TargetDeviceChange::RemoveComplete));
  });
}

TEST_F(PnpTest, CancelledQueriesAndRestart) {
  run([&] {
    TestStack stack(kernel());
    PDEVICE_OBJECT pdo = stack.bus.add_child();
    auto &pnp = stack.pnp;
    ASSERT_EQ(pnp.add_device(pdo), STATUS_SUCCESS);
    EXPECT_EQ(pnp.query_stop(pdo), STATUS_SUCCESS);
    EXPECT_EQ(pnp.cancel_stop(pdo), STATUS_SUCCESS);
    EXPECT_EQ(pnp.state(pdo), DeviceNodeState::Started);
    EXPECT_EQ(stack.extension(pdo)->State, PnpTestStarted);
    EXPECT_EQ(pnp.query_remove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(pnp.remove(pdo), STATUS_SUCCESS);
    EXPECT_THAT(stack.bus.minors(pdo, IRP_MJ_PNP),
                ElementsAre(IRP_MN_QUERY_ID, IRP_MN_START_DEVICE,
                            IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_STOP_DEVICE,
                            IRP_MN_CANCEL_STOP_DEVICE,
                            IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE));
    // A removed device's PDO may be reported again: a new node.
    ASSERT_EQ(pnp.add_device(pdo), STATUS_SUCCESS);
    EXPECT_EQ(pnp.state(pdo), DeviceNodeState::Started);
    EXPECT_EQ(stack.unplug(pdo), STATUS_SUCCESS);
  });
}

TEST_F(PnpTest, RefusedQueryIsFollowedByItsCancel) {
  run([&] {
    PNP_TEST_OPTIONS options{};
    options.QueryStopStatus = STATUS_DEVICE_BUSY;
    options.QueryRemoveStatus = STATUS_UNSUCCESSFUL;
    TestStack stack(kernel(), options);
    PDEVICE_OBJECT pdo = stack.bus.add_child();
    auto &pnp = stack.pnp;
    ASSERT_EQ(pnp.add_device(pdo), STATUS_SUCCESS);
    EXPECT_EQ(pnp.query_stop(pdo), STATUS_DEVICE_BUSY);
    EXPECT_EQ(pnp.state(pdo), DeviceNodeState::Started);
    EXPECT_EQ(pnp.query_remove(pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pnp.state(pdo), DeviceNodeState::Started);
    // The driver refused without passing the queries down; their cancels
    // went all the way.
    EXPECT_THAT(stack.bus.minors(pdo, IRP_MJ_PNP),
                ElementsAre(IRP_MN_QUERY_ID, IRP_MN_START_DEVICE,
                            IRP_MN_QUERY_CAPABILITIES,
                            IRP_MN_CANCEL_STOP_DEVICE,
                            IRP_MN_CANCEL_REMOVE_DEVICE));
    EXPECT_EQ(stack.unplug(pdo), STATUS_SUCCESS);
  });
}

TEST_F(PnpTest, FailedStartIsFollowedByRemove) {
  run([&] {
    // The bus fails the start: the driver never counts itself started.
    TestStack stack(kernel());
    TestChild broken;
    broken.start_status = STATUS_DEVICE_NOT_CONNECTED;
    PDEVICE_OBJECT pdo = stack.bus.add_child(broken);
    EXPECT_EQ(stack.pnp.add_device(pdo), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(stack.pnp.state(pdo), DeviceNodeState::Removed);
    EXPECT_THAT(stack.bus.minors(pdo, IRP_MJ_PNP),
                ElementsAre(IRP_MN_QUERY_ID, IRP_MN_START_DEVICE,
                            IRP_MN_REMOVE_DEVICE));
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    EXPECT_TRUE(kernel().io().devices_of(stack.driver).empty());
  });
  run([&] {
    // The driver fails its own start after the bus's.
    PNP_TEST_OPTIONS options{};
    options.StartStatus = STATUS_INSUFFICIENT_RESOURCES;
    TestStack stack(kernel(), options);
    PDEVICE_OBJECT pdo = stack.bus.add_child();
    EXPECT_EQ(stack.pnp.add_device(pdo), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(stack.pnp.state(pdo), DeviceNodeState::Removed);
    EXPECT_EQ(stack.bus.minors(pdo, IRP_MJ_PNP).back(), IRP_MN_REMOVE_DEVICE);
  });
}

TEST_F(PnpTest, FailedAddDeviceLeavesNoNode) {
  run([&] {
    PNP_TEST_OPTIONS options{};
    options.AddDeviceStatus = STATUS_INSUFFICIENT_RESOURCES;
    TestStack stack(kernel(), options);
    PDEVICE_OBJECT pdo = stack.bus.add_child();
    EXPECT_EQ(stack.pnp.add_device(pdo), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(stack.pnp.state(pdo), std::nullopt);
    EXPECT_THAT(stack.bus.minors(pdo, IRP_MJ_PNP),
                ElementsAre(IRP_MN_QUERY_ID));
    // The bus may report it again, to a driver that now takes it.
    PnpTestInitialize(stack.driver, nullptr);
    EXPECT_EQ(stack.pnp.add_device(pdo), STATUS_SUCCESS);
    EXPECT_EQ(stack.unplug(pdo), STATUS_SUCCESS);
  });
}

TEST_F(PnpTest, FunctionDriverIsFoundByItsIds) {
  run([&] {
    TestStack stack(kernel());
    TestChild compatible;
    compatible.hardware_id = "USB\\VID_1234&PID_5678";
    compatible.compatible_ids = {"USB\\Class_0B", "talvor\\test_device"};
    PDEVICE_OBJECT by_compatible = stack.bus.add_child(compatible);
    TestChild stranger;
    stranger.hardware_id = "USB\\VID_0000&PID_0000";
    PDEVICE_OBJECT unknown = stack.bus.add_child(stranger);

    EXPECT_EQ(stack.pnp.add_device(by_compatible), STATUS_SUCCESS);
    EXPECT_EQ(stack.pnp.add_device(unknown), STATUS_NOT_FOUND);
    EXPECT_EQ(stack.pnp.state(unknown), std::nullopt);
    // Only the IDs were asked for: no driver, nothing else.
    EXPECT_THAT(stack.bus.minors(unknown, IRP_MJ_PNP),
                ElementsAre(IRP_MN_QUERY_ID, IRP_MN_QUERY_ID));
    // A driver given explicitly needs no IDs.
    EXPECT_EQ(stack.pnp.add_device(unknown, stack.driver), STATUS_SUCCESS);
    for (PDEVICE_OBJECT pdo : {by_compatible, unknown}) {
      EXPECT_EQ(stack.unplug(pdo), STATUS_SUCCESS);
    }
  });
}

TEST_F(PnpTest, Queries) {
  run([&] {
    TestStack stack(kernel());
    TestChild child;
    child.compatible_ids = {"TALVOR\\ANY", "GENERIC"};
    child.system_wake = PowerSystemSleeping3;
    child.device_wake = PowerDeviceD2;
    child.pnp_device_state = 0x20;
    child.query_interface = [](IO_STACK_LOCATION &stack) {
      auto &query = stack.Parameters.QueryInterface;
      if (std::memcmp(query.InterfaceType, &kTestInterface, sizeof(GUID)) != 0)
        return STATUS_NOT_SUPPORTED;
      query.Interface->Size = query.Size;
      query.Interface->Version = query.Version;
      query.Interface->Context = reinterpret_cast<PVOID>(0x1234);
      return STATUS_SUCCESS;
    };
    PDEVICE_OBJECT pdo = stack.bus.add_child(child);
    auto &pnp = stack.pnp;
    ASSERT_EQ(pnp.add_device(pdo), STATUS_SUCCESS);

    DEVICE_CAPABILITIES caps{};
    ASSERT_EQ(pnp.query_capabilities(pdo, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.Size, sizeof(DEVICE_CAPABILITIES));
    EXPECT_EQ(caps.Version, 1);
    EXPECT_EQ(caps.Address, 0xFFFFFFFFu);
    EXPECT_EQ(caps.UINumber, 0xFFFFFFFFu);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.DeviceState[PowerSystemHibernate], PowerDeviceD3);
    EXPECT_EQ(caps.SystemWake, PowerSystemSleeping3);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceD2);
    EXPECT_EQ(pnp.query_capabilities(pdo, nullptr), STATUS_INVALID_PARAMETER);

    INTERFACE found{};
    EXPECT_EQ(pnp.query_interface(pdo, kTestInterface, sizeof found, 3, &found),
              STATUS_SUCCESS);
    EXPECT_EQ(found.Version, 3);
    EXPECT_EQ(found.Context, reinterpret_cast<PVOID>(0x1234));
    GUID other = kTestInterface;
    other.Data1 ^= 1;
    EXPECT_EQ(pnp.query_interface(pdo, other, sizeof found, 1, &found),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(pnp.query_interface(pdo, kTestInterface, 4, 1, &found),
              STATUS_INVALID_PARAMETER);

    ULONG_PTR state = 0;
    EXPECT_EQ(pnp.query_pnp_device_state(pdo, &state), STATUS_SUCCESS);
    EXPECT_EQ(state, 0x20u);

    std::vector<std::string> ids;
    EXPECT_EQ(pnp.query_id(pdo, BusQueryDeviceID, &ids), STATUS_SUCCESS);
    EXPECT_THAT(ids, ElementsAre("TALVOR\\TEST_DEVICE"));
    EXPECT_EQ(pnp.query_id(pdo, BusQueryCompatibleIDs, &ids), STATUS_SUCCESS);
    EXPECT_THAT(ids, ElementsAre("TALVOR\\ANY", "GENERIC"));
    EXPECT_EQ(pnp.query_id(pdo, BusQueryInstanceID, &ids), STATUS_SUCCESS);
    EXPECT_THAT(ids, ElementsAre("0001"));
    EXPECT_EQ(pnp.query_id(pdo, BusQueryContainerID, &ids),
              STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(ids.empty());

    // A minor code nobody handles comes back as Windows starts it.
    kernel::IrpReply reply = pnp.send(pdo, 0x18, {});
    EXPECT_TRUE(reply.completed);
    EXPECT_EQ(reply.status, STATUS_NOT_SUPPORTED);
    // State changes have requests of their own.
    EXPECT_EQ(pnp.send(pdo, IRP_MN_REMOVE_DEVICE, {}).status,
              STATUS_INVALID_PARAMETER_2);
    EXPECT_EQ(pnp.state(pdo), DeviceNodeState::Started);

    EXPECT_EQ(pnp.surprise_remove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(pnp.query_capabilities(pdo, &caps), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp.remove(pdo), STATUS_SUCCESS);
  });
}

TEST_F(PnpTest, RequestsOutOfOrderAreRefusedAndSendNothing) {
  run([&] {
    TestStack stack(kernel());
    PDEVICE_OBJECT pdo = stack.bus.add_child();
    auto &pnp = stack.pnp;
    EXPECT_EQ(pnp.add_device(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(pnp.query_stop(pdo), STATUS_NO_SUCH_DEVICE);
    ASSERT_EQ(pnp.add_device(pdo), STATUS_SUCCESS);
    std::size_t sent = stack.bus.seen(pdo).size();

    // Started: stop, removal and their cancels need their queries first.
    EXPECT_EQ(pnp.add_device(pdo), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp.start(pdo), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp.stop(pdo), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp.cancel_stop(pdo), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp.remove(pdo), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp.cancel_remove(pdo), STATUS_INVALID_DEVICE_STATE);
    // Stop pending: nothing but stop, its cancel and surprise removal.
    ASSERT_EQ(pnp.query_stop(pdo), STATUS_SUCCESS);
    EXPECT_EQ(pnp.query_stop(pdo), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp.query_remove(pdo), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp.start(pdo), STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(pnp.stop(pdo), STATUS_SUCCESS);
    // Stopped: only a start or a surprise removal.
    EXPECT_EQ(pnp.query_remove(pdo), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp.cancel_stop(pdo), STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(pnp.surprise_remove(pdo), STATUS_SUCCESS);
    // Surprise removed: only the removal.
    EXPECT_EQ(pnp.surprise_remove(pdo), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp.start(pdo), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp.query_remove(pdo), STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(pnp.remove(pdo), STATUS_SUCCESS);
    // Removed: gone.
    EXPECT_EQ(pnp.remove(pdo), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(pnp.send(pdo, 0x18, {}).status, STATUS_NO_SUCH_DEVICE);

    // Only the four accepted requests reached the bus.
    EXPECT_EQ(stack.bus.seen(pdo).size(), sent + 4);
  });
}

// One device's whole life, run by a thread of its own.
struct DeviceLife {
  TestStack *stack = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS result = STATUS_PENDING;
  KEVENT done{};

  static void NTAPI run(PVOID context) {
    auto *life = static_cast<DeviceLife *>(context);
    auto &pnp = life->stack->pnp;
    PDEVICE_OBJECT pdo = life->pdo;
    NTSTATUS status = pnp.add_device(pdo);
    if (NT_SUCCESS(status))
      status = pnp.query_stop(pdo);
    if (NT_SUCCESS(status))
      status = pnp.stop(pdo);
    if (NT_SUCCESS(status))
      status = pnp.start(pdo);
    if (NT_SUCCESS(status))
      status = pnp.surprise_remove(pdo);
    if (NT_SUCCESS(status))
      status = pnp.remove(pdo);
    life->result = status;
    KeSetEvent(&life->done, IO_NO_INCREMENT, FALSE);
  }
};

TEST_F(PnpTest, RequestsFromTwoThreadsAreSerialized) {
  for (std::uint64_t seed : sweep(30)) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    start(seed);
    run([&] {
      TestStack stack(kernel());
      DeviceLife lives[2];
      for (DeviceLife &life : lives) {
        life.stack = &stack;
        life.pdo = stack.bus.add_child();
        KeInitializeEvent(&life.done, NotificationEvent, FALSE);
        HANDLE handle;
        ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr,
                                       DeviceLife::run, &life),
                  STATUS_SUCCESS);
        ZwClose(handle);
      }
      for (DeviceLife &life : lives) {
        KeWaitForSingleObject(&life.done, Executive, KernelMode, FALSE,
                              nullptr);
        EXPECT_EQ(life.result, STATUS_SUCCESS);
        EXPECT_EQ(stack.pnp.state(life.pdo), DeviceNodeState::Removed);
      }
    });
    finish();
  }
}

// ---------------------------------------------------------------------------
// Planted bugs of the test driver, one finding each.

TEST_F(PnpTest, DeviceKeptAtRemoveIsFound) {
  run([&] {
    PNP_TEST_OPTIONS options{};
    options.BugKeepDeviceAtRemove = TRUE;
    TestStack stack(kernel(), options);
    PDEVICE_OBJECT pdo = stack.bus.add_child();
    ASSERT_EQ(stack.pnp.add_device(pdo), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = stack.pnp.function_device(pdo);
    ASSERT_EQ(stack.pnp.query_remove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(stack.pnp.remove(pdo), STATUS_SUCCESS);
    auto findings = kernel().verifier().take();
    ASSERT_EQ(findings.size(), 2u);
    EXPECT_EQ(findings[0].kind, FindingKind::DeviceLeak);
    EXPECT_THAT(findings[0].message,
                HasSubstr("was not deleted at IRP_MN_REMOVE_DEVICE"));
    EXPECT_THAT(findings[0].site, HasSubstr("AddDevice"));
    EXPECT_EQ(findings[1].kind, FindingKind::DeviceMisuse);
    EXPECT_THAT(findings[1].message, HasSubstr("is still attached"));
    PnpTestDeleteDevice(fdo);
  });
}

TEST_F(PnpTest, InitializingFlagLeftSetIsFound) {
  run([&] {
    PNP_TEST_OPTIONS options{};
    options.BugLeaveInitializing = TRUE;
    TestStack stack(kernel(), options);
    PDEVICE_OBJECT pdo = stack.bus.add_child();
    ASSERT_EQ(stack.pnp.add_device(pdo), STATUS_SUCCESS);
    expect_finding(FindingKind::DeviceMisuse, "DO_DEVICE_INITIALIZING");
    EXPECT_EQ(stack.unplug(pdo), STATUS_SUCCESS);
  });
}

TEST_F(PnpTest, FailedAddDeviceThatLeftItsDeviceIsFound) {
  run([&] {
    PNP_TEST_OPTIONS options{};
    options.BugFailAddDeviceAttached = TRUE;
    TestStack stack(kernel(), options);
    PDEVICE_OBJECT pdo = stack.bus.add_child();
    EXPECT_EQ(stack.pnp.add_device(pdo), STATUS_UNSUCCESSFUL);
    expect_finding(FindingKind::DeviceLeak, "AddDevice failed");
    // Nothing may join a stack the failed AddDevice left behind.
    EXPECT_EQ(stack.pnp.add_device(pdo), STATUS_INVALID_DEVICE_STATE);
    PnpTestDeleteDevice(pdo->AttachedDevice);
  });
}

TEST_F(PnpTest, FailedRemoveIsFound) {
  run([&] {
    PNP_TEST_OPTIONS options{};
    options.BugFailRemove = TRUE;
    TestStack stack(kernel(), options);
    PDEVICE_OBJECT pdo = stack.bus.add_child();
    ASSERT_EQ(stack.pnp.add_device(pdo), STATUS_SUCCESS);
    ASSERT_EQ(stack.pnp.surprise_remove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(stack.pnp.remove(pdo), STATUS_UNSUCCESSFUL);
    expect_finding(FindingKind::IrpMisuse,
                   "IRP_MN_REMOVE_DEVICE failed with 0xC0000001");
    EXPECT_EQ(stack.pnp.state(pdo), DeviceNodeState::Removed);
  });
}

TEST_F(PnpTest, IrpCompletedTwiceIsFound) {
  run([&] {
    PNP_TEST_OPTIONS options{};
    options.BugCompleteTwice = TRUE;
    TestStack stack(kernel(), options);
    PDEVICE_OBJECT pdo = stack.bus.add_child();
    ASSERT_EQ(stack.pnp.add_device(pdo), STATUS_SUCCESS);
    ULONG_PTR state;
    EXPECT_EQ(stack.pnp.query_pnp_device_state(pdo, &state), STATUS_SUCCESS);
    auto findings = kernel().verifier().take();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].kind, FindingKind::IrpCompletedTwice);
    EXPECT_EQ(stack.unplug(pdo), STATUS_SUCCESS);
  });
}

TEST_F(PnpTest, ReturnedStatusOtherThanCompletedIsFound) {
  run([&] {
    PNP_TEST_OPTIONS options{};
    options.BugReturnOtherStatus = TRUE;
    TestStack stack(kernel(), options);
    PDEVICE_OBJECT pdo = stack.bus.add_child();
    ASSERT_EQ(stack.pnp.add_device(pdo), STATUS_SUCCESS);
    ULONG_PTR state;
    stack.pnp.query_pnp_device_state(pdo, &state);
    expect_finding(FindingKind::IrpMisuse,
                   "returned 0xC0000001 for IRP_MN_QUERY_PNP_DEVICE_STATE but "
                   "completed it with 0x00000000");
    EXPECT_EQ(stack.unplug(pdo), STATUS_SUCCESS);
  });
}

} // namespace
} // namespace talvor::test
