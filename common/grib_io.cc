// SPDX-License-Identifier: Apache-2.0
#include "common/grib_io.h"

#include <grib_api.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <new>
#include <span>

namespace common {
namespace {

std::string system_error_text(int error) {
  return error != 0 ? std::strerror(error) : "short write";
}

// The message being handled, for fatal reports from inside ecCodes; 0 when none.
std::int64_t current_ordinal = 0;
// The input's name, for the same reports.
std::string current_input;

[[noreturn]] void throw_eccodes_assertion(const char* message) {
  throw FatalError(message_context(current_ordinal) + message);
}

// What the signal handler knows of the open output: its descriptor (-1 when
// none is open) and the length of the whole messages in it. The writer
// publishes the length before and after each write.
std::atomic<int> output_descriptor{-1};
std::atomic<off_t> output_whole_bytes{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<off_t>::is_always_lock_free);

// Signals that end a run from outside: a scheduler's time limit, a closed
// terminal, Ctrl-C.
constexpr int kStopSignals[] = {SIGTERM, SIGHUP, SIGINT};
struct sigaction previous_actions[std::size(kStopSignals)];

// Cuts a regular file back to `length` bytes; devices and pipes cannot be cut
// and need not be. Async-signal-safe. A cut that fails leaves nothing more to try.
void cut_back(int descriptor, off_t length) {
  struct stat status {};
  if (::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode)) {
    [[maybe_unused]] const int cut = ::ftruncate(descriptor, length);
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
  // Blocked while the handler runs: delivered, with the default action, on return.
  ::raise(signal_number);
}

// A signal that the process inherited as ignored (nohup, background jobs) stays ignored.
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

void restore_stop_signals() {
  if (output_descriptor.exchange(-1) < 0) return;
  for (std::size_t at = 0; at < std::size(kStopSignals); ++at) {
    ::sigaction(kStopSignals[at], &previous_actions[at], nullptr);
  }
}

}  // namespace

std::string message_context(std::int64_t ordinal) {
  if (ordinal <= 0) return "";
  return (current_input.empty() ? "" : current_input + ": ") + "message " +
         std::to_string(ordinal) + ": ";
}

void set_current_message(std::int64_t ordinal) { current_ordinal = ordinal; }

void check(int status, std::string_view what) {
  if (status == CODES_SUCCESS) return;
  throw FatalError(message_context(current_ordinal) + std::string(what) + ": " +
                   codes_get_error_message(status));
}

void route_eccodes_assertions() { codes_set_codes_assertion_failed_proc(&throw_eccodes_assertion); }

bool is_same_file(std::FILE* input, const ArgumentField& fileout) {
  struct stat input_status {};
  struct stat output_status {};
  if (::fstat(::fileno(input), &input_status) != 0) return false;
  if (::stat(std::string(fileout.text()).c_str(), &output_status) != 0) return false;
  return input_status.st_dev == output_status.st_dev && input_status.st_ino == output_status.st_ino;
}

bool is_standard_output(const ArgumentField& fileout) {
  struct stat console {};
  struct stat output_status {};
  if (::fstat(STDOUT_FILENO, &console) != 0) return false;
  if (!S_ISREG(console.st_mode) && !S_ISFIFO(console.st_mode) && !S_ISSOCK(console.st_mode)) {
    return false;
  }
  if (::stat(std::string(fileout.text()).c_str(), &output_status) != 0) return false;
  return console.st_dev == output_status.st_dev && console.st_ino == output_status.st_ino;
}

OutputFile::OutputFile(const ArgumentField& fileout)
    : name_(fileout.text()), file_(std::fopen(name_.c_str(), "w")) {
  if (!file_) {
    throw FatalError("opening output file " + name_ + ": " + system_error_text(errno));
  }
  // Blocks are assembled here from whole messages, so stdio must not split them.
  std::setvbuf(file_.get(), nullptr, _IONBF, 0);
  pending_.reserve(kFileBufferBytes);
  catch_stop_signals(::fileno(file_.get()));
}

OutputFile::~OutputFile() {
  if (!file_) return;
  try {
    write_pending();
  } catch (const FatalError&) {
    // Already unwinding from another failure; the file holds whole messages only.
  }
  restore_stop_signals();
}

void OutputFile::write(const unsigned char* bytes, std::size_t size) {
  if (pending_.size() + size > kFileBufferBytes) write_pending();
  if (size >= kFileBufferBytes) {
    errno = 0;
    const std::size_t reached = std::fwrite(bytes, 1, size, file_.get());
    if (reached != size) fail(errno, 0);
    commit(size);
    return;
  }
  pending_.insert(pending_.end(), bytes, bytes + size);
  pending_ends_.push_back(pending_.size());
}

void OutputFile::write(const codes_handle* handle) {
  const void* message = nullptr;
  std::size_t size = 0;
  check(codes_get_message(handle, &message, &size), "getting the encoded message");
  write(static_cast<const unsigned char*>(message), size);
}

void OutputFile::close() {
  write_pending();
  // Complete from here on: a stop signal may take its default action again.
  restore_stop_signals();
  std::FILE* file = file_.release();
  if (std::fclose(file) != 0) {
    throw FatalError("closing output file " + name_ + ": " + system_error_text(errno));
  }
}

void OutputFile::write_pending() {
  if (pending_.empty()) return;
  errno = 0;
  const std::size_t reached = std::fwrite(pending_.data(), 1, pending_.size(), file_.get());
  if (reached != pending_.size()) {
    std::size_t whole = 0;
    for (const std::size_t end : pending_ends_) {
      if (end <= reached) whole = end;
    }
    fail(errno, whole);
  }
  commit(pending_.size());
  pending_.clear();
  pending_ends_.clear();
}

void OutputFile::commit(std::size_t whole_bytes) {
  committed_bytes_ += static_cast<off_t>(whole_bytes);
  output_whole_bytes.store(committed_bytes_);
}

void OutputFile::fail(int error, std::size_t whole_bytes) {
  commit(whole_bytes);
  pending_.clear();
  pending_ends_.clear();
  // Part of a message may have reached the file: cut it back to the last message end.
  cut_back(::fileno(file_.get()), committed_bytes_);
  throw FatalError("writing output file " + name_ + ": " + system_error_text(error));
}

GribFiles open_grib_files(const ArgumentField& filein, const ArgumentField& fileout) {
  GribFiles files;
  files.input.reset(std::fopen(std::string(filein.text()).c_str(), "r"));
  if (!files.input) {
    const int error = errno;
    write_stdout(console_line({"Errore aprendo ", filein.text()}));
    write_stderr_report("opening input file " + std::string(filein.text()) + ": " +
                        std::strerror(error));
    files.failure_status = kExitFailure;
    return files;
  }
  current_input = filein.text();
  // Opening the output empties it: it must not be the input.
  if (is_same_file(files.input.get(), fileout)) {
    write_stdout(
        console_line({"Errore: il file di output coincide con il file di input ", fileout.text()}));
    files.failure_status = kExitFailure;
    return files;
  }
  if (is_standard_output(fileout)) {
    throw FatalError("the output file " + std::string(fileout.text()) +
                     " is where standard output goes: console lines would land among its "
                     "messages; nothing is written");
  }
  files.output = std::make_unique<OutputFile>(fileout);
  return files;
}

LoadedMessage load_message(const ReadOutcome& message) {
  LoadedMessage loaded;
  if (message.status != ReadStatus::kMessage) return loaded;
  loaded.bytes.reset(
      static_cast<unsigned char*>(std::calloc(message.size + kDecodeMarginBytes, 1)));
  if (!loaded.bytes) return loaded;
  std::memcpy(loaded.bytes.get(), message.bytes, message.size);
  loaded.handle.reset(codes_handle_new_from_message(nullptr, loaded.bytes.get(), message.size));
  return loaded;
}

void release(GribHandle handle) {
  check(codes_handle_delete(handle.release()), "releasing a message handle");
}

void report_read_failure(const ArgumentField& filein, std::int64_t ordinal) {
  write_stdout(console_line({"Errore leggendo ", filein.text(), " grib n.ro ", ordinal}));
}

}  // namespace common
