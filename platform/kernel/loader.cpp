#include "platform/kernel/loader.h"

#include <cctype>
#include <dlfcn.h>
#include <filesystem>
#include <vector>

#include "platform/kernel/kernel.h"
#include "platform/kernel/pnp.h"
#include "platform/kernel/scheduler.h"
#include "platform/kernel/text.h"
#include "platform/kernel/utf16.h"

namespace talvor::kernel {

namespace {

constexpr std::size_t kMaximumServiceName = 200;

bool valid_service_name(const std::string &service) {
  if (service.empty() || service.size() > kMaximumServiceName)
    return false;
  for (char c : service)
    if (c == '\\' || c == '/' ||
        std::isprint(static_cast<unsigned char>(c)) == 0)
      return false;
  return true;
}

} // namespace

enum class ImageState { Loading, Loaded, Unloading, Stuck };

struct DriverLoader::Image {
  std::string service;
  std::filesystem::path path; // canonical
  void *handle = nullptr;
  PDRIVER_OBJECT driver = nullptr;
  // Stuck: its driver failed to start or unload cleanly and left devices
  // behind, which run its code: it stays mapped and its name stays taken.
  ImageState state = ImageState::Loading;
  // The text the driver object and DriverEntry's argument point at.
  std::u16string registry_text;
  std::u16string name_text;
  std::u16string service_text;
  UNICODE_STRING registry_path{};
  UNICODE_STRING name{};
  UNICODE_STRING service_name{};
};

namespace {

void point_at(UNICODE_STRING &string, const std::u16string &text) {
  string.Buffer = const_cast<PWSTR>(text.c_str());
  string.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  string.MaximumLength = static_cast<USHORT>(string.Length + sizeof(WCHAR));
}

} // namespace

DriverLoader::DriverLoader(Kernel &kernel, PnpManager *pnp)
    : kernel_(kernel), pnp_(pnp) {}

DriverLoader::~DriverLoader() {
  for (auto &[key, image] : images_)
    if (image->state == ImageState::Loaded)
      discard(*image, nullptr);
}

NTSTATUS DriverLoader::check_caller() const {
  Thread *thread = kernel_.scheduler().current_or_die("the driver loader");
  return thread->irql == PASSIVE_LEVEL ? STATUS_SUCCESS
                                       : STATUS_INVALID_DEVICE_STATE;
}

// A system thread still alive whose routine is in the image: unmapping the
// image would pull the code from under it.
PKSTART_ROUTINE DriverLoader::running_thread(const Image &image) const {
  Dl_info entry{};
  if (dladdr(reinterpret_cast<const void *>(image.driver->DriverInit),
             &entry) == 0)
    return nullptr;
  for (PKSTART_ROUTINE start :
       kernel_.scheduler().live_system_thread_starts()) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void *>(start), &info) != 0 &&
        info.dli_fbase == entry.dli_fbase)
      return start;
  }
  return nullptr;
}

void DriverLoader::discard(Image &image, const void *site) {
  IoManager &io = kernel_.io();
  if (io.holds_devices(image.driver)) {
    kernel_.verifier().report(
        FindingKind::DeviceLeak,
        "driver \\Driver\\" + image.service +
            " left device objects behind; its image stays loaded",
        describe_routine(site));
    image.state = ImageState::Stuck;
    return;
  }
  if (PKSTART_ROUTINE running = running_thread(image)) {
    kernel_.verifier().report(
        FindingKind::ObjectMisuse,
        "driver \\Driver\\" + image.service +
            " unloaded while its system thread " +
            describe_routine(reinterpret_cast<const void *>(running)) +
            " still runs in its image (the driver must wait for the thread "
            "object); its image stays loaded",
        describe_routine(site));
    image.state = ImageState::Stuck;
    return;
  }
  if (pnp_ != nullptr)
    pnp_->unregister_function_driver(image.driver);
  io.delete_driver(image.driver);
  image.driver = nullptr;
  dlclose(image.handle);
  image.handle = nullptr;
}

NTSTATUS DriverLoader::load_driver(const std::string &path,
                                   const std::string &service,
                                   PDRIVER_OBJECT *driver) {
  if (driver != nullptr)
    *driver = nullptr;
  if (!valid_service_name(service))
    return STATUS_OBJECT_NAME_INVALID;
  if (NTSTATUS status = check_caller(); !NT_SUCCESS(status))
    return status;
  std::error_code error;
  std::filesystem::path canonical = std::filesystem::canonical(path, error);
  if (error || !std::filesystem::is_regular_file(canonical, error)) {
    std::lock_guard guard(images_lock_);
    last_error_ = path + ": no such file";
    return STATUS_DLL_NOT_FOUND;
  }

  // The name is taken from here on, so that a second load of it is refused.
  const std::string key = upper_ascii(service);
  Image *image = nullptr;
  {
    std::lock_guard guard(images_lock_);
    if (images_.count(key) != 0)
      return STATUS_OBJECT_NAME_COLLISION;
    for (const auto &[other, loaded] : images_)
      if (loaded->path == canonical)
        return STATUS_IMAGE_ALREADY_LOADED;
    auto owned = std::make_unique<Image>();
    image = owned.get();
    image->service = service;
    image->path = canonical;
    images_[key] = std::move(owned);
  }
  auto forget = [&] {
    std::lock_guard guard(images_lock_);
    images_.erase(key);
  };

  image->handle = dlopen(canonical.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (image->handle == nullptr) {
    const char *why = dlerror();
    forget();
    std::lock_guard guard(images_lock_);
    last_error_ = why != nullptr ? why : path + ": not loadable";
    return STATUS_DRIVER_UNABLE_TO_LOAD;
  }
  auto entry =
      reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(image->handle, "DriverEntry"));
  if (entry == nullptr) {
    dlclose(image->handle);
    forget();
    return STATUS_ENTRYPOINT_NOT_FOUND;
  }

  image->registry_text = utf8_to_utf16(
      "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service);
  image->name_text = utf8_to_utf16("\\Driver\\" + service);
  image->service_text = utf8_to_utf16(service);
  point_at(image->registry_path, image->registry_text);
  point_at(image->name, image->name_text);
  point_at(image->service_name, image->service_text);

  IoManager &io = kernel_.io();
  PDRIVER_OBJECT object = io.create_driver(
      "\\Driver\\" + service,
      "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service);
  image->driver = object;
  object->DriverName = image->name;
  object->DriverExtension->ServiceKeyName = image->service_name;
  object->DriverInit = entry;
  object->DriverSection = image->handle;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void *>(entry), &info) != 0)
    object->DriverStart = info.dli_fbase;

  NTSTATUS status = entry(object, &image->registry_path);
  const void *site = reinterpret_cast<const void *>(entry);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    kernel_.verifier().report(FindingKind::IrqlMisuse,
                              "DriverEntry of " + service +
                                  " returned at IRQL " +
                                  std::to_string(KeGetCurrentIrql()),
                              describe_routine(site));
  if (!NT_SUCCESS(status)) {
    discard(*image, site);
    if (image->state != ImageState::Stuck)
      forget();
    return status;
  }
  {
    std::lock_guard guard(images_lock_);
    image->state = ImageState::Loaded;
  }
  if (driver != nullptr)
    *driver = object;
  return status;
}

NTSTATUS DriverLoader::unload_driver(const std::string &service) {
  if (NTSTATUS status = check_caller(); !NT_SUCCESS(status))
    return status;
  const std::string key = upper_ascii(service);
  Image *image = nullptr;
  {
    std::lock_guard guard(images_lock_);
    auto found = images_.find(key);
    if (found == images_.end())
      return STATUS_OBJECT_NAME_NOT_FOUND;
    image = found->second.get();
    if (image->state != ImageState::Loaded ||
        kernel_.io().holds_devices(image->driver))
      return STATUS_DEVICE_BUSY;
    if (image->driver->DriverUnload == nullptr)
      return STATUS_INVALID_DEVICE_REQUEST;
    image->state = ImageState::Unloading;
  }
  PDRIVER_UNLOAD unload = image->driver->DriverUnload;
  const void *site = reinterpret_cast<const void *>(unload);
  unload(image->driver);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    kernel_.verifier().report(FindingKind::IrqlMisuse,
                              "DriverUnload of " + service +
                                  " returned at IRQL " +
                                  std::to_string(KeGetCurrentIrql()),
                              describe_routine(site));
  discard(*image, site);
  if (image->state == ImageState::Stuck)
    return STATUS_SUCCESS;
  std::lock_guard guard(images_lock_);
  images_.erase(key);
  return STATUS_SUCCESS;
}

PDRIVER_OBJECT DriverLoader::driver(const std::string &service) const {
  std::lock_guard guard(images_lock_);
  auto found = images_.find(upper_ascii(service));
  return found != images_.end() && found->second->state == ImageState::Loaded
             ? found->second->driver
             : nullptr;
}

std::string DriverLoader::last_error() const {
  std::lock_guard guard(images_lock_);
  return last_error_;
}

} // namespace talvor::kernel
