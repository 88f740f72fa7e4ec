// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace common {

// Runs a tool's run function, which returns kExitSuccess or throws FatalError:
// the only place a failure is caught. Its console lines go to standard output,
// its report to standard error as "<tool>: <report>", and its status is
// returned; stdout is flushed and checked at the end. A first argument of
// "--version" prints the version line instead.
int run_tool(const char* tool_name, int argc, const char* const* argv,
             int (*run)(int argc, const char* const* argv));

}  // namespace common
