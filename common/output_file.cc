// SPDX-License-Identifier: Apache-2.0
#include "common/output_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/fatal.h"
#include "common/stop_signals.h"

namespace common {
namespace {

std::string system_error_text(int error) {
  return error != 0 ? std::strerror(error) : "short write";
}

}  // namespace

OutputFile::OutputFile(const ArgumentField& fileout)
    : name_(fileout.text()), file_(std::fopen(name_.c_str(), "w")) {
  if (!file_) {
    throw FatalError("opening output file " + name_ + ": " + system_error_text(errno));
  }
  // Blocks are assembled here from whole messages, so stdio must not split them.
  std::setvbuf(file_.get(), nullptr, _IONBF, 0);
  pending_ = std::unique_ptr<unsigned char[]>(new unsigned char[kFileBufferBytes]);
  catch_stop_signals(::fileno(file_.get()));
}

OutputFile::~OutputFile() {
  if (!file_) return;
  cut_back(::fileno(file_.get()), committed_bytes_);
  restore_stop_signals();
}

void OutputFile::write(const unsigned char* bytes, std::size_t size) {
  if (bytes == pending_.get() + pending_size_ && size <= kFileBufferBytes - pending_size_) {
    pending_size_ += size;
    pending_ends_.push_back(pending_size_);
    return;
  }
  if (pending_size_ + size > kFileBufferBytes) write_pending();
  if (size >= kFileBufferBytes) {
    errno = 0;
    const std::size_t reached = std::fwrite(bytes, 1, size, file_.get());
    if (reached != size) fail(errno, 0);
    commit(size);
    return;
  }
  std::memcpy(pending_.get() + pending_size_, bytes, size);
  pending_size_ += size;
  pending_ends_.push_back(pending_size_);
}

std::span<unsigned char> OutputFile::free_space(std::size_t at_least) {
  if (kFileBufferBytes - pending_size_ < at_least) write_pending();
  return {pending_.get() + pending_size_, kFileBufferBytes - pending_size_};
}

void OutputFile::write(const codes_handle* handle) {
  const void* message = nullptr;
  std::size_t size = 0;
  check(codes_get_message(handle, &message, &size), "getting the encoded message");
  write(static_cast<const unsigned char*>(message), size);
}

void OutputFile::close() {
  if (!file_) return;
  write_pending();
  // Complete from here on: a stop signal may take the caller's action again.
  restore_stop_signals();
  std::FILE* file = file_.release();
  if (std::fclose(file) != 0) {
    throw FatalError("closing output file " + name_ + ": " + system_error_text(errno));
  }
}

void OutputFile::write_pending() {
  if (pending_size_ == 0) return;
  errno = 0;
  const std::size_t reached = std::fwrite(pending_.get(), 1, pending_size_, file_.get());
  if (reached != pending_size_) {
    std::size_t whole = 0;
    for (const std::size_t end : pending_ends_) {
      if (end <= reached) whole = end;
    }
    fail(errno, whole);
  }
  commit(pending_size_);
  pending_size_ = 0;
  pending_ends_.clear();
}

void OutputFile::commit(std::size_t whole_bytes) {
  committed_bytes_ += static_cast<off_t>(whole_bytes);
  publish_whole_bytes(committed_bytes_);
}

void OutputFile::fail(int error, std::size_t whole_bytes) {
  commit(whole_bytes);
  pending_size_ = 0;
  pending_ends_.clear();
  // Part of a message may have reached the file: cut it back to the last message end.
  cut_back(::fileno(file_.get()), committed_bytes_);
  throw FatalError("writing output file " + name_ + ": " + system_error_text(error));
}

}  // namespace common
