// SPDX-License-Identifier: Apache-2.0
#include "common/run_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/sandbox.h"

namespace common {

bool is_same_file(std::FILE* input, const ArgumentField& fileout) {
  struct stat input_status {};
  struct stat output_status {};
  if (::fstat(::fileno(input), &input_status) != 0) return false;
  if (::stat(std::string(fileout.text()).c_str(), &output_status) != 0) return false;
  return input_status.st_dev == output_status.st_dev && input_status.st_ino == output_status.st_ino;
}

const char* console_stream_named(const ArgumentField& fileout) {
  struct stat output_status {};
  if (::stat(std::string(fileout.text()).c_str(), &output_status) != 0) return nullptr;
  for (const int descriptor : {STDOUT_FILENO, STDERR_FILENO}) {
    struct stat console {};
    if (::fstat(descriptor, &console) != 0) continue;
    if (!S_ISREG(console.st_mode) && !S_ISFIFO(console.st_mode) && !S_ISSOCK(console.st_mode)) {
      continue;
    }
    if (console.st_dev == output_status.st_dev && console.st_ino == output_status.st_ino) {
      return descriptor == STDOUT_FILENO ? "standard output" : "standard error";
    }
  }
  return nullptr;
}

GribFiles open_grib_files(const ArgumentField& filein, const ArgumentField& fileout) {
  GribFiles files;
  files.input.reset(std::fopen(std::string(filein.text()).c_str(), "r"));
  if (!files.input) {
    throw FatalError(console_line({"Errore aprendo ", filein.text()}), kExitFailure,
                     "opening input file " + std::string(filein.text()) + ": " +
                         std::strerror(errno));
  }
  set_current_input(filein.text());
  // Opening the output empties it: it must not be the input.
  if (is_same_file(files.input.get(), fileout)) {
    throw FatalError(
        console_line({"Errore: il file di output coincide con il file di input ", fileout.text()}),
        kExitFailure);
  }
  if (const char* stream = console_stream_named(fileout)) {
    throw FatalError("the output file " + std::string(fileout.text()) + " is where " + stream +
                     " goes: console lines would land among its messages; nothing is written");
  }
  files.output = std::make_unique<OutputFile>(fileout);
  // Both files are open: nothing else is opened for the rest of the run.
  confine_run(::fileno(files.input.get()), files.output->descriptor());
  return files;
}

FatalError read_failure(const ArgumentField& filein, std::int64_t ordinal,
                        const std::string& report) {
  return FatalError(console_line({"Errore leggendo ", filein.text(), " grib n.ro ", ordinal}),
                    kExitFailure, report);
}

}  // namespace common
