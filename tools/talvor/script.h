// Session scripts: one step a line, '#' starts a comment.
//
//   load 1.1|1.0             plug [READER-PROFILE]     unplug
//   remove reader            insert CARD               remove
//   open                     close                     sleep     resume
//   power cold|warm|down     protocol t0|t1|any        track present|absent
//   apdu HEX [expect PATTERN]
//   vendor read | write HHHH | i2c-command HHHH | i2c-write HEX
//          | i2c-read COUNT [HEX] | 0xCODE [HEX] [out COUNT]
//   expect STATUS            (the status the step before must give)
//
// A step is expected to succeed unless an `expect` line says otherwise; a
// tracking request may also stay pending. PATTERN is hex where "??" is any
// byte and "*" any number of bytes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <wdm.h>

#include "tools/talvor/text.h"

namespace talvor::cli {

struct Step {
  enum class Kind {
    load,
    plug,
    unplug,
    remove_reader,
    insert,
    remove_card,
    open,
    close,
    power,
    protocol,
    apdu,
    track,
    sleep,
    resume,
    vendor,
  };
  Kind kind = Kind::open;
  std::string text;  // as printed: the line without comment and `expect`
  std::string where; // "FILE:LINE"
  std::string name;  // load: "11" or "10"; plug: reader profile; insert: card
  ULONG code = 0;    // power: SCARD_*; protocol: SCARD_PROTOCOL_*; track: 1
                     // present, 0 absent; vendor: the control code
  Bytes data;        // apdu; vendor input
  std::size_t output = 0; // vendor: bytes asked for
  std::optional<BytePattern> expect_bytes;
  std::optional<NTSTATUS> expect_status;
};

// Checks the whole script before anything runs: nothing and "FILE:LINE:
// why" for the first line that is no step.
std::optional<std::vector<Step>> parse_script(std::string_view text,
                                              const std::string &file,
                                              std::string *error);

} // namespace talvor::cli
