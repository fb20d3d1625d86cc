// The in-memory registry and the RTL_QUERY_REGISTRY_TABLE walk behind
// RtlQueryRegistryValues.
//
// The walk, entry by entry, until an entry whose QueryRoutine and Name are
// both null (as documented; so a TOPKEY entry needs one of them):
// - TOPKEY: the entry and those after it work on the top key again.
// - SUBKEY: Name is a path below the top key (not below the current
//   subkey); this entry and those after it work on that key. A missing
//   subkey fails the walk with STATUS_OBJECT_NAME_NOT_FOUND, unless the
//   query is OPTIONAL (then it is walked as an empty key). With a
//   QueryRoutine (and without NOVALUE or DIRECT) the routine is called for
//   every value of the subkey; otherwise the entry only changes the key.
// - NOVALUE: the QueryRoutine is called once with (Name, REG_NONE, NULL, 0).
// - Name null: the QueryRoutine is called for every value of the current key
//   (in the order of their upper-cased names); a key without values counts
//   as a missing value. DIRECT with a null Name is STATUS_INVALID_PARAMETER.
// - Name given: the value is looked up.
//   - Missing: REQUIRED fails with STATUS_OBJECT_NAME_NOT_FOUND; a
//     DefaultType of REG_NONE skips the entry; otherwise DefaultData and
//     DefaultLength stand in for the value (DefaultLength 0 with REG_SZ or
//     REG_EXPAND_SZ measures a zero-terminated string, with REG_MULTI_SZ a
//     doubly zero-terminated one; the terminator is counted).
//   - TYPECHECK: the expected type is in the high byte of DefaultType
//     (DefaultType = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) |
//     default type, as the WDK documents it); a stored value of another
//     type fails with STATUS_OBJECT_TYPE_MISMATCH.
//   - DELETE: the value is deleted once it has been delivered.
// - Delivery:
//   - DIRECT writes to EntryContext (null: STATUS_INVALID_PARAMETER):
//     REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ into the UNICODE_STRING it
//     points to (a null Buffer is allocated from paged pool with the tag
//     "Strg", for RtlFreeUnicodeString; a given Buffer takes the text if
//     MaximumLength holds it and its terminating zero, otherwise
//     STATUS_BUFFER_TOO_SMALL); other types of at most 4 bytes are copied
//     to EntryContext as they are; longer ones follow the documented buffer
//     protocol: EntryContext starts with a LONG whose magnitude is the
//     buffer's size; negative: the data alone is stored from the start of
//     the buffer; otherwise ULONG length, ULONG type, then the data. What
//     does not fit is STATUS_BUFFER_TOO_SMALL.
//     A DIRECT entry without TYPECHECK whose stored value has another
//     layout than its default (a string for a number, a number for a
//     string, more than 4 bytes for a default of at most 4) would make
//     Windows treat the caller's variable as something it is not (a
//     UNICODE_STRING written over a ULONG, a ULONG read as a buffer size):
//     the verifier records it (ObjectMisuse) and the entry fails with
//     STATUS_OBJECT_TYPE_MISMATCH without writing anything.
//   - Otherwise the QueryRoutine is called with (name, type, data, length,
//     Context, EntryContext); REG_MULTI_SZ is passed one string at a time as
//     REG_SZ unless NOEXPAND, REG_EXPAND_SZ is passed as REG_SZ unless
//     NOEXPAND (there is no environment to expand). A failure status stops
//     the walk and is returned. No entry without DIRECT may lack the
//     routine (STATUS_INVALID_PARAMETER).
// The registry lock is never held while a query routine runs or pool is
// allocated: values are copied out first, so a routine may use the registry.
//
// Missing top key: STATUS_OBJECT_NAME_NOT_FOUND with nothing written. With
// OPTIONAL the walk runs on an empty key, so DIRECT entries receive their
// defaults and REQUIRED entries still fail. (Windows returns
// STATUS_SUCCESS at once for an optional missing key and leaves every
// EntryContext untouched; defaults are the sound choice for a driver that
// relies on them, as UscrGetRegistryDword does.)
#include "platform/kernel/registry.h"
#include "platform/kernel/text.h"

#include <cstring>
#include <string>

#include "platform/kernel/kernel.h"
#include "platform/kernel/utf16.h"

namespace talvor::kernel {

namespace {

constexpr ULONG string_pool_tag = make_pool_tag("Strg");

bool is_string_type(ULONG type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

const char *type_name(ULONG type) {
  switch (type) {
  case REG_NONE:
    return "REG_NONE";
  case REG_SZ:
    return "REG_SZ";
  case REG_EXPAND_SZ:
    return "REG_EXPAND_SZ";
  case REG_BINARY:
    return "REG_BINARY";
  case REG_DWORD:
    return "REG_DWORD";
  case REG_MULTI_SZ:
    return "REG_MULTI_SZ";
  case REG_QWORD:
    return "REG_QWORD";
  default:
    return "REG_(unknown)";
  }
}

// How DIRECT lays a value out in EntryContext.
enum class Layout { String, Small, Buffer };

Layout direct_layout(ULONG type, std::size_t length) {
  if (is_string_type(type))
    return Layout::String;
  return length <= sizeof(ULONG) ? Layout::Small : Layout::Buffer;
}

std::vector<std::uint8_t> bytes_of(const void *data, std::size_t length) {
  auto *first = static_cast<const std::uint8_t *>(data);
  return length == 0 ? std::vector<std::uint8_t>{}
                     : std::vector<std::uint8_t>(first, first + length);
}

// One walk of a query table.
class TableWalk {
public:
  TableWalk(Registry &registry, std::string top, bool optional, PVOID context)
      : registry_(registry), top_(std::move(top)), current_(top_),
        optional_(optional), context_(context) {}

  NTSTATUS entry(RTL_QUERY_REGISTRY_TABLE &entry) {
    const ULONG flags = entry.Flags;
    if (flags & RTL_QUERY_REGISTRY_TOPKEY)
      current_ = top_;
    if (flags & RTL_QUERY_REGISTRY_SUBKEY) {
      current_ =
          entry.Name == nullptr
              ? top_
              : Registry::key_name(top_ + "\\" + utf16z_to_utf8(entry.Name));
      if (!optional_ && !registry_.key_exists(current_))
        return STATUS_OBJECT_NAME_NOT_FOUND;
      if (entry.QueryRoutine == nullptr || (flags & RTL_QUERY_REGISTRY_DIRECT))
        return STATUS_SUCCESS;
      if (flags & RTL_QUERY_REGISTRY_NOVALUE)
        return call(entry, entry.Name, REG_NONE, nullptr, 0);
      return enumerate(entry);
    }
    if (flags & RTL_QUERY_REGISTRY_NOVALUE) {
      if (entry.QueryRoutine == nullptr)
        return STATUS_SUCCESS;
      return call(entry, entry.Name, REG_NONE, nullptr, 0);
    }
    if (entry.Name == nullptr) {
      if (flags & RTL_QUERY_REGISTRY_DIRECT)
        return STATUS_INVALID_PARAMETER;
      return enumerate(entry);
    }
    return named(entry);
  }

private:
  ULONG default_type(const RTL_QUERY_REGISTRY_TABLE &entry) const {
    if (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK)
      return entry.DefaultType &
             ((1u << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) - 1);
    return entry.DefaultType;
  }

  // The entry's default as a value; false when it has none.
  NTSTATUS default_value(const RTL_QUERY_REGISTRY_TABLE &entry,
                         std::optional<RegistryValue> &value) const {
    value.reset();
    ULONG type = default_type(entry);
    if (type == REG_NONE)
      return STATUS_SUCCESS;
    std::size_t length = entry.DefaultLength;
    if (length == 0 && entry.DefaultData != nullptr && is_string_type(type)) {
      auto *text = static_cast<const char16_t *>(entry.DefaultData);
      std::size_t units = 0;
      std::size_t last;
      do { // REG_MULTI_SZ: every string, up to the empty one that ends them
        last = utf16_length(text + units);
        units += last + 1;
      } while (type == REG_MULTI_SZ && last != 0);
      length = units * sizeof(char16_t);
    }
    if (length != 0 && entry.DefaultData == nullptr)
      return STATUS_INVALID_PARAMETER;
    value = RegistryValue{type, bytes_of(entry.DefaultData, length)};
    return STATUS_SUCCESS;
  }

  NTSTATUS named(RTL_QUERY_REGISTRY_TABLE &entry) {
    const std::string name = utf16z_to_utf8(entry.Name);
    std::optional<RegistryValue> value = registry_.value(current_, name);
    if (!value) {
      if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED)
        return STATUS_OBJECT_NAME_NOT_FOUND;
      std::optional<RegistryValue> fallback;
      NTSTATUS status = default_value(entry, fallback);
      if (!NT_SUCCESS(status) || !fallback)
        return status;
      return deliver(entry, entry.Name, *fallback, false);
    }
    if (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) {
      ULONG expected = entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
      if (value->type != expected)
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    NTSTATUS status = deliver(entry, entry.Name, *value, true);
    if (NT_SUCCESS(status) && (entry.Flags & RTL_QUERY_REGISTRY_DELETE))
      registry_.delete_value(current_, name);
    return status;
  }

  NTSTATUS enumerate(RTL_QUERY_REGISTRY_TABLE &entry) {
    std::vector<std::pair<std::string, RegistryValue>> values =
        registry_.values(current_);
    if (values.empty()) {
      if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED)
        return STATUS_OBJECT_NAME_NOT_FOUND;
      std::optional<RegistryValue> fallback;
      NTSTATUS status = default_value(entry, fallback);
      if (!NT_SUCCESS(status) || !fallback)
        return status;
      return deliver(entry, entry.Name, *fallback, false);
    }
    for (auto &[name, value] : values) {
      std::u16string wide = utf8_to_utf16(name); // zero-terminated
      NTSTATUS status = deliver(entry, wide.data(), value, true);
      if (!NT_SUCCESS(status))
        return status;
      if (entry.Flags & RTL_QUERY_REGISTRY_DELETE)
        registry_.delete_value(current_, name);
    }
    return STATUS_SUCCESS;
  }

  NTSTATUS deliver(RTL_QUERY_REGISTRY_TABLE &entry, PWSTR name,
                   RegistryValue &value, bool stored) {
    if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT)
      return direct(entry, value, stored);
    if (entry.QueryRoutine == nullptr)
      return STATUS_INVALID_PARAMETER;
    const bool expand = !(entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND);
    if (value.type == REG_MULTI_SZ && expand) {
      // One call per string, as REG_SZ with its terminating zero.
      const std::size_t units = value.data.size() / sizeof(char16_t);
      auto *text = reinterpret_cast<char16_t *>(value.data.data());
      std::size_t at = 0;
      while (at < units && text[at] != 0) {
        std::size_t length = utf16_length(text + at, units - at);
        std::size_t bytes =
            (length + (at + length < units ? 1 : 0)) * sizeof(char16_t);
        NTSTATUS status =
            call(entry, name, REG_SZ, text + at, static_cast<ULONG>(bytes));
        if (!NT_SUCCESS(status))
          return status;
        at += length + 1;
      }
      return STATUS_SUCCESS;
    }
    ULONG type = value.type == REG_EXPAND_SZ && expand ? REG_SZ : value.type;
    return call(entry, name, type, value.data.data(),
                static_cast<ULONG>(value.data.size()));
  }

  NTSTATUS call(RTL_QUERY_REGISTRY_TABLE &entry, PWSTR name, ULONG type,
                PVOID data, ULONG length) {
    return entry.QueryRoutine(name, type, data, length, context_,
                              entry.EntryContext);
  }

  NTSTATUS direct(RTL_QUERY_REGISTRY_TABLE &entry, const RegistryValue &value,
                  bool stored) {
    if (entry.EntryContext == nullptr)
      return STATUS_INVALID_PARAMETER;
    const Layout layout = direct_layout(value.type, value.data.size());
    if (stored && !(entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) &&
        default_type(entry) != REG_NONE) {
      // A small value where a buffer was expected lands at its start and
      // cannot overrun it; every other change of layout can.
      const Layout expected =
          direct_layout(default_type(entry), entry.DefaultLength);
      if (layout != expected &&
          !(layout == Layout::Small && expected == Layout::Buffer)) {
        Kernel::get().verifier().report(
            FindingKind::ObjectMisuse,
            "RtlQueryRegistryValues: DIRECT entry \"" +
                utf16z_to_utf8(entry.Name) + "\" has a " +
                type_name(default_type(entry)) + " default but the value in " +
                current_ + " is " + type_name(value.type) + " of " +
                std::to_string(value.data.size()) +
                " bytes; without RTL_QUERY_REGISTRY_TYPECHECK Windows would "
                "write that into EntryContext");
        return STATUS_OBJECT_TYPE_MISMATCH;
      }
    }
    switch (layout) {
    case Layout::String:
      return direct_string(static_cast<PUNICODE_STRING>(entry.EntryContext),
                           value);
    case Layout::Small:
      if (!value.data.empty())
        std::memcpy(entry.EntryContext, value.data.data(), value.data.size());
      return STATUS_SUCCESS;
    case Layout::Buffer:
      break;
    }
    auto *buffer = static_cast<std::uint8_t *>(entry.EntryContext);
    LONG declared;
    std::memcpy(&declared, buffer, sizeof declared);
    const std::int64_t size = declared < 0 ? -std::int64_t{declared} : declared;
    const std::size_t length = value.data.size();
    if (declared < 0) {
      if (static_cast<std::int64_t>(length) > size)
        return STATUS_BUFFER_TOO_SMALL;
      std::memcpy(buffer, value.data.data(), length);
      return STATUS_SUCCESS;
    }
    if (static_cast<std::int64_t>(length + 2 * sizeof(ULONG)) > size)
      return STATUS_BUFFER_TOO_SMALL;
    const ULONG header[2] = {static_cast<ULONG>(length), value.type};
    std::memcpy(buffer, header, sizeof header);
    std::memcpy(buffer + sizeof header, value.data.data(), length);
    return STATUS_SUCCESS;
  }

  NTSTATUS direct_string(PUNICODE_STRING target, const RegistryValue &value) {
    // The text is the data less its final terminating zero, if any.
    std::size_t units = value.data.size() / sizeof(char16_t);
    const auto *text = reinterpret_cast<const char16_t *>(value.data.data());
    if (units > 0 && text[units - 1] == 0)
      --units;
    const std::size_t length = units * sizeof(char16_t);
    const std::size_t needed = length + sizeof(char16_t);
    if (needed > 0xFFFE)
      return STATUS_BUFFER_TOO_SMALL;
    if (target->Buffer == nullptr) {
      auto *buffer = static_cast<PWSTR>(
          ExAllocatePoolWithTag(PagedPool, needed, string_pool_tag));
      if (buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
      target->Buffer = buffer;
      target->MaximumLength = static_cast<USHORT>(needed);
    } else if (needed > target->MaximumLength) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    if (length != 0)
      std::memcpy(target->Buffer, text, length);
    target->Buffer[units] = 0;
    target->Length = static_cast<USHORT>(length);
    return STATUS_SUCCESS;
  }

  Registry &registry_;
  const std::string top_;
  std::string current_;
  const bool optional_;
  const PVOID context_;
};

} // namespace

std::string Registry::key_name(std::string_view path) {
  std::string key;
  key.reserve(path.size() + 1);
  std::size_t at = 0;
  while (at < path.size()) {
    while (at < path.size() && path[at] == '\\')
      ++at;
    std::size_t end = path.find('\\', at);
    if (end == std::string_view::npos)
      end = path.size();
    if (end > at) {
      key += '\\';
      key.append(path.substr(at, end - at));
    }
    at = end;
  }
  return upper_ascii(key);
}

void Registry::create_key_locked(const std::string &key) {
  // Every ancestor exists as well, as in a real hive.
  for (std::size_t at = key.find('\\', 1); at != std::string::npos;
       at = key.find('\\', at + 1))
    keys_.try_emplace(key.substr(0, at));
  if (!key.empty())
    keys_.try_emplace(key);
}

void Registry::create_key(std::string_view path) {
  const std::string key = key_name(path);
  std::lock_guard lock(registry_lock_);
  create_key_locked(key);
}

bool Registry::key_exists(std::string_view path) const {
  const std::string key = key_name(path);
  std::lock_guard lock(registry_lock_);
  return keys_.count(key) != 0;
}

void Registry::delete_key(std::string_view path) {
  const std::string key = key_name(path);
  std::lock_guard lock(registry_lock_);
  for (auto it = keys_.lower_bound(key);
       it != keys_.end() && it->first.compare(0, key.size(), key) == 0;) {
    const bool same_or_below =
        it->first.size() == key.size() || it->first[key.size()] == '\\';
    it = same_or_below ? keys_.erase(it) : std::next(it);
  }
}

void Registry::set_value(std::string_view path, std::string_view name,
                         RegistryValue value) {
  const std::string key = key_name(path);
  std::lock_guard lock(registry_lock_);
  create_key_locked(key);
  keys_[key].insert_or_assign(upper_ascii(name),
                              std::pair{std::string(name), std::move(value)});
}

void Registry::set_dword(std::string_view path, std::string_view name,
                         std::uint32_t value) {
  set_value(path, name,
            RegistryValue{REG_DWORD, bytes_of(&value, sizeof value)});
}

void Registry::set_string(std::string_view path, std::string_view name,
                          std::string_view value) {
  std::u16string wide = utf8_to_utf16(value);
  set_value(
      path, name,
      RegistryValue{REG_SZ, bytes_of(wide.c_str(),
                                     (wide.size() + 1) * sizeof(char16_t))});
}

void Registry::delete_value(std::string_view path, std::string_view name) {
  const std::string key = key_name(path);
  std::lock_guard lock(registry_lock_);
  auto found = keys_.find(key);
  if (found != keys_.end())
    found->second.erase(upper_ascii(name));
}

std::optional<RegistryValue> Registry::lookup(const std::string &key,
                                              std::string_view name) const {
  std::lock_guard lock(registry_lock_);
  auto found = keys_.find(key);
  if (found == keys_.end())
    return std::nullopt;
  auto value = found->second.find(upper_ascii(name));
  if (value == found->second.end())
    return std::nullopt;
  return value->second.second;
}

std::optional<RegistryValue> Registry::value(std::string_view path,
                                             std::string_view name) const {
  return lookup(key_name(path), name);
}

std::vector<std::pair<std::string, RegistryValue>>
Registry::values(std::string_view path) const {
  const std::string key = key_name(path);
  std::lock_guard lock(registry_lock_);
  std::vector<std::pair<std::string, RegistryValue>> values;
  auto found = keys_.find(key);
  if (found != keys_.end())
    for (const auto &[upper, named] : found->second)
      values.push_back(named);
  return values;
}

NTSTATUS Registry::query(std::string_view path, bool optional,
                         PRTL_QUERY_REGISTRY_TABLE table, PVOID context) {
  if (table == nullptr)
    return STATUS_INVALID_PARAMETER;
  std::string top = key_name(path);
  if (!optional && !key_exists(top))
    return STATUS_OBJECT_NAME_NOT_FOUND;
  TableWalk walk(*this, std::move(top), optional, context);
  for (PRTL_QUERY_REGISTRY_TABLE entry = table;
       entry->QueryRoutine != nullptr || entry->Name != nullptr; ++entry) {
    NTSTATUS status = walk.entry(*entry);
    if (!NT_SUCCESS(status))
      return status;
  }
  return STATUS_SUCCESS;
}

} // namespace talvor::kernel
