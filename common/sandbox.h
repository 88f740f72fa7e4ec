// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

// Once a run's files are open it needs nothing but reads of ecCodes'
// definition and sample files, its two open files and its console. The
// process then confines itself: Landlock refuses every other open, any file
// creation, rename, link or truncation by name, execution and TCP bind and
// connect; a seccomp filter refuses, with an error, what Landlock does not
// cover (sockets, exec, ptrace, writes into other processes, mounts,
// namespaces, kernel modules). A kernel or container without either goes on
// unconfined, silently.
namespace common {

// Set to any non-empty value, turns confinement off (debugging, valgrind,
// sanitizers whose leak check needs ptrace).
constexpr const char* kNoSandboxVariable = "GRIB_TOOLS_NO_SANDBOX";

struct Confinement {
  int landlock_abi = 0;  // 0: none
  bool seccomp = false;
};

// What this kernel offers, without applying anything.
Confinement available_confinement();

// "sandbox: landlock 7, seccomp", "sandbox: none", or that the variable turned
// it off, and a newline: the second line of --version.
std::string sandbox_line();

// Confines the process for the rest of its life, as far as the kernel allows,
// unless kNoSandboxVariable is set. Returns what was applied.
Confinement confine_run();

}  // namespace common
