// SPDX-License-Identifier: Apache-2.0
#include "common/sandbox.h"

#include <dirent.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#if __has_include(<sys/single_threaded.h>)
#include <sys/single_threaded.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/args_console.h"
#include "common/landlock.h"
#include "common/run_tool.h"
#include "common/seccomp_placeholders.h"

namespace common {
namespace {

#ifdef TOOLS_SECCOMP_FILTER
// The seccomp allow-list, made at build time (make_seccomp_filter.cc).
const sock_filter kSeccompProgram[] = {
#include "seccomp_filter.inc"
};
constexpr bool kSeccompBuiltIn = true;
#else
constexpr bool kSeccompBuiltIn = false;
#endif

#ifndef SYS_close_range
#define SYS_close_range 436  // the same on every architecture
#endif

bool confined = false;

bool sandbox_switched_off() {
  const char* value = std::getenv(kNoSandboxVariable);
  return value != nullptr && *value != '\0';
}

// valgrind runs the program on its own code translated into executable
// memory, which the seccomp filter refuses: under valgrind the run goes on
// without that layer, and says so. valgrind preloads its core into the program.
bool under_valgrind() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "/vgpreload_core-") != nullptr;
}

// The threads of the process; 1 when /proc cannot tell. The C library knows
// when no thread was ever started, which spares the look in /proc (a third
// of a millisecond at a process's first look).
int thread_count() {
#if __has_include(<sys/single_threaded.h>)
  if (__libc_single_threaded) return 1;
#endif
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return 1;
  char line[256];
  int threads = 1;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "Threads: %d", &threads) == 1) break;
  }
  std::fclose(status);
  return threads;
}

// Closes every descriptor above standard error but the run's two files: a
// caller's lock, log or socket handed down is nothing a run needs, and a
// hijacked decoder can then neither read, write, map nor change them.
void close_inherited_descriptors(int input_descriptor, int output_descriptor) {
  // The gaps between the descriptors kept, from the first above standard error.
  std::vector<unsigned> kept = {static_cast<unsigned>(input_descriptor),
                                static_cast<unsigned>(output_descriptor), ~0U};
  std::sort(kept.begin(), kept.end());
  unsigned low = STDERR_FILENO + 1;
  bool closed = true;
  for (const unsigned next_kept : kept) {
    if (next_kept > low && ::syscall(SYS_close_range, low, next_kept - 1, 0U) != 0) closed = false;
    if (next_kept >= low && next_kept != ~0U) low = next_kept + 1;
  }
  if (closed) return;
  // Kernels before 5.9: the descriptors that /proc lists.
  DIR* entries = ::opendir("/proc/self/fd");
  if (entries == nullptr) return;
  std::vector<int> inherited;
  while (const dirent* entry = ::readdir(entries)) {
    const int descriptor = std::atoi(entry->d_name);
    if (descriptor > STDERR_FILENO && descriptor != input_descriptor &&
        descriptor != output_descriptor && descriptor != ::dirfd(entries)) {
      inherited.push_back(descriptor);
    }
  }
  ::closedir(entries);
  for (const int descriptor : inherited) ::close(descriptor);
}

// Installs the filter on every thread of the process at once (the kernel
// refuses unless it can).
bool apply_seccomp(int output_descriptor) {
#ifdef TOOLS_SECCOMP_FILTER
  sock_filter program[std::size(kSeccompProgram)];
  for (std::size_t at = 0; at < std::size(program); ++at) {
    program[at] = kSeccompProgram[at];
    if (program[at].k == kOutputPlaceholder) {
      program[at].k = static_cast<std::uint32_t>(output_descriptor);
    } else if (program[at].k == kProcessPlaceholder) {
      program[at].k = static_cast<std::uint32_t>(::getpid());
    }
  }
  const sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  const auto install = [&] {
    return ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &filter) == 0;
  };
  if (install()) return true;
  // Kernels before 4.14 cannot end the whole process: a call of another
  // architecture then ends the thread that made it.
  if (errno != EINVAL) return false;
  for (sock_filter& instruction : program) {
    if (instruction.code == (BPF_RET | BPF_K) && instruction.k == SECCOMP_RET_KILL_PROCESS) {
      instruction.k = SECCOMP_RET_KILL_THREAD;
    }
  }
  return install();
#else
  static_cast<void>(output_descriptor);
  return false;
#endif
}

}  // namespace

Confinement available_confinement() {
  Confinement available;
  available.landlock_abi = landlock_abi();
  available.landlock_every_thread = available.landlock_abi >= kLandlockEveryThreadAbi;
  available.seccomp = kSeccompBuiltIn && ::prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0;
  return available;
}

std::string sandbox_line() {
  if (sandbox_switched_off()) return std::string("sandbox: off (") + kNoSandboxVariable + ")\n";
  const Confinement available = available_confinement();
  std::string line = "sandbox:";
  if (available.landlock_abi > 0) {
    line += " landlock " + std::to_string(available.landlock_abi) +
            " (reads beneath ecCodes' folders only";
    if (available.landlock_abi >= kFirstNetAbi) line += ", no TCP";
    if (available.landlock_abi >= kFirstScopeAbi) line += ", signals and abstract sockets scoped";
    line += available.landlock_every_thread ? "; every thread)"
                                            : "; the confining thread and those it starts)";
  }
  if (available.seccomp) {
    line += available.landlock_abi > 0 ? ", " : " ";
    line += under_valgrind()
                ? "no seccomp filter under valgrind (it needs executable memory)"
                : "seccomp allow-list (writes to the output and the console only; every thread)";
  }
  if (available.landlock_abi == 0 && !available.seccomp) {
    line += " none (this kernel, or the emulator the run is under, offers neither Landlock nor "
            "seccomp filters)";
  }
  if (!kSeccompBuiltIn) line += " (built without libseccomp: no seccomp filter)";
  return line + "\n";
}

Confinement confine_run(int input_descriptor, int output_descriptor, unsigned layers) {
  if (sandbox_switched_off()) return {};
  close_inherited_descriptors(input_descriptor, output_descriptor);
  const int threads = landlock_abi() >= kLandlockEveryThreadAbi ? 1 : thread_count();
  Confinement applied;
  std::string note;
  if ((layers & kLandlockLayer) != 0) applied.landlock_abi = apply_landlock(note);
  if (!note.empty()) report_on_stderr(note);
  applied.landlock_every_thread =
      applied.landlock_abi >= kLandlockEveryThreadAbi || (applied.landlock_abi > 0 && threads == 1);
  if (applied.landlock_abi > 0 && !applied.landlock_every_thread) {
    report_on_stderr("confinement: Landlock holds on the confining thread only: " +
                     counted(threads - 1, "other thread") +
                     (threads == 2 ? " was" : " were") +
                     " started before it (by a preloaded library or the allocator), which this "
                     "kernel cannot restrict; seccomp holds on every thread");
  }
  if ((layers & kSeccompLayer) != 0) {
    if (under_valgrind()) {
      report_on_stderr(std::string("confinement: no seccomp filter under valgrind (valgrind "
                                   "needs executable memory); ") +
                       kNoSandboxVariable + "=1 switches all confinement off");
    } else {
      applied.seccomp = apply_seccomp(output_descriptor);
    }
  }
  confined = applied.landlock_abi > 0 || applied.seccomp;
  return applied;
}

std::string sandbox_refusal_note() {
  const int error = errno;
  if (!confined || (error != EACCES && error != EPERM)) return "";
  return std::string("in a confined run, after a refusal (") + std::strerror(error) +
         "): if ecCodes needed a file or call that confinement refuses, " + kNoSandboxVariable +
         "=1 runs unconfined";
}

}  // namespace common
