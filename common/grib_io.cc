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

// The four-byte words at which ecCodes' GRIB reader may begin a message:
// "GRIB", and the pseudo-GRIB "BUDG", "DIAG" and "TIDE". A word and its 3-byte
// length make a header.
constexpr std::string_view kMessageWords[] = {"GRIB", "BUDG", "DIAG", "TIDE"};
constexpr std::size_t kWordBytes = 4;
constexpr std::size_t kHeaderBytes = kWordBytes + 3;

// Where the first message word of `bytes` begins: `bytes.size()` when there is
// none, and no later than the last kWordBytes - 1 bytes, which may begin one.
std::size_t next_word(std::span<const unsigned char> bytes) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    // The nearest first byte of any word, found at memory speed.
    std::size_t first = bytes.size();
    for (const std::string_view word : kMessageWords) {
      const void* found = std::memchr(bytes.data() + at, word[0], first - at);
      if (found != nullptr) {
        first = static_cast<std::size_t>(static_cast<const unsigned char*>(found) - bytes.data());
      }
    }
    if (first == bytes.size() || bytes.size() - first < kWordBytes) return first;
    const std::string_view candidate(reinterpret_cast<const char*>(bytes.data() + first),
                                     kWordBytes);
    for (const std::string_view word : kMessageWords) {
      if (candidate == word) return first;
    }
    at = first + 1;
  }
  return bytes.size();
}

// True for a pseudo-GRIB header ("BUDG", "DIAG", "TIDE") whose length is below
// 3: ecCodes 2.28 then reads the rest of the file into a 32-byte array on its stack.
bool overruns_eccodes(std::span<const unsigned char> header) {
  if (header.size() < kHeaderBytes) return false;
  const std::string_view word(reinterpret_cast<const char*>(header.data()), kWordBytes);
  const unsigned length = (unsigned{header[4]} << 16) | (unsigned{header[5]} << 8) | header[6];
  return word != "GRIB" && length < 3;
}

// The bytes that glibc's stdio has read ahead and not yet handed out: they lie
// between two public fields of FILE (gnulib's freadptr and freadseek use them too).
std::span<const unsigned char> read_ahead(std::FILE* stream) {
  return {reinterpret_cast<const unsigned char*>(stream->_IO_read_ptr),
          static_cast<std::size_t>(stream->_IO_read_end - stream->_IO_read_ptr)};
}

}  // namespace

std::string message_context(std::int64_t ordinal) {
  return ordinal > 0 ? "message " + std::to_string(ordinal) + ": " : "";
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
    write_stdout(console_line({"Errore aprendo ", filein.text()}));
    files.failure_status = kExitFailure;
    return files;
  }
  files.input_buffer = std::make_unique_for_overwrite<char[]>(kFileBufferBytes);
  std::setvbuf(files.input.get(), files.input_buffer.get(), _IOFBF, kFileBufferBytes);
  // Opening the output empties it: it must not be the input.
  if (is_same_file(files.input.get(), fileout)) {
    write_stdout(
        console_line({"Errore: il file di output coincide con il file di input ", fileout.text()}));
    files.failure_status = kExitFailure;
    return files;
  }
  files.output = std::make_unique<OutputFile>(fileout);
  return files;
}

// A read-only stdio stream over a non-seekable input that can go back to any
// position since the last mark(): it keeps every byte read since then.
class RewindableStream {
 public:
  // The stream's buffer. To seek, stdio goes to the block boundary below the
  // target and reads forward, so bytes are kept from that boundary on.
  static constexpr std::size_t kBlockBytes = std::size_t{64} << 10;

  explicit RewindableStream(std::FILE* source) : source_(source) {
    const cookie_io_functions_t functions = {&RewindableStream::read, nullptr,
                                             &RewindableStream::seek, nullptr};
    stream_.reset(::fopencookie(this, "r", functions));
    if (!stream_) throw FatalError("opening the input stream");
    std::setvbuf(stream_.get(), nullptr, _IOFBF, kBlockBytes);
  }
  RewindableStream(const RewindableStream&) = delete;
  RewindableStream& operator=(const RewindableStream&) = delete;

  std::FILE* stream() const { return stream_.get(); }

  // Forgets the bytes before the block that holds the stream's position.
  void mark() {
    const off_t position = ::ftello(stream_.get());
    if (position < 0) return;
    const off_t keep_from = position - position % static_cast<off_t>(kBlockBytes);
    if (keep_from <= kept_start_) return;
    const auto dropped = static_cast<std::size_t>(keep_from - kept_start_);
    kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(dropped));
    kept_start_ = keep_from;
  }

 private:
  off_t kept_end() const { return kept_start_ + static_cast<off_t>(kept_.size()); }

  // Reads from the source until `end` is kept, or the source has no more; a
  // block at a time, so memory follows the bytes that exist, not a target.
  void fill_to(off_t end) {
    while (kept_end() < end) {
      const auto wanted = std::min(static_cast<std::size_t>(end - kept_end()), kBlockBytes);
      const std::size_t old_size = kept_.size();
      kept_.resize(old_size + wanted);
      const std::size_t got = std::fread(kept_.data() + old_size, 1, wanted, source_);
      kept_.resize(old_size + got);
      if (got == 0) return;
    }
  }

  static ssize_t read(void* cookie, char* bytes, std::size_t size) {
    auto* self = static_cast<RewindableStream*>(cookie);
    self->fill_to(self->position_ + static_cast<off_t>(size));
    if (self->position_ >= self->kept_end()) return std::ferror(self->source_) ? -1 : 0;
    const auto from = static_cast<std::size_t>(self->position_ - self->kept_start_);
    const std::size_t count = std::min(size, self->kept_.size() - from);
    std::memcpy(bytes, self->kept_.data() + from, count);
    self->position_ += static_cast<off_t>(count);
    return static_cast<ssize_t>(count);
  }

  // Back to any kept position; forward by reading (and keeping) what lies between.
  static int seek(void* cookie, off64_t* offset, int whence) {
    auto* self = static_cast<RewindableStream*>(cookie);
    off_t target = 0;
    if (whence == SEEK_SET) {
      target = static_cast<off_t>(*offset);
    } else if (whence == SEEK_CUR) {
      target = self->position_ + static_cast<off_t>(*offset);
    } else {
      return -1;
    }
    if (target < self->kept_start_) return -1;
    self->fill_to(target);
    self->position_ = target;
    *offset = target;
    return 0;
  }

  std::FILE* source_;
  FilePtr stream_;
  std::vector<unsigned char> kept_;
  off_t kept_start_ = 0;
  off_t position_ = 0;
};

MessageReader::MessageReader(std::FILE* input)
    : stream_(input),
      buffer_(static_cast<unsigned char*>(std::malloc(kMinimumMessageBufferBytes))),
      buffer_size_(kMinimumMessageBufferBytes) {
  if (!buffer_) throw std::bad_alloc();
  struct stat status {};
  if (::fstat(::fileno(input), &status) != 0 || !S_ISREG(status.st_mode)) {
    rewindable_ = std::make_unique<RewindableStream>(input);
    stream_ = rewindable_->stream();
  } else {
    // stdio learns the file's position from a seek and then keeps it up to
    // date; until then every ftello asks the system.
    static_cast<void>(::fseeko(stream_, 0, SEEK_CUR));
  }
}

MessageReader::~MessageReader() = default;

bool MessageReader::skip_to_next_word() {
  // Looked for in stdio's own buffer first: no copy, no system call.
  for (;;) {
    const std::span<const unsigned char> bytes = read_ahead(stream_);
    const std::size_t word = next_word(bytes);
    if (word == bytes.size()) {
      stream_->_IO_read_ptr += word;
      const int next_byte = std::getc(stream_);  // the next block
      if (next_byte == EOF) {
        std::clearerr(stream_);
        return true;
      }
      std::ungetc(next_byte, stream_);
      continue;
    }
    stream_->_IO_read_ptr += word;
    if (bytes.size() - word >= kHeaderBytes) {
      return !overruns_eccodes(bytes.subspan(word, kHeaderBytes));
    }
    break;
  }
  // A word whose header runs past the end of stdio's buffer: read it, then go back.
  unsigned char header[kHeaderBytes];
  const std::size_t got = std::fread(header, 1, kHeaderBytes, stream_);
  if (got > 0 && ::fseeko(stream_, -static_cast<off_t>(got), SEEK_CUR) != 0) std::clearerr(stream_);
  if (got < kHeaderBytes) std::clearerr(stream_);
  return !overruns_eccodes({header, got});
}

ReadOutcome MessageReader::next() {
  ReadOutcome outcome;
  if (rewindable_) rewindable_->mark();
  if (!skip_to_next_word()) {
    outcome.status = ReadStatus::kError;
    return outcome;
  }
  if (rewindable_) rewindable_->mark();
  const off_t start = ::ftello(stream_);
  std::size_t length = 0;
  int error = CODES_SUCCESS;
  for (;;) {
    length = buffer_size_;
    error = wmo_read_grib_from_file(stream_, buffer_.get(), &length);
    if (error != CODES_BUFFER_TOO_SMALL || length <= buffer_size_ || start < 0) break;
    // The reader stopped inside a message longer than the buffer: grow it and
    // read again from where this read began (bytes before the message are
    // skipped again). malloc leaves the pages untouched until written, so a
    // damaged header claiming a huge length costs only what the file holds.
    const std::size_t grown = std::max({length, 2 * buffer_size_, kMinimumMessageBufferBytes});
    buffer_.reset(static_cast<unsigned char*>(std::malloc(grown)));
    buffer_size_ = buffer_ ? grown : 0;
    if (!buffer_) {
      error = CODES_OUT_OF_MEMORY;
      break;
    }
    if (::fseeko(stream_, start, SEEK_SET) != 0) {
      error = CODES_IO_PROBLEM;
      break;
    }
  }
  if (error == CODES_END_OF_FILE) {
    outcome.status = ReadStatus::kEndOfFile;
  } else if (error != CODES_SUCCESS) {
    outcome.status = ReadStatus::kError;
  } else {
    outcome.status = ReadStatus::kMessage;
    outcome.bytes = buffer_.get();
    outcome.size = length;
  }
  return outcome;
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
