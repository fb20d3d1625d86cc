// --pcap: the USB capture put between the bus and each reader.
#pragma once

#include <memory>
#include <string>

#include "platform/kernel/kernel.h"
#include "tools/host/system.h"

namespace talvor::cli {

class CaptureFile {
public:
  // Creates (truncates) the file; nullptr and the reason when it cannot,
  // or when this build has no captures.
  static std::unique_ptr<CaptureFile>
  open(kernel::Kernel &kernel, const std::string &path, std::string *error);
  ~CaptureFile();
  CaptureFile(const CaptureFile &) = delete;
  CaptureFile &operator=(const CaptureFile &) = delete;

  // What System::plug puts on the bus in the reader's place.
  host::DeviceWrap wrap();

  struct Impl;

private:
  explicit CaptureFile(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

} // namespace talvor::cli
