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
#include <string>
#include <vector>

#include "common/args_console.h"
#include "common/fatal.h"
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

bool seccomp_offered() { return ::prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0; }

// Installs the filter on every thread of the process at once (the kernel
// refuses unless it can). "" when it holds, else the kernel's reason.
std::string apply_seccomp(int output_descriptor) {
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
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    return std::string("no_new_privs: ") + std::strerror(errno);
  }
  const auto install = [&] {
    return ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &filter);
  };
  long result = install();
  // Kernels before 4.14 cannot end the whole process: a call of another
  // architecture then ends the thread that made it.
  if (result < 0 && errno == EINVAL) {
    for (sock_filter& instruction : program) {
      if (instruction.code == (BPF_RET | BPF_K) && instruction.k == SECCOMP_RET_KILL_PROCESS) {
        instruction.k = SECCOMP_RET_KILL_THREAD;
      }
    }
    result = install();
  }
  if (result == 0) return "";
  // The kernel names a thread it could not bring along: one whose filters
  // are not this thread's (a preloaded library installed its own there).
  if (result > 0) {
    return "thread " + std::to_string(result) +
           " holds a seccomp filter of its own, which the run's cannot join";
  }
  return std::string("seccomp: ") + std::strerror(errno);
#else
  static_cast<void>(output_descriptor);
  return "built without libseccomp";
#endif
}

// What confining the process gave: the layers applied, the lines for
// standard error, and why a layer the kernel offers could not be applied.
struct Applied {
  Confinement layers;
  std::vector<std::string> notes;
  std::string failure;
};

std::string layer_failure(const char* layer, const std::string& reason) {
  return std::string("confinement: the ") + layer + " layer could not be applied (" + reason +
         "); the run does not go on without it; " + kNoSandboxVariable + "=1 runs unconfined";
}

Applied apply_confinement(int input_descriptor, int output_descriptor, unsigned layers) {
  Applied applied;
  close_inherited_descriptors(input_descriptor, output_descriptor);
  const int threads = landlock_abi() >= kLandlockEveryThreadAbi ? 1 : thread_count();
  std::string link_note;
  std::string landlock_failure;
  if ((layers & kLandlockLayer) != 0) {
    applied.layers.landlock_abi = apply_landlock(link_note, landlock_failure);
  }
  if (!link_note.empty()) applied.notes.push_back(link_note);
  if (!landlock_failure.empty()) {
    // The run will not go on: nothing more is applied.
    applied.failure = layer_failure("Landlock", landlock_failure);
    return applied;
  }
  applied.layers.landlock_every_thread =
      applied.layers.landlock_abi >= kLandlockEveryThreadAbi ||
      (applied.layers.landlock_abi > 0 && threads == 1);
  std::string seccomp_note;
  if ((layers & kSeccompLayer) != 0) {
    if (!kSeccompBuiltIn) {
      seccomp_note = "confinement: built without libseccomp: the run goes without its "
                     "system-call layer (seccomp); Landlock alone confines it where the kernel "
                     "offers it";
    } else if (under_valgrind()) {
      seccomp_note = std::string("confinement: no seccomp filter under valgrind (valgrind "
                                 "needs executable memory); ") +
                     kNoSandboxVariable + "=1 switches all confinement off";
    } else if (seccomp_offered()) {
      const std::string failure = apply_seccomp(output_descriptor);
      applied.layers.seccomp = failure.empty();
      if (!failure.empty()) applied.failure = layer_failure("seccomp", failure);
    }
  }
  if (applied.layers.landlock_abi > 0 && !applied.layers.landlock_every_thread) {
    applied.notes.push_back(
        "confinement: Landlock holds on the confining thread only: " +
        counted(threads - 1, "other thread") + (threads == 2 ? " was" : " were") +
        " started before it (by a preloaded library or the allocator), which this kernel cannot "
        "restrict; " +
        (applied.layers.seccomp ? "seccomp holds on every thread" : "no seccomp filter holds"));
  }
  if (!seccomp_note.empty()) applied.notes.push_back(seccomp_note);
  confined = applied.layers.landlock_abi > 0 || applied.layers.seccomp;
  return applied;
}

}  // namespace

Confinement available_confinement() {
  Confinement available;
  available.landlock_abi = landlock_abi();
  available.landlock_every_thread = available.landlock_abi >= kLandlockEveryThreadAbi;
  available.seccomp = kSeccompBuiltIn && seccomp_offered();
  return available;
}

std::string sandbox_line() {
  if (sandbox_switched_off()) return std::string("sandbox: off (") + kNoSandboxVariable + ")\n";
  // What this process gets when it confines itself as a run does: applied, not offered.
  const Applied applied = apply_confinement(-1, -1, kLandlockLayer | kSeccompLayer);
  if (!applied.failure.empty()) return "sandbox: runs refuse to start: " + applied.failure + "\n";
  const Confinement& layers = applied.layers;
  std::string line = "sandbox:";
  if (layers.landlock_abi > 0) {
    line += " landlock " + std::to_string(layers.landlock_abi) +
            " (reads beneath ecCodes' folders only";
    if (layers.landlock_abi >= kFirstNetAbi) line += ", no TCP";
    if (layers.landlock_abi >= kFirstScopeAbi) line += ", signals and abstract sockets scoped";
    line += layers.landlock_abi >= kLandlockEveryThreadAbi
                ? "; every thread)"
                : "; the confining thread and those it starts)";
  }
  if (layers.seccomp) {
    line += layers.landlock_abi > 0 ? ", " : " ";
    line += "seccomp allow-list (writes to the output and the console only; every thread)";
  } else if (kSeccompBuiltIn && under_valgrind()) {
    line += layers.landlock_abi > 0 ? ", " : " ";
    line += "no seccomp filter under valgrind (it needs executable memory)";
  }
  if (layers.landlock_abi == 0 && !layers.seccomp) {
    line += " none (this kernel, or the emulator the run is under, offers neither Landlock nor "
            "seccomp filters)";
  }
  if (!kSeccompBuiltIn) line += " (built without libseccomp: no seccomp filter)";
  return line + "\n";
}

Confinement confine_run(int input_descriptor, int output_descriptor, unsigned layers) {
  if (sandbox_switched_off()) return {};
  const Applied applied = apply_confinement(input_descriptor, output_descriptor, layers);
  if (!applied.failure.empty()) throw FatalError(applied.failure);
  for (const std::string& note : applied.notes) report_on_stderr(note);
  return applied.layers;
}

std::string sandbox_refusal_note() {
  const int error = errno;
  if (!confined || (error != EACCES && error != EPERM)) return "";
  return std::string("in a confined run, after a refusal (") + std::strerror(error) +
         "): if ecCodes needed a file or call that confinement refuses, " + kNoSandboxVariable +
         "=1 runs unconfined";
}

}  // namespace common
