// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

// Once a run's files are open it needs nothing but reads of ecCodes'
// definition and sample files, its two open files and its console. The
// process then confines itself: Landlock lets it open nothing but ecCodes'
// folders, read-only (no creation, rename, link, truncation, execution, TCP,
// and, from ABI 6, no signal or abstract socket beyond itself); a seccomp
// allow-list refuses with an error every system call a run does not make,
// and filters the arguments of those it does (writes only to the output and
// the console, no ioctl but the terminal query, signals and limits only of
// itself and limits never raised, no executable or shared memory, opens
// read-only and never O_PATH, descriptor flags read but never changed, no
// seek on the console). Descriptors the caller handed down beyond the
// console are closed first. seccomp holds on every thread of the process;
// Landlock on every thread from ABI 8, on the confining thread and those it
// starts before. A kernel or container without either goes on with what it
// has; under valgrind, which needs executable memory, without seccomp. A
// layer the kernel offers that cannot be applied ends the run instead.
namespace common {

// Set to any non-empty value, turns confinement off (debugging, valgrind,
// sanitizers whose leak check needs ptrace).
constexpr const char* kNoSandboxVariable = "GRIB_TOOLS_NO_SANDBOX";

struct Confinement {
  int landlock_abi = 0;  // 0: none
  // Landlock holds on every thread (ABI 8, or the process had one thread).
  bool landlock_every_thread = false;
  bool seccomp = false;  // on every thread
};

// What this kernel offers, without applying anything.
Confinement available_confinement();

// What a run applies, named: "sandbox: landlock 7 (...), seccomp allow-list",
// "sandbox: none", that runs refuse to start and why, or that the variable
// turned it off, and a newline: the second line of --version. Confines the
// calling process to find out.
std::string sandbox_line();

// The two layers; tests apply each alone too.
constexpr unsigned kLandlockLayer = 1;
constexpr unsigned kSeccompLayer = 2;

// Confines the process for the rest of its life, as far as the kernel allows,
// unless kNoSandboxVariable is set: closes every descriptor but the standard
// ones, `input_descriptor` and `output_descriptor`; writes are left to the
// output, standard output and standard error. What cannot be applied to every
// thread, and what the run goes without, is said on standard error. A layer
// the kernel offers that it refuses to apply is a FatalError naming the layer,
// the kernel's reason and the variable. Returns what was applied.
Confinement confine_run(int input_descriptor, int output_descriptor,
                        unsigned layers = kLandlockLayer | kSeccompLayer);

// After a failure inside ecCodes: a note that the sandbox may have refused a
// file or a call it needed (errno EACCES or EPERM in a confined run), or ""
// when it cannot have.
std::string sandbox_refusal_note();

}  // namespace common
