// What the SMARTCARD_EXTENSION-facing routines share: the caller's
// transmission buffers, the card state under its spin lock, and the
// protocol parameters the extension holds.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include <smclib.h>

#include "platform/kernel/verifier.h"
#include "platform/smclib/t1.h"

namespace talvor::smclib {

// The longest command APDU: header, extended Lc, 65535 data bytes,
// extended Le.
inline constexpr std::size_t kMaxCommandLength = 4 + 3 + 65535 + 3;

// IoRequest of a transmission: the SCARD_IO_REQUEST header, the APDU behind
// it, and the room for the answer behind the reply's header.
struct Transmission {
  std::span<const std::uint8_t> command;
  std::span<std::uint8_t> answer;
};

// STATUS_INVALID_PARAMETER for a missing or inconsistent header or an
// empty APDU, STATUS_BUFFER_TOO_SMALL when the reply cannot hold a header.
NTSTATUS transmission_of(const SMARTCARD_EXTENSION &extension,
                         Transmission &transmission);

// Puts the reply's header in front of `answer_length` answer bytes and sets
// *IoRequest.Information.
void complete_answer(const SMARTCARD_EXTENSION &extension,
                     std::size_t answer_length);
void clear_information(const SMARTCARD_EXTENSION &extension);

// Room after what is already in SmartcardRequest.Buffer; empty when the
// buffer is missing or its length is beyond its size.
std::span<std::uint8_t> request_room(const SMARTCARD_EXTENSION &extension);
// The reply bytes the driver handed over; nullopt-like empty span with
// `valid` false when its length is beyond the buffer's size.
std::span<std::uint8_t> reply_bytes(SMARTCARD_EXTENSION &extension,
                                    bool &valid);

// ReaderCapabilities.CurrentState under OsData->SpinLock (when the library
// is initialised).
ULONG card_state(SMARTCARD_EXTENSION &extension);
// Moves the card to `state`, unless the driver recorded it gone meanwhile.
void set_state_if_present(SMARTCARD_EXTENSION &extension, ULONG state);

// PtsData for the given PTS type: the card's default rate, or the fastest
// the card offers that the reader can do.
void fill_pts_data(SMARTCARD_EXTENSION &extension, UCHAR type);

t1::Config t1_config(const SMARTCARD_EXTENSION &extension);

// The T=1 engine of a reader, taken out of the extension's reserved tail
// for the session's life and put back, with its published part mirrored
// into T1_DATA, when the session ends. A driver's NAD is taken in.
class T1Session {
public:
  explicit T1Session(SMARTCARD_EXTENSION &extension);
  ~T1Session();
  T1Session(const T1Session &) = delete;
  T1Session &operator=(const T1Session &) = delete;

  t1::Engine &operator*() { return engine_; }
  t1::Engine *operator->() { return &engine_; }

private:
  SMARTCARD_EXTENSION &extension_;
  t1::Engine engine_;
};

// A driver bug the library noticed, reported to the verifier with the
// driver's call site.
void report_misuse(
    const std::string &message, const void *site,
    kernel::FindingKind kind = kernel::FindingKind::ObjectMisuse);

} // namespace talvor::smclib
