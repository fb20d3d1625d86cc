// What puts cards into a reader model's slot and takes them out while pcscd
// serves it: a FIFO a user or a test writes commands to, or a virtual card
// (vicc) that is in the slot while it is connected. Each runs a thread of
// its own until it is destroyed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "sim/card/vpcd.h"
#include "tools/host/system.h"
#include "tools/pcsc/device_name.h"

namespace talvor::pcsc {

// A wake-up for a thread that waits in poll(): an eventfd.
class Wakeup {
public:
  Wakeup();
  ~Wakeup();
  Wakeup(const Wakeup &) = delete;
  Wakeup &operator=(const Wakeup &) = delete;
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void ring();

private:
  int fd_ = -1;
};

// Lines written to a FIFO: "insert [CARD][;app=APP]" and "remove".
class SlotFifo {
public:
  // Creates the FIFO (and its missing parent directories) unless a FIFO is
  // already there; nothing, and the reason, when it cannot.
  static std::unique_ptr<SlotFifo> open(const std::string &path,
                                        host::Reader &reader,
                                        CardChoice fallback,
                                        std::string *error);
  // Stops the thread; removes the FIFO if it made it.
  ~SlotFifo();

  // One command, as the thread runs it.
  void command(std::string_view line);

private:
  SlotFifo(std::string path, host::Reader &reader, CardChoice fallback)
      : path_(std::move(path)), reader_(reader), fallback_(fallback) {}
  void serve();

  std::string path_;
  bool made_ = false;
  int fd_ = -1;
  Wakeup stop_;
  host::Reader &reader_;
  const CardChoice fallback_;
  std::thread thread_;
};

// Listens as vpcd on 127.0.0.1:PORT; a connected vicc is a card in the
// slot, taken out when the vicc hangs up.
class ViccSlot {
public:
  static std::unique_ptr<ViccSlot> open(std::uint16_t port,
                                        host::Reader &reader,
                                        card::ReadyCard profile,
                                        std::string *error);
  // Stops the thread; a virtual card still in the slot is taken out.
  ~ViccSlot();

private:
  ViccSlot(card::VpcdListener listener, host::Reader &reader,
           card::ReadyCard profile)
      : listener_(std::move(listener)), reader_(reader), profile_(profile) {}
  void serve();
  bool stopped() const;

  card::VpcdListener listener_;
  Wakeup stop_;
  host::Reader &reader_;
  const card::ReadyCard profile_;
  std::thread thread_;
};

} // namespace talvor::pcsc
