// The in-memory registry and RtlQueryRegistryValues: the driver's own read of
// "TransferTimeOut" (DIRECT, REG_DWORD default, OPTIONAL), defaults,
// REQUIRED, query routines, SUBKEY/TOPKEY, DIRECT strings and buffers,
// TYPECHECK and the walk's error statuses.
#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/kernel/driver/rtl_driver.h"
#include "platform/kernel/registry.h"
#include "tests/support/sim.h"

namespace talvor::test {
namespace {

using kernel::FindingKind;
using kernel::Registry;
using kernel::RegistryValue;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr const char *parameters =
    "\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\TALVOR10\\"
    "Parameters";
constexpr const char16_t *parameters_wide =
    u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\TALVOR10\\"
    u"Parameters";
constexpr const char *device_key = "\\Registry\\Machine\\Test\\Device";
constexpr const char16_t *device_key_wide =
    u"\\Registry\\Machine\\Test\\Device";

PWSTR wide(const char16_t *text) {
  return const_cast<PWSTR>(text);
}

std::u16string text_of(const UNICODE_STRING &string) {
  return std::u16string(string.Buffer, string.Length / sizeof(WCHAR));
}

// ---------------------------------------------------------------------------
// The store

TEST(Registry, PathsAreNormalisedAndCaseInsensitive) {
  EXPECT_EQ(Registry::key_name("\\Registry\\\\Machine\\Software\\"),
            "\\REGISTRY\\MACHINE\\SOFTWARE");
  EXPECT_EQ(Registry::key_name("Registry\\Machine"), "\\REGISTRY\\MACHINE");
  Registry registry;
  registry.set_dword("\\Registry\\Machine\\Key", "Value", 7);
  EXPECT_TRUE(registry.key_exists("\\REGISTRY\\MACHINE\\KEY\\"));
  EXPECT_TRUE(registry.key_exists("\\registry\\\\machine"));
  auto value = registry.value("\\registry\\machine\\key", "VALUE");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, ULONG{REG_DWORD});
  EXPECT_THAT(value->data, ElementsAre(7, 0, 0, 0));
}

TEST(Registry, StringsAreStoredAsUtf16WithTheirTerminator) {
  Registry registry;
  registry.set_string("\\Registry\\Machine\\Key", "Name", "S\u00e9");
  auto value = registry.value("\\Registry\\Machine\\Key", "name");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, ULONG{REG_SZ});
  EXPECT_THAT(value->data, ElementsAre('S', 0, 0xE9, 0, 0, 0));
}

TEST(Registry, DeletingAKeyTakesItsSubkeysButNotItsNeighbours) {
  Registry registry;
  registry.set_dword("\\R\\A\\B", "V", 1);
  registry.set_dword("\\R\\A\\B\\C", "V", 1);
  registry.set_dword("\\R\\A\\BC", "V", 1);
  registry.set_dword("\\R\\A\\B-D", "V", 1);
  registry.delete_key("\\r\\a\\b");
  EXPECT_FALSE(registry.key_exists("\\R\\A\\B"));
  EXPECT_FALSE(registry.key_exists("\\R\\A\\B\\C"));
  EXPECT_TRUE(registry.key_exists("\\R\\A\\BC"));
  EXPECT_TRUE(registry.key_exists("\\R\\A\\B-D"));
  EXPECT_TRUE(registry.key_exists("\\R\\A"));
}

TEST(Registry, ValuesAreReplacedAndDeleted) {
  Registry registry;
  registry.set_dword("\\R\\K", "Value", 1);
  registry.set_dword("\\R\\K", "VALUE", 2); // the same value
  auto values = registry.values("\\R\\K");
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].first, "VALUE");
  EXPECT_THAT(values[0].second.data, ElementsAre(2, 0, 0, 0));
  registry.delete_value("\\R\\K", "value");
  EXPECT_FALSE(registry.value("\\R\\K", "Value").has_value());
  EXPECT_TRUE(registry.key_exists("\\R\\K"));
  EXPECT_TRUE(registry.values("\\R\\Missing").empty());
}

// ---------------------------------------------------------------------------
// The driver's read of TransferTimeOut (compiled as driver code)

class RegistryQueryTest : public SimTest {};

TEST_F(RegistryQueryTest, DriverReadsTransferTimeOut) {
  kernel().registry().set_dword(parameters, "TransferTimeOut", 1234);
  run([] {
    ULONG value = 0xFFFFFFFF;
    EXPECT_EQ(RtlTestReadTransferTimeOut(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1234u);
  });
  EXPECT_EQ(kernel().trace().text(), "success Value = 4D2\n");
}

TEST_F(RegistryQueryTest, DriverGetsTheDefaultForAMissingValue) {
  kernel().registry().set_dword(parameters, "SomethingElse", 5);
  run([] {
    ULONG value = 0xFFFFFFFF;
    EXPECT_EQ(RtlTestReadTransferTimeOut(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0u);
  });
  EXPECT_EQ(kernel().trace().text(), "success Value = 0\n");
}

TEST_F(RegistryQueryTest, DriverGetsTheDefaultForAMissingOptionalKey) {
  run([] {
    ULONG value = 0xFFFFFFFF;
    EXPECT_EQ(RtlTestReadTransferTimeOut(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0u);
  });
}

TEST_F(RegistryQueryTest, DriverValueNameIsCaseInsensitive) {
  kernel().registry().set_dword(
      "\\registry\\machine\\system\\currentcontrolset\\services\\talvor10\\"
      "parameters",
      "TRANSFERTIMEOUT", 77);
  run([] {
    ULONG value = 0;
    EXPECT_EQ(RtlTestReadTransferTimeOut(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 77u);
  });
}

// A REG_SZ where the driver expects a DWORD: Windows would write a
// UNICODE_STRING over the driver's ULONG. The verifier reports it and
// nothing is written; the driver falls back to 0.
TEST_F(RegistryQueryTest, DriverDwordStoredAsAStringIsAFinding) {
  kernel().registry().set_string(parameters, "TransferTimeOut", "1000");
  run([] {
    ULONG value = 0xFFFFFFFF;
    EXPECT_EQ(RtlTestReadTransferTimeOut(&value), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(value, 0u);
  });
  auto findings = kernel().verifier().take();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].kind, FindingKind::ObjectMisuse);
  EXPECT_THAT(findings[0].message, HasSubstr("TransferTimeOut"));
  EXPECT_THAT(findings[0].message, HasSubstr("REG_SZ"));
}

TEST_F(RegistryQueryTest, FourByteBinaryFillsADword) {
  kernel().registry().set_value(parameters, "TransferTimeOut",
                                RegistryValue{REG_BINARY, {0x10, 0x27, 0, 0}});
  run([] {
    ULONG value = 0;
    EXPECT_EQ(RtlTestReadTransferTimeOut(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 10000u);
  });
}

// ---------------------------------------------------------------------------
// Keys, REQUIRED, defaults

NTSTATUS query_direct_dword(ULONG relative_to, const char16_t *path,
                            const char16_t *name, ULONG flags, ULONG *value) {
  ULONG zero = 0;
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
  table[0].Name = wide(name);
  table[0].EntryContext = value;
  table[0].DefaultType = REG_DWORD;
  table[0].DefaultData = &zero;
  table[0].DefaultLength = sizeof zero;
  return RtlQueryRegistryValues(relative_to, path, table, nullptr, nullptr);
}

TEST_F(RegistryQueryTest, MissingKeyWithoutOptionalIsNotFound) {
  run([] {
    ULONG value = 0xFFFFFFFF;
    EXPECT_EQ(query_direct_dword(RTL_REGISTRY_ABSOLUTE, parameters_wide,
                                 u"TransferTimeOut", 0, &value),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(value, 0xFFFFFFFFu); // nothing written
  });
}

TEST_F(RegistryQueryTest, RequiredMissingValueIsNotFound) {
  kernel().registry().create_key(device_key);
  run([] {
    ULONG value = 0xFFFFFFFF;
    EXPECT_EQ(query_direct_dword(RTL_REGISTRY_ABSOLUTE, device_key_wide,
                                 u"Absent", RTL_QUERY_REGISTRY_REQUIRED,
                                 &value),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(value, 0xFFFFFFFFu);
    // OPTIONAL is about the key: a REQUIRED value is still required.
    EXPECT_EQ(query_direct_dword(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                                 u"\\Registry\\Machine\\Nowhere", u"Absent",
                                 RTL_QUERY_REGISTRY_REQUIRED, &value),
              STATUS_OBJECT_NAME_NOT_FOUND);
  });
}

TEST_F(RegistryQueryTest, DefaultTypeNoneLeavesTheContextAlone) {
  kernel().registry().create_key(device_key);
  run([] {
    ULONG value = 0xABCD;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = wide(u"Absent");
    table[0].EntryContext = &value;
    table[0].DefaultType = REG_NONE;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, device_key_wide,
                                     table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 0xABCDu);
  });
}

TEST_F(RegistryQueryTest, RelativeToResolvesThePublishedBases) {
  auto &registry = kernel().registry();
  registry.set_dword(
      "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Talvor10\\"
      "Parameters",
      "V", 1);
  registry.set_dword("\\Registry\\Machine\\System\\CurrentControlSet\\Control"
                     "\\Class",
                     "V", 2);
  registry.set_dword(
      "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
      "V", 3);
  registry.set_dword("\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi", "V", 4);
  registry.set_dword("\\Registry\\User\\.Default\\Software", "V", 5);
  run([] {
    ULONG value = 0;
    EXPECT_EQ(query_direct_dword(RTL_REGISTRY_SERVICES, u"TALVOR10\\Parameters",
                                 u"V", 0, &value),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(
        query_direct_dword(RTL_REGISTRY_CONTROL, u"Class", u"V", 0, &value),
        STATUS_SUCCESS);
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(query_direct_dword(RTL_REGISTRY_WINDOWS_NT, u"", u"V", 0, &value),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 3u);
    EXPECT_EQ(
        query_direct_dword(RTL_REGISTRY_DEVICEMAP, u"Scsi", u"V", 0, &value),
        STATUS_SUCCESS);
    EXPECT_EQ(value, 4u);
    EXPECT_EQ(
        query_direct_dword(RTL_REGISTRY_USER, u"Software", u"V", 0, &value),
        STATUS_SUCCESS);
    EXPECT_EQ(value, 5u);
  });
}

TEST_F(RegistryQueryTest, InvalidCallsAreRefused) {
  run([] {
    ULONG value = 0;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, device_key_wide,
                                     nullptr, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(query_direct_dword(RTL_REGISTRY_HANDLE, device_key_wide, u"V", 0,
                                 &value),
              STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(query_direct_dword(RTL_REGISTRY_MAXIMUM, device_key_wide, u"V", 0,
                                 &value),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(query_direct_dword(RTL_REGISTRY_ABSOLUTE, u"Registry\\Machine",
                                 u"V", 0, &value),
              STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(
        query_direct_dword(RTL_REGISTRY_ABSOLUTE, nullptr, u"V", 0, &value),
        STATUS_INVALID_PARAMETER);
  });
}

TEST_F(RegistryQueryTest, DirectWithoutANameOrContextIsInvalid) {
  kernel().registry().set_dword(device_key, "V", 1);
  run([] {
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = wide(u"V");
    table[0].EntryContext = nullptr;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, device_key_wide,
                                     table, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
  });
}

// ---------------------------------------------------------------------------
// Query routines

struct Call {
  std::u16string name;
  ULONG type;
  std::vector<std::uint8_t> data;
  PVOID context;
  PVOID entry_context;
};

std::vector<Call> calls;

NTSTATUS NTAPI record(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                      ULONG ValueLength, PVOID Context, PVOID EntryContext) {
  auto *bytes = static_cast<std::uint8_t *>(ValueData);
  calls.push_back(
      Call{ValueName ? std::u16string(ValueName) : u"(null)", ValueType,
           bytes ? std::vector<std::uint8_t>(bytes, bytes + ValueLength)
                 : std::vector<std::uint8_t>{},
           Context, EntryContext});
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI refuse(PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID) {
  return STATUS_INSUFFICIENT_RESOURCES;
}

class QueryRoutineTest : public SimTest {
protected:
  void SetUp() override {
    SimTest::SetUp();
    calls.clear();
  }
};

TEST_F(QueryRoutineTest, RoutineGetsTheValueAndBothContexts) {
  kernel().registry().set_dword(device_key, "Speed", 9600);
  int context = 0, entry_context = 0;
  run([&] {
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = record;
    table[0].Name = wide(u"speed");
    table[0].EntryContext = &entry_context;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, device_key_wide,
                                     table, &context, nullptr),
              STATUS_SUCCESS);
  });
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].name, u"speed"); // the entry's name, as Windows passes it
  EXPECT_EQ(calls[0].type, ULONG{REG_DWORD});
  EXPECT_THAT(calls[0].data, ElementsAre(0x80, 0x25, 0, 0));
  EXPECT_EQ(calls[0].context, &context);
  EXPECT_EQ(calls[0].entry_context, &entry_context);
}

TEST_F(QueryRoutineTest, MissingValueGivesTheRoutineItsDefault) {
  kernel().registry().create_key(device_key);
  run([] {
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = record;
    table[0].Name = wide(u"Mode");
    table[0].DefaultType = REG_SZ;
    table[0].DefaultData = wide(u"T1");
    table[0].DefaultLength = 0; // measured, terminator included
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, device_key_wide,
                                     table, nullptr, nullptr),
              STATUS_SUCCESS);
  });
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].type, ULONG{REG_SZ});
  EXPECT_THAT(calls[0].data, ElementsAre('T', 0, '1', 0, 0, 0));
}

TEST_F(QueryRoutineTest, FailingRoutineStopsTheWalk) {
  kernel().registry().set_dword(device_key, "A", 1);
  kernel().registry().set_dword(device_key, "B", 2);
  run([] {
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0].QueryRoutine = refuse;
    table[0].Name = wide(u"A");
    table[1].QueryRoutine = record;
    table[1].Name = wide(u"B");
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, device_key_wide,
                                     table, nullptr, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
  });
  EXPECT_TRUE(calls.empty());
}

TEST_F(QueryRoutineTest, NullNameEnumeratesEveryValue) {
  kernel().registry().set_dword(device_key, "Beta", 2);
  kernel().registry().set_dword(device_key, "Alpha", 1);
  run([] {
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = record;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, device_key_wide,
                                     table, nullptr, nullptr),
              STATUS_SUCCESS);
  });
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].name, u"Alpha");
  EXPECT_EQ(calls[1].name, u"Beta");
}

TEST_F(QueryRoutineTest, NoValueCallsOnceWithoutData) {
  kernel().registry().set_dword(device_key, "A", 1);
  run([] {
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = record;
    table[0].Flags = RTL_QUERY_REGISTRY_NOVALUE;
    table[0].Name = wide(u"Marker");
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, device_key_wide,
                                     table, nullptr, nullptr),
              STATUS_SUCCESS);
  });
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].name, u"Marker");
  EXPECT_EQ(calls[0].type, ULONG{REG_NONE});
  EXPECT_TRUE(calls[0].data.empty());
}

TEST_F(QueryRoutineTest, SubkeyAndTopkeyMoveTheCurrentKey) {
  auto &registry = kernel().registry();
  registry.set_dword(device_key, "Top", 1);
  registry.set_dword(std::string(device_key) + "\\Sub\\Deeper", "Deep", 2);
  run([] {
    ULONG deep = 0, top = 0, not_below = 0xFFFFFFFF;
    ULONG zero = 0;
    RTL_QUERY_REGISTRY_TABLE table[5] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_SUBKEY; // only changes the key
    table[0].Name = wide(u"Sub\\Deeper");
    table[1].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[1].Name = wide(u"Deep");
    table[1].EntryContext = &deep;
    table[2].Flags = RTL_QUERY_REGISTRY_DIRECT; // not in the subkey
    table[2].Name = wide(u"Top");
    table[2].EntryContext = &not_below;
    table[2].DefaultType = REG_DWORD;
    table[2].DefaultData = &zero;
    table[2].DefaultLength = sizeof zero;
    table[3].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TOPKEY;
    table[3].Name = wide(u"Top");
    table[3].EntryContext = &top;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, device_key_wide,
                                     table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(deep, 2u);
    EXPECT_EQ(not_below, 0u);
    EXPECT_EQ(top, 1u);
  });
}

TEST_F(QueryRoutineTest, SubkeyWithARoutineEnumeratesTheSubkey) {
  auto &registry = kernel().registry();
  registry.set_dword(device_key, "Top", 1);
  registry.set_dword(std::string(device_key) + "\\Sub", "Inner", 2);
  run([] {
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = record;
    table[0].Flags = RTL_QUERY_REGISTRY_SUBKEY;
    table[0].Name = wide(u"Sub");
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, device_key_wide,
                                     table, nullptr, nullptr),
              STATUS_SUCCESS);
  });
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].name, u"Inner");
}

TEST_F(QueryRoutineTest, MissingSubkey) {
  kernel().registry().create_key(device_key);
  run([] {
    ULONG value = 0xFFFFFFFF, zero = 0;
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_SUBKEY;
    table[0].Name = wide(u"Absent");
    table[1].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[1].Name = wide(u"V");
    table[1].EntryContext = &value;
    table[1].DefaultType = REG_DWORD;
    table[1].DefaultData = &zero;
    table[1].DefaultLength = sizeof zero;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, device_key_wide,
                                     table, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(value, 0xFFFFFFFFu);
    // OPTIONAL covers subkeys too: walked as empty, defaults delivered.
    EXPECT_EQ(
        RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                               device_key_wide, table, nullptr, nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(value, 0u);
  });
}

TEST_F(QueryRoutineTest, MultiStringsArriveOneAtATime) {
  const char16_t list[] = u"T0\0T1\0"; // plus the literal's own terminator
  kernel().registry().set_value(
      device_key, "Protocols",
      RegistryValue{
          REG_MULTI_SZ,
          std::vector<std::uint8_t>(
              reinterpret_cast<const std::uint8_t *>(list),
              reinterpret_cast<const std::uint8_t *>(list) + sizeof list)});
  run([] {
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = record;
    table[0].Name = wide(u"Protocols");
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, device_key_wide,
                                     table, nullptr, nullptr),
              STATUS_SUCCESS);
    table[0].Flags = RTL_QUERY_REGISTRY_NOEXPAND; // now the whole block
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, device_key_wide,
                                     table, nullptr, nullptr),
              STATUS_SUCCESS);
  });
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].type, ULONG{REG_SZ});
  EXPECT_THAT(calls[0].data, ElementsAre('T', 0, '0', 0, 0, 0));
  EXPECT_THAT(calls[1].data, ElementsAre('T', 0, '1', 0, 0, 0));
  EXPECT_EQ(calls[2].type, ULONG{REG_MULTI_SZ});
  EXPECT_EQ(calls[2].data.size(), sizeof list);
}

// The registry lock is not held while a routine runs: it may use the
// registry itself.
NTSTATUS NTAPI write_back(PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID) {
  kernel::Kernel::get().registry().set_dword(device_key, "WrittenBack", 1);
  ULONG value = 0;
  return query_direct_dword(RTL_REGISTRY_ABSOLUTE, device_key_wide,
                            u"WrittenBack", RTL_QUERY_REGISTRY_REQUIRED,
                            &value);
}

TEST_F(QueryRoutineTest, RoutineMayUseTheRegistry) {
  kernel().registry().set_dword(device_key, "A", 1);
  run([] {
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].QueryRoutine = write_back;
    table[0].Name = wide(u"A");
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, device_key_wide,
                                     table, nullptr, nullptr),
              STATUS_SUCCESS);
  });
  EXPECT_TRUE(kernel().registry().value(device_key, "WrittenBack").has_value());
}

TEST_F(QueryRoutineTest, DeleteRemovesTheValueAfterDelivery) {
  kernel().registry().set_dword(device_key, "Once", 5);
  run([] {
    ULONG value = 0;
    EXPECT_EQ(query_direct_dword(RTL_REGISTRY_ABSOLUTE, device_key_wide,
                                 u"Once", RTL_QUERY_REGISTRY_DELETE, &value),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 5u);
  });
  EXPECT_FALSE(kernel().registry().value(device_key, "Once").has_value());
}

// ---------------------------------------------------------------------------
// DIRECT strings and buffers, TYPECHECK

class DirectTest : public SimTest {};

RTL_QUERY_REGISTRY_TABLE direct_entry(const char16_t *name, PVOID context) {
  RTL_QUERY_REGISTRY_TABLE entry = {};
  entry.Flags = RTL_QUERY_REGISTRY_DIRECT;
  entry.Name = wide(name);
  entry.EntryContext = context;
  return entry;
}

NTSTATUS query_one(RTL_QUERY_REGISTRY_TABLE entry) {
  RTL_QUERY_REGISTRY_TABLE table[2] = {entry, {}};
  return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, device_key_wide, table,
                                nullptr, nullptr);
}

TEST_F(DirectTest, StringIntoANullBufferIsAllocatedAndFreed) {
  kernel().registry().set_string(device_key, "Vendor", "Veltraxon");
  run([&] {
    UNICODE_STRING vendor = {0, 0, nullptr};
    EXPECT_EQ(query_one(direct_entry(u"Vendor", &vendor)), STATUS_SUCCESS);
    ASSERT_NE(vendor.Buffer, nullptr);
    EXPECT_EQ(text_of(vendor), u"Veltraxon");
    EXPECT_EQ(vendor.MaximumLength, vendor.Length + sizeof(WCHAR));
    EXPECT_EQ(vendor.Buffer[vendor.Length / sizeof(WCHAR)], 0);
    EXPECT_EQ(kernel().pool().stats(kernel::make_pool_tag("Strg")).outstanding,
              1u);
    RtlFreeUnicodeString(&vendor); // a leak here would fail the test
  });
}

TEST_F(DirectTest, StringIntoAGivenBuffer) {
  kernel().registry().set_string(device_key, "Vendor", "Veltraxon");
  run([] {
    WCHAR storage[10]; // 9 characters and the terminator
    UNICODE_STRING vendor = {0, sizeof storage, storage};
    EXPECT_EQ(query_one(direct_entry(u"Vendor", &vendor)), STATUS_SUCCESS);
    EXPECT_EQ(text_of(vendor), u"Veltraxon");
    EXPECT_EQ(storage[9], 0);

    WCHAR small[9]; // no room for the terminator
    UNICODE_STRING cut = {0, sizeof small, small};
    EXPECT_EQ(query_one(direct_entry(u"Vendor", &cut)),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(cut.Length, 0);
  });
}

TEST_F(DirectTest, StringDefault) {
  kernel().registry().create_key(device_key);
  run([] {
    UNICODE_STRING mode = {0, 0, nullptr};
    auto entry = direct_entry(u"Mode", &mode);
    entry.DefaultType = REG_SZ;
    entry.DefaultData = wide(u"T=1");
    entry.DefaultLength = 0;
    EXPECT_EQ(query_one(entry), STATUS_SUCCESS);
    EXPECT_EQ(text_of(mode), u"T=1");
    RtlFreeUnicodeString(&mode);
  });
}

TEST_F(DirectTest, StringAllocationFailure) {
  kernel().registry().set_string(device_key, "Vendor", "Veltraxon");
  kernel().pool().fail_tag(kernel::make_pool_tag("Strg"));
  run([] {
    UNICODE_STRING vendor = {0, 0, nullptr};
    EXPECT_EQ(query_one(direct_entry(u"Vendor", &vendor)),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(vendor.Buffer, nullptr);
  });
  kernel().pool().clear_faults();
}

TEST_F(DirectTest, LargeBinaryFollowsTheBufferProtocol) {
  std::vector<std::uint8_t> atr = {0x3B, 0x02, 0x14, 0x50, 0x11, 0x22};
  kernel().registry().set_value(device_key, "Atr",
                                RegistryValue{REG_BINARY, atr});
  run([&] {
    // Negative size: the data alone, from the start of the buffer.
    std::uint8_t data_only[8];
    LONG size = -static_cast<LONG>(sizeof data_only);
    std::memcpy(data_only, &size, sizeof size);
    EXPECT_EQ(query_one(direct_entry(u"Atr", data_only)), STATUS_SUCCESS);
    EXPECT_TRUE(std::equal(atr.begin(), atr.end(), data_only));

    // Positive size: length, type, then the data.
    std::uint8_t described[16] = {};
    size = sizeof described;
    std::memcpy(described, &size, sizeof size);
    EXPECT_EQ(query_one(direct_entry(u"Atr", described)), STATUS_SUCCESS);
    ULONG header[2];
    std::memcpy(header, described, sizeof header);
    EXPECT_EQ(header[0], atr.size());
    EXPECT_EQ(header[1], ULONG{REG_BINARY});
    EXPECT_TRUE(std::equal(atr.begin(), atr.end(), described + 8));

    // What does not fit is refused, untouched.
    std::uint8_t small[12] = {};
    size = sizeof small; // 8 + 6 bytes needed
    std::memcpy(small, &size, sizeof size);
    EXPECT_EQ(query_one(direct_entry(u"Atr", small)), STATUS_BUFFER_TOO_SMALL);
    size = -4;
    std::memcpy(small, &size, sizeof size);
    EXPECT_EQ(query_one(direct_entry(u"Atr", small)), STATUS_BUFFER_TOO_SMALL);
  });
}

TEST_F(DirectTest, TypecheckComparesTheStoredType) {
  kernel().registry().set_string(device_key, "Number", "12");
  kernel().registry().set_dword(device_key, "Dword", 12);
  run([] {
    ULONG value = 0xFFFFFFFF;
    auto entry = direct_entry(u"Number", &value);
    entry.Flags |= RTL_QUERY_REGISTRY_TYPECHECK;
    entry.DefaultType =
        (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE;
    EXPECT_EQ(query_one(entry), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(value, 0xFFFFFFFFu);
    entry.Name = wide(u"Dword");
    EXPECT_EQ(query_one(entry), STATUS_SUCCESS);
    EXPECT_EQ(value, 12u);
    // A missing value with the expected type and a default of its own.
    ULONG fallback = 3;
    entry.Name = wide(u"Absent");
    entry.DefaultType =
        (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_DWORD;
    entry.DefaultData = &fallback;
    entry.DefaultLength = sizeof fallback;
    EXPECT_EQ(query_one(entry), STATUS_SUCCESS);
    EXPECT_EQ(value, 3u);
  });
}

TEST_F(DirectTest, BinaryTooLargeForADwordIsAFinding) {
  kernel().registry().set_value(
      device_key, "Wide", RegistryValue{REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}});
  run([] {
    ULONG value = 300, zero = 0;
    auto entry = direct_entry(u"Wide", &value);
    entry.DefaultType = REG_DWORD;
    entry.DefaultData = &zero;
    entry.DefaultLength = sizeof zero;
    EXPECT_EQ(query_one(entry), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(value, 300u);
  });
  EXPECT_EQ(kernel().verifier().count(FindingKind::ObjectMisuse), 1u);
  kernel().verifier().take();
}

TEST_F(DirectTest, QueryAboveDispatchIsAFinding) {
  kernel().registry().set_dword(device_key, "V", 1);
  run([] {
    ULONG value = 0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(query_one(direct_entry(u"V", &value)), STATUS_SUCCESS);
    KeLowerIrql(old);
  });
  EXPECT_EQ(kernel().verifier().count(FindingKind::IrqlMisuse), 1u);
  kernel().verifier().take();
}

} // namespace
} // namespace talvor::test
