// Driver loading. A driver image is a shared library that exports
// DriverEntry and links against the kernel library, so that every image in
// a process calls the one kernel; images of different drivers (two builds
// of one driver, say) load side by side, each with its own globals.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <wdm.h>

namespace talvor::kernel {

class Kernel;
class PnpManager;

class DriverLoader {
public:
  // With `pnp`, unloading a driver also withdraws it as a function driver.
  explicit DriverLoader(Kernel &kernel, PnpManager *pnp = nullptr);
  // Drivers still loaded lose their driver objects (DriverUnload is not
  // called); an image whose devices still exist stays mapped.
  ~DriverLoader();
  DriverLoader(const DriverLoader &) = delete;
  DriverLoader &operator=(const DriverLoader &) = delete;

  // From a kernel thread at PASSIVE_LEVEL. Maps the image, makes the driver
  // object "\Driver\<service>" and calls DriverEntry with the service key
  // "\Registry\Machine\System\CurrentControlSet\Services\<service>". A
  // failing DriverEntry unloads the image again and its status comes back.
  // Refusals: STATUS_OBJECT_NAME_INVALID (service name), STATUS_DLL_NOT_FOUND
  // (no such file), STATUS_DRIVER_UNABLE_TO_LOAD (not a loadable image; see
  // last_error()), STATUS_ENTRYPOINT_NOT_FOUND (no DriverEntry),
  // STATUS_OBJECT_NAME_COLLISION (service loaded already),
  // STATUS_IMAGE_ALREADY_LOADED (image loaded under another service).
  NTSTATUS load_driver(const std::string &path, const std::string &service,
                       PDRIVER_OBJECT *driver = nullptr);
  // DriverUnload, then the driver object goes and the image is unmapped.
  // Refused with STATUS_OBJECT_NAME_NOT_FOUND (not loaded),
  // STATUS_DEVICE_BUSY (devices of the driver exist, or it is loading) and
  // STATUS_INVALID_DEVICE_REQUEST (no DriverUnload: not unloadable).
  NTSTATUS unload_driver(const std::string &service);

  PDRIVER_OBJECT driver(const std::string &service) const;
  // Why the last image failed to map, as the dynamic loader put it.
  std::string last_error() const;

private:
  struct Image;

  NTSTATUS check_caller() const;
  PKSTART_ROUTINE running_thread(const Image &image) const;
  // Ends an image whose driver has no devices or threads left; else keeps
  // it mapped.
  void discard(Image &image, const void *site);

  Kernel &kernel_;
  PnpManager *pnp_;
  // images_lock_ guards images_, every image's `ready` and last_error_. It
  // is never held while DriverEntry or DriverUnload runs.
  mutable std::mutex images_lock_;
  std::map<std::string, std::unique_ptr<Image>> images_; // by service, upper
  std::string last_error_;
};

} // namespace talvor::kernel
