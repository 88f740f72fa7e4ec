// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <eccodes.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/args_console.h"
#include "common/c_owners.h"
#include "common/message_reader.h"

namespace common {

// The most whole messages the output holds before it writes them: large
// enough to keep system calls rare.
constexpr std::size_t kFileBufferBytes = std::size_t{1} << 20;

// Throws FatalError naming the current message, `what` and ecCodes' text for
// `status` unless it is success.
void check(int status, std::string_view what);

// Makes an internal assertion of ecCodes (it asserts, for one, when a damaged
// message asks it to allocate more memory than there is) throw FatalError
// instead of aborting the process. Called at the start of every run.
void route_eccodes_assertions();

// "FILE: message N: " for the fatal reports about message N of the input
// (FILE: the input's name once the run's files are open); empty for 0.
std::string message_context(std::int64_t ordinal);

// Names message `ordinal` (0: none) in the fatal reports that follow: check()'s
// and those of ecCodes assertions.
void set_current_message(std::int64_t ordinal);

// True when `fileout` names an existing file that is the open input itself
// (same device and inode, so links count too).
bool is_same_file(std::FILE* input, const ArgumentField& fileout);

// True when `fileout` names the regular file, pipe or socket that standard
// output goes to (devices such as /dev/null are left alone): console lines
// would be written into the messages.
bool is_standard_output(const ArgumentField& fileout);

// The output GRIB file. Whole messages are written in blocks; when a write
// fails the file is cut back to the end of the last message that reached it,
// so it never ends in the middle of a message. While it is open, SIGTERM,
// SIGHUP and SIGINT cut it back the same way, then end the process by that signal.
class OutputFile {
 public:
  // Creates or empties `fileout`; FatalError when it cannot be opened.
  explicit OutputFile(const ArgumentField& fileout);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  // Appends one encoded message; FatalError (after cutting back) on failure.
  void write(const unsigned char* bytes, std::size_t size);
  void write(const codes_handle* handle);
  // Writes what is pending and closes the file, checking both.
  void close();

 private:
  void write_pending();
  // Counts `whole_bytes` more as whole messages in the file, for the signal handler too.
  void commit(std::size_t whole_bytes);
  // Keeps the first `whole_bytes` of the failed write (whole messages only),
  // cuts off whatever else reached the file, then throws FatalError.
  [[noreturn]] void fail(int error, std::size_t whole_bytes);

  std::string name_;
  FilePtr file_;
  std::vector<unsigned char> pending_;
  // Where each pending message ends within pending_.
  std::vector<std::size_t> pending_ends_;
  off_t committed_bytes_ = 0;
};

// The files of a run, opened in order: input, then output. `failure_status`
// is kExitSuccess when both are open; otherwise the failure line has been
// printed and the run ends with that status. The input is read through its
// descriptor (MessageReader), never through stdio.
struct GribFiles {
  FilePtr input;
  std::unique_ptr<OutputFile> output;
  int failure_status = kExitSuccess;
};
GribFiles open_grib_files(const ArgumentField& filein, const ArgumentField& fileout);

// Zeroed bytes that follow a message loaded for decoding. ecCodes 2.28 decodes
// as many values as a message claims even when its data section is shorter,
// reading past the message's end. It refuses more than 64 bits per value, so
// 30589 values reach at most 239 KiB past the data's start: such a read stays
// in memory of ours and finds zeros.
constexpr std::size_t kDecodeMarginBytes = std::size_t{256} << 10;

// A message loaded into ecCodes: a copy of its bytes followed by the margin,
// and a handle on them (null when ecCodes cannot load the message).
struct LoadedMessage {
  MessageBytes bytes;
  GribHandle handle;
};
LoadedMessage load_message(const ReadOutcome& message);

// Frees a handle, checking the outcome.
void release(GribHandle handle);

// Prints the read-failure line for message `ordinal` of `filein`.
void report_read_failure(const ArgumentField& filein, std::int64_t ordinal);

}  // namespace common
