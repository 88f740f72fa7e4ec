// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace common {

// Exit statuses: the tool did its work (or was asked for help); a run failed
// (unopened or unreadable input, a fatal GRIB or file failure, a console line
// that could not be written); the command line was not usable.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The one way a run ends early. Thrown where the failure is found, after the
// clean-up it needs; caught only by run_tool, which prints its console lines
// on standard output, its report (when there is one) on standard error as
// "<tool>: <report>", and returns its status.
class FatalError : public std::runtime_error {
 public:
  // A fatal failure: the report, and kExitFailure.
  explicit FatalError(const std::string& report);
  // A failure the tool reports itself: its console lines, then the report
  // (none when empty), and the status.
  FatalError(std::string console_lines, int status, const std::string& report = "");

  const std::string& console_lines() const { return console_lines_; }
  int status() const { return status_; }

 private:
  std::string console_lines_;
  int status_ = kExitFailure;
};

// Throws FatalError naming the current message, `what` and ecCodes' text for
// `status` unless it is success.
void check(int status, std::string_view what);

// Makes an internal assertion of ecCodes (it asserts, for one, when a damaged
// message asks it to allocate more memory than there is) throw FatalError
// instead of aborting the process. Called at the start of every run.
void route_eccodes_assertions();

// Names the input (once it is open) and message `ordinal` (0: none) in the
// fatal reports that follow: check()'s and those of ecCodes assertions.
void set_current_input(std::string_view name);
void set_current_message(std::int64_t ordinal);

// "FILE: message N: " for the fatal reports about message N of the input;
// empty for 0.
std::string message_context(std::int64_t ordinal);

}  // namespace common
