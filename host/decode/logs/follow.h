// `decode --follow`: reads one console as it grows and prints each report as
// soon as its end line arrives. The console may be a regular file (followed
// as `tail -F` does: reopened when the name comes to point at another file,
// read again from its start when it shrinks), a FIFO, a UNIX stream socket
// (a VMM's serial port, named "unix:PATH" or found by its type), or stdin.
// A report cut off is shown as partial once the console has been quiet for
// the idle time. Runs until SIGINT or SIGTERM.
#pragma once

#include "decode/decode_command.h"

#include <ostream>

namespace decode {

// Returns the exit status: 0 once stopped by a signal or at the end of
// stdin.
int RunFollow(const DecodeOptions& options, std::ostream& out, std::ostream& err);

}  // namespace decode
