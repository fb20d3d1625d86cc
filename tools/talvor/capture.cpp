#include "tools/talvor/capture.h"

#if __has_include("platform/usb/capture.h")
#include "platform/usb/capture.h"
#define TALVOR_HAVE_CAPTURE 1
#endif

namespace talvor::cli {

#ifdef TALVOR_HAVE_CAPTURE

struct CaptureFile::Impl {
  std::unique_ptr<usb::Capture> capture;
};

std::unique_ptr<CaptureFile> CaptureFile::open(kernel::Kernel &kernel,
                                               const std::string &path,
                                               std::string *error) {
  auto capture = usb::Capture::open(kernel, path, error);
  if (!capture)
    return nullptr;
  return std::unique_ptr<CaptureFile>(
      new CaptureFile(std::make_unique<Impl>(Impl{std::move(capture)})));
}

host::DeviceWrap CaptureFile::wrap() {
  usb::Capture *capture = impl_->capture.get();
  return [capture](std::shared_ptr<usb::UsbDevice> device) {
    return capture->wrap(std::move(device));
  };
}

#else

struct CaptureFile::Impl {};

std::unique_ptr<CaptureFile>
CaptureFile::open(kernel::Kernel &, const std::string &, std::string *error) {
  if (error)
    *error = "captures are not built in";
  return nullptr;
}

host::DeviceWrap CaptureFile::wrap() {
  return {};
}

#endif

CaptureFile::CaptureFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
CaptureFile::~CaptureFile() = default;

} // namespace talvor::cli
