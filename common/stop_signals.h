// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sys/types.h>

namespace common {

// While an output is open, every signal that would end the process (SIGTERM
// from a scheduler, SIGHUP, SIGINT, SIGUSR1 and SIGALRM from a time limit,
// real-time signals, and faults such as SIGSEGV inside a decoder) cuts it back
// to the end of its last whole message, then ends the process by the same
// signal. SIGKILL cannot be caught. A signal that the process inherited as
// ignored (nohup, a script's background job) stays ignored.
void catch_stop_signals(int output_descriptor);

// The length of the whole messages in the output, for the handler: published
// before and after every write.
void publish_whole_bytes(off_t length);

// Gives the stop signals back the actions the caller had: once the output is
// complete (or released), a signal ends the run as the caller wants.
void restore_stop_signals();

// Cuts a regular file back to `length` bytes; devices and pipes cannot be cut
// and need not be. Async-signal-safe. A cut that fails leaves nothing more to try.
void cut_back(int descriptor, off_t length);

}  // namespace common
