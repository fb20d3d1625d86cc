// A reader as the IFD handler serves it to pcscd, by Lun: a reader model
// plugged on the host's bus and started by the driver, opened as the
// resource manager opens it; each call made as the resource manager's
// device-control request. This header is the seam between pcsc-lite's
// headers and the WDK's, which cannot meet in one file: it uses neither.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace talvor::pcsc {

// What a call came to, told in the handler's own terms; the IFD handler
// turns it into pcsc-lite's response codes, the channel from NT statuses.
enum class Outcome {
  ok,
  card_absent,
  reader_gone,
  timed_out,
  buffer_too_small,
  not_supported,          // an unknown code, tag or action
  protocol_not_supported, // the card or reader does not speak it
  failed,
};

enum class PowerAction { up, reset, down };
enum class Protocol { t0, t1 };

using Bytes = std::vector<std::uint8_t>;

class Channel {
public:
  virtual ~Channel() = default;

  virtual Outcome presence(bool *present) = 0;
  // The ATR after `up` and `reset`.
  virtual Outcome power(PowerAction action, Bytes *atr) = 0;
  virtual Outcome set_protocol(Protocol protocol) = 0;
  // The response, data and SW1 SW2, of at most `capacity` bytes.
  virtual Outcome transmit(Protocol protocol,
                           std::span<const std::uint8_t> apdu,
                           std::size_t capacity, Bytes *response) = 0;
  // A vendor code of the reader (others: not_supported).
  virtual Outcome control(std::uint32_t code,
                          std::span<const std::uint8_t> input,
                          std::size_t capacity, Bytes *output) = 0;
  // SCARD_ATTR_* tags, as the driver answers them.
  virtual Outcome attribute(std::uint32_t tag, std::size_t capacity,
                            Bytes *value) = 0;
  virtual Outcome set_attribute(std::uint32_t tag,
                                std::span<const std::uint8_t> value) = 0;

  // pcscd's polling thread: returns when the card came or went, at the
  // time-out (milliseconds; 0 or less: none), or when woken.
  virtual Outcome wait_for_event(int timeout) = 0;
  // Ends the wait_for_event() in progress, or else the next one at once:
  // pcscd wakes its polling thread so, to stop it or to have it look again
  // (after a disconnect, to start the power-off grace period).
  virtual void wake() = 0;
};

// The channels of this process, one per Lun, on one hosted kernel that
// lives while any channel is open.
Outcome open_channel(std::uint32_t lun, std::string_view device_name,
                     std::string *error);
// Nothing for a Lun that has none.
std::shared_ptr<Channel> find_channel(std::uint32_t lun);
// Powers the card down and removes the reader (its polling stopped first).
Outcome close_channel(std::uint32_t lun);

// One line for the log of the process that hosts us.
void log_line(const std::string &line);

} // namespace talvor::pcsc
