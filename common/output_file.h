// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <eccodes.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <string>
#include <vector>

#include "common/args_console.h"
#include "common/c_owners.h"

namespace common {

// The output GRIB file. Messages are written from where the caller keeps
// them, several at once in one gathered write; when a write fails the file is
// cut back to the end of the last message that reached it, so it never ends
// in the middle of a message. While it is open, stop signals cut it back the
// same way (see stop_signals.h).
class OutputFile {
 public:
  // Creates or empties `fileout`; FatalError when it cannot be opened.
  explicit OutputFile(const ArgumentField& fileout);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Without close(), keeps only the messages already written (a failure is
  // unwinding) and releases the file.
  ~OutputFile();

  // Adds one encoded message to those pending. Its bytes are not copied: they
  // must stay as they are until the next flush() or close() writes them.
  void write(const unsigned char* bytes, std::size_t size);
  // Writes an encoded message at once.
  void write(const codes_handle* handle);
  // Writes the pending messages; FatalError (after cutting back) on failure.
  // The caller may then change or free their bytes.
  void flush();
  // Writes what is pending and closes the file, checking both; the only place
  // that does. Closing a closed file does nothing.
  void close();
  // The open file's descriptor, for confinement's rules.
  int descriptor() const { return ::fileno(file_.get()); }

 private:
  // Counts `whole_bytes` more as whole messages in the file, for the signal handler too.
  void commit(std::size_t whole_bytes);
  // Keeps the first `whole_bytes` of the failed write (whole messages only),
  // cuts off whatever else reached the file, then throws FatalError.
  [[noreturn]] void fail(int error, std::size_t whole_bytes);

  // name_ comes before file_: the file is opened by that name in the
  // constructor's initializer list.
  std::string name_;
  FilePtr file_;
  // The pending bytes, a run of adjacent messages to each entry.
  std::vector<iovec> pending_;
  // Where each pending message ends, counted from the first pending byte.
  std::vector<std::size_t> pending_ends_;
  off_t committed_bytes_ = 0;
};

}  // namespace common
