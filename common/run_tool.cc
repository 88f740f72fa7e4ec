// SPDX-License-Identifier: Apache-2.0
#include "common/run_tool.h"

#include <eccodes.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <new>
#include <string_view>

#include "common/args_console.h"
#include "common/fatal.h"
#include "common/sandbox.h"

namespace common {
namespace {

// A standard descriptor that the caller left closed would be taken by the
// input or the output, and console lines would land in the output file. Each
// is filled with /dev/null opened read-only, so that a console line that
// cannot be written still fails the run. False when that is impossible.
bool fill_closed_standard_descriptors() {
  for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
    if (::fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor: this one, since those below are open.
    if (::open("/dev/null", O_RDONLY) != descriptor) return false;
  }
  return true;
}

const char* reporting_tool = nullptr;

void write_stderr_report(const char* tool_name, std::string_view text) {
  std::fprintf(stderr, "%s: %.*s\n", tool_name, static_cast<int>(text.size()), text.data());
}

}  // namespace

void report_on_stderr(std::string_view text) {
  if (reporting_tool == nullptr) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
  } else {
    write_stderr_report(reporting_tool, text);
  }
}

int run_tool(const char* tool_name, int argc, const char* const* argv,
             int (*run)(int argc, const char* const* argv)) {
  // A file-size limit must surface as a failed write that the tool reports and
  // cleans up after, not as a signal that kills it in the middle of a message.
  std::signal(SIGXFSZ, SIG_IGN);
  reporting_tool = tool_name;
  if (!fill_closed_standard_descriptors()) return kExitFailure;
  try {
    try {
      // Operators reporting a fault need both versions: ecCodes decides what a message is.
      if (padded_equal(ArgumentField::fetch(argc, argv, 1).field(), "--version")) {
        write_stdout(version_line(tool_name, TOOLS_VERSION, codes_get_api_version()) +
                     sandbox_line());
        return kExitSuccess;
      }
      const int status = run(argc, argv);
      if (std::fflush(stdout) != 0) throw FatalError("flushing standard output");
      return status;
    } catch (const FatalError& failure) {
      // The run's own lines first, then the reason behind them.
      if (!failure.console_lines().empty()) write_stdout(failure.console_lines());
      if (*failure.what() != '\0') write_stderr_report(tool_name, failure.what());
      return failure.status();
    }
  } catch (const std::bad_alloc&) {
    write_stderr_report(tool_name, "out of memory");
  } catch (const std::exception& error) {
    // A console line that could not be written, or a failure beyond the tools' own.
    write_stderr_report(tool_name, error.what());
  }
  return kExitFailure;
}

}  // namespace common
