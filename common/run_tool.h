// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string_view>

namespace common {

// Runs a tool's run function, which returns kExitSuccess or throws FatalError:
// the only place a failure is caught. Its console lines go to standard output,
// its report to standard error as "<tool>: <report>", and its status is
// returned; stdout is flushed and checked at the end. A first argument of
// "--version" prints the version line instead.
int run_tool(const char* tool_name, int argc, const char* const* argv,
             int (*run)(int argc, const char* const* argv));

// "<tool>: <text>" and a newline on standard error, for what a run says
// beside its console lines (the tool named by run_tool; none outside it).
void report_on_stderr(std::string_view text);

}  // namespace common
