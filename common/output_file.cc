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
  pending_.reserve(kFileBufferBytes);
  catch_stop_signals(::fileno(file_.get()));
}

OutputFile::~OutputFile() {
  if (!file_) return;
  cut_back(::fileno(file_.get()), committed_bytes_);
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
  publish_whole_bytes(committed_bytes_);
}

void OutputFile::fail(int error, std::size_t whole_bytes) {
  commit(whole_bytes);
  pending_.clear();
  pending_ends_.clear();
  // Part of a message may have reached the file: cut it back to the last message end.
  cut_back(::fileno(file_.get()), committed_bytes_);
  throw FatalError("writing output file " + name_ + ": " + system_error_text(error));
}

}  // namespace common
