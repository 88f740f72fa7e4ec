// SPDX-License-Identifier: Apache-2.0
#include "common/stop_signals.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstddef>

namespace common {
namespace {

// What the signal handler knows of the open output: its descriptor (-1 when
// none is open) and the length of the whole messages in it.
std::atomic<int> output_descriptor{-1};
std::atomic<off_t> output_whole_bytes{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<off_t>::is_always_lock_free);

// Signal numbers run from 1 to below NSIG (real-time signals included).
bool taken[NSIG];
struct sigaction previous_actions[NSIG];

// A stack for the handler, so that a stack overflow (SIGSEGV) still cuts the
// output back; used only where nothing else has set one (a sanitizer may).
constexpr std::size_t kHandlerStackBytes = std::size_t{64} << 10;
alignas(16) unsigned char handler_stack[kHandlerStackBytes];
bool stack_set = false;
stack_t previous_stack;

// True for a signal whose default action ends the process and that can be
// caught: all but those that are ignored, stop or continue by default, and
// SIGKILL and SIGSTOP.
bool ends_the_process(int signal_number) {
  switch (signal_number) {
    case SIGKILL:
    case SIGSTOP:
    case SIGCHLD:
    case SIGCONT:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGURG:
    case SIGWINCH:
      return false;
    default:
      return true;
  }
}

// Cuts the output back to its whole messages, then dies of the same signal.
// Only async-signal-safe calls here.
extern "C" void cut_output_and_die(int signal_number) {
  const int descriptor = output_descriptor.load();
  if (descriptor >= 0) cut_back(descriptor, output_whole_bytes.load());
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  ::sigemptyset(&default_action.sa_mask);
  ::sigaction(signal_number, &default_action, nullptr);
  // Blocked while the handler runs: delivered, with the default action, on
  // return (a fault, SIGSEGV or SIGBUS, comes back with it at once).
  ::raise(signal_number);
}

}  // namespace

void catch_stop_signals(int descriptor) {
  output_whole_bytes.store(0);
  output_descriptor.store(descriptor);
  stack_t current {};
  if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) != 0) {
    stack_t ours {};
    ours.ss_sp = handler_stack;
    ours.ss_size = sizeof handler_stack;
    stack_set = ::sigaltstack(&ours, &previous_stack) == 0;
  }
  struct sigaction action {};
  action.sa_handler = &cut_output_and_die;
  action.sa_flags = SA_ONSTACK;
  ::sigfillset(&action.sa_mask);
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    taken[signal_number] = false;
    if (!ends_the_process(signal_number)) continue;
    // A signal the caller ignores stays ignored; one that something in the
    // process handles already (a sanitizer's fault report) keeps its handler.
    // Numbers the C library keeps for itself refuse the query.
    if (::sigaction(signal_number, nullptr, &previous_actions[signal_number]) != 0) continue;
    if ((previous_actions[signal_number].sa_flags & SA_SIGINFO) != 0 ||
        previous_actions[signal_number].sa_handler != SIG_DFL) {
      continue;
    }
    taken[signal_number] = ::sigaction(signal_number, &action, nullptr) == 0;
  }
}

void publish_whole_bytes(off_t length) { output_whole_bytes.store(length); }

void restore_stop_signals() {
  if (output_descriptor.exchange(-1) < 0) return;
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (taken[signal_number]) ::sigaction(signal_number, &previous_actions[signal_number], nullptr);
    taken[signal_number] = false;
  }
  if (stack_set) ::sigaltstack(&previous_stack, nullptr);
  stack_set = false;
}

void cut_back(int descriptor, off_t length) {
  struct stat status {};
  if (::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode)) {
    [[maybe_unused]] const int cut = ::ftruncate(descriptor, length);
  }
}

}  // namespace common
