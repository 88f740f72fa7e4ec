// SPDX-License-Identifier: Apache-2.0
#include "common/output_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/fatal.h"
#include "common/stop_signals.h"

namespace common {
namespace {

// The most parts one gathered write takes (the smallest IOV_MAX there is).
constexpr std::size_t kMostWriteParts = 1024;

std::string system_error_text(int error) {
  return error != 0 ? std::strerror(error) : "short write";
}

}  // namespace

OutputFile::OutputFile(const ArgumentField& fileout)
    : name_(fileout.text()), file_(std::fopen(name_.c_str(), "w")) {
  if (!file_) {
    throw FatalError("opening output file " + name_ + ": " + system_error_text(errno));
  }
  // Written through the descriptor only: stdio keeps no bytes of its own.
  std::setvbuf(file_.get(), nullptr, _IONBF, 0);
  catch_stop_signals(::fileno(file_.get()));
}

OutputFile::~OutputFile() {
  if (!file_) return;
  cut_back(::fileno(file_.get()), committed_bytes_);
  restore_stop_signals();
}

void OutputFile::write(const unsigned char* bytes, std::size_t size) {
  // A message that begins where the last one ends joins its part.
  const bool adjacent =
      !pending_.empty() &&
      static_cast<const unsigned char*>(pending_.back().iov_base) + pending_.back().iov_len ==
          bytes;
  if (adjacent) {
    pending_.back().iov_len += size;
  } else if (size > 0) {
    pending_.push_back({const_cast<unsigned char*>(bytes), size});
  }
  pending_ends_.push_back((pending_ends_.empty() ? 0 : pending_ends_.back()) + size);
}

void OutputFile::write(const codes_handle* handle) {
  const void* message = nullptr;
  std::size_t size = 0;
  check(codes_get_message(handle, &message, &size), "getting the encoded message");
  write(static_cast<const unsigned char*>(message), size);
  flush();
}

void OutputFile::flush() {
  if (pending_ends_.empty()) return;
  const int output = ::fileno(file_.get());
  std::size_t reached = 0;
  // The pending messages that reached the file whole, and their bytes.
  std::size_t whole_count = 0;
  std::size_t whole = 0;
  std::size_t part = 0;
  while (part < pending_.size()) {
    const ssize_t done =
        ::writev(output, &pending_[part],
                 static_cast<int>(std::min(pending_.size() - part, kMostWriteParts)));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) fail(done < 0 ? errno : 0, whole);
    reached += static_cast<std::size_t>(done);
    while (whole_count < pending_ends_.size() && pending_ends_[whole_count] <= reached) {
      whole = pending_ends_[whole_count++];
    }
    // A stop signal before the next write keeps every message this one completed.
    publish_whole_bytes(committed_bytes_ + static_cast<off_t>(whole));
    // Past the parts written whole, into the one written in part.
    for (auto left = static_cast<std::size_t>(done); left > 0;) {
      iovec& first = pending_[part];
      const std::size_t taken = std::min(left, first.iov_len);
      first.iov_base = static_cast<unsigned char*>(first.iov_base) + taken;
      first.iov_len -= taken;
      left -= taken;
      if (first.iov_len == 0) ++part;
    }
  }
  commit(pending_ends_.back());
  pending_.clear();
  pending_ends_.clear();
}

void OutputFile::close() {
  if (!file_) return;
  flush();
  // Complete from here on: a stop signal may take the caller's action again.
  restore_stop_signals();
  std::FILE* file = file_.release();
  if (std::fclose(file) != 0) {
    throw FatalError("closing output file " + name_ + ": " + system_error_text(errno));
  }
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
