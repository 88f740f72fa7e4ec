// SPDX-License-Identifier: Apache-2.0
#include "common/stop_signals.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <iterator>

namespace common {
namespace {

// What the signal handler knows of the open output: its descriptor (-1 when
// none is open) and the length of the whole messages in it.
std::atomic<int> output_descriptor{-1};
std::atomic<off_t> output_whole_bytes{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<off_t>::is_always_lock_free);

constexpr int kStopSignals[] = {SIGTERM, SIGHUP, SIGINT};
struct sigaction previous_actions[std::size(kStopSignals)];

// Cuts the output back to its whole messages, then dies of the same signal.
// Only async-signal-safe calls here.
extern "C" void cut_output_and_die(int signal_number) {
  const int descriptor = output_descriptor.load();
  if (descriptor >= 0) cut_back(descriptor, output_whole_bytes.load());
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  ::sigemptyset(&default_action.sa_mask);
  ::sigaction(signal_number, &default_action, nullptr);
  // Blocked while the handler runs: delivered, with the default action, on return.
  ::raise(signal_number);
}

}  // namespace

void catch_stop_signals(int descriptor) {
  output_whole_bytes.store(0);
  output_descriptor.store(descriptor);
  struct sigaction action {};
  action.sa_handler = &cut_output_and_die;
  ::sigfillset(&action.sa_mask);
  for (std::size_t at = 0; at < std::size(kStopSignals); ++at) {
    ::sigaction(kStopSignals[at], nullptr, &previous_actions[at]);
    if (previous_actions[at].sa_handler != SIG_IGN) {
      ::sigaction(kStopSignals[at], &action, nullptr);
    }
  }
}

void publish_whole_bytes(off_t length) { output_whole_bytes.store(length); }

void restore_stop_signals() {
  if (output_descriptor.exchange(-1) < 0) return;
  for (std::size_t at = 0; at < std::size(kStopSignals); ++at) {
    ::sigaction(kStopSignals[at], &previous_actions[at], nullptr);
  }
}

void cut_back(int descriptor, off_t length) {
  struct stat status {};
  if (::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode)) {
    [[maybe_unused]] const int cut = ::ftruncate(descriptor, length);
  }
}

}  // namespace common
