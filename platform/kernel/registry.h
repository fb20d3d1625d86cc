// An in-memory registry: keys by absolute path ("\\REGISTRY\\Machine\\...",
// compared without regard to case), typed values. Tests and tools fill it;
// drivers read it through RtlQueryRegistryValues.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <wdm.h>

namespace talvor::kernel {

struct RegistryValue {
  ULONG type = REG_NONE;          // REG_DWORD, REG_SZ, REG_BINARY, ...
  std::vector<std::uint8_t> data; // as stored: REG_SZ is UTF-16LE with its
                                  // terminating zero
};

class Registry {
public:
  void create_key(std::string_view path);
  bool key_exists(std::string_view path) const;
  void delete_key(std::string_view path); // and its subkeys

  // Setting a value creates its key.
  void set_value(std::string_view path, std::string_view name,
                 RegistryValue value);
  void set_dword(std::string_view path, std::string_view name,
                 std::uint32_t value);
  void set_string(std::string_view path, std::string_view name,
                  std::string_view value);
  void delete_value(std::string_view path, std::string_view name);
  std::optional<RegistryValue> value(std::string_view path,
                                     std::string_view name) const;
  // Every value of the key as (name as set, value), in the order of the
  // upper-cased names; empty for a missing key.
  std::vector<std::pair<std::string, RegistryValue>>
  values(std::string_view path) const;

  // The engine behind RtlQueryRegistryValues; `path` is already absolute.
  // `optional` is RTL_REGISTRY_OPTIONAL: a missing key (the top key or a
  // SUBKEY entry's key) is then walked as an empty key instead of failing
  // with STATUS_OBJECT_NAME_NOT_FOUND. registry.cpp describes the table walk.
  // Called at PASSIVE_LEVEL, from a kernel thread when the table has DIRECT
  // string entries (they may allocate pool).
  NTSTATUS query(std::string_view path, bool optional,
                 PRTL_QUERY_REGISTRY_TABLE table, PVOID context);

  // A path as keys_ holds it: \Registry\\Machine\X becomes
  // \REGISTRY\MACHINE\X (one leading backslash, repeated ones folded, no
  // trailing one, ASCII upper case).
  static std::string key_name(std::string_view path);

private:
  std::optional<RegistryValue> lookup(const std::string &key,
                                      std::string_view name) const;
  void create_key_locked(const std::string &key);

  mutable std::mutex registry_lock_; // guards keys_
  // key path (upper-cased) -> value name (upper-cased) -> (name, value)
  std::map<std::string,
           std::map<std::string, std::pair<std::string, RegistryValue>>>
      keys_;
};

} // namespace talvor::kernel
