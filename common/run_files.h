// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "common/args_console.h"
#include "common/c_owners.h"
#include "common/fatal.h"
#include "common/output_file.h"

namespace common {

// The files of a run, opened in order: input, then output. The input is read
// through its descriptor (MessageReader), never through stdio.
struct GribFiles {
  FilePtr input;
  std::unique_ptr<OutputFile> output;
};

// Opens both files. FatalError when the input cannot be opened (the
// open-failure line, its reason on standard error), when the output is the
// input or where standard output or standard error goes (nothing is opened
// for writing then),
// or when the output cannot be opened. Then confines the process (sandbox.h).
GribFiles open_grib_files(const ArgumentField& filein, const ArgumentField& fileout);

// True when `fileout` names an existing file that is the open input itself
// (same device and inode, so links count too).
bool is_same_file(std::FILE* input, const ArgumentField& fileout);

// "standard output" or "standard error" when `fileout` names the regular
// file, pipe or socket that one of them goes to (devices such as /dev/null
// are left alone): console lines or reports would be written into the
// messages, and a caller's log emptied. nullptr otherwise.
const char* console_stream_named(const ArgumentField& fileout);

// The failure of reading message `ordinal` of `filein`: the read-failure line,
// and `report` on standard error when there is one.
FatalError read_failure(const ArgumentField& filein, std::int64_t ordinal,
                        const std::string& report = "");

}  // namespace common
