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
  ULONG type = REG_NONE;         // REG_DWORD, REG_SZ, REG_BINARY, ...
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

  // The engine behind RtlQueryRegistryValues; `path` is already absolute.
  NTSTATUS query(std::string_view path, bool optional,
                 PRTL_QUERY_REGISTRY_TABLE table, PVOID context);

private:
  mutable std::mutex registry_lock_; // guards keys_
  // key path (upper-cased) -> value name (upper-cased) -> (name, value)
  std::map<std::string, std::map<std::string, std::pair<std::string,
                                                        RegistryValue>>>
      keys_;
};

} // namespace talvor::kernel
