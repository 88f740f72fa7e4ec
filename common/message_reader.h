// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <span>

#include "common/c_owners.h"

namespace common {

// What one read of the input takes from a regular file, and what the reader
// keeps of a pipe at most while it looks for a message.
constexpr std::size_t kInputBufferBytes = std::size_t{1} << 20;
// Smallest message buffer: ecCodes 2.28 copies a message's first bytes into
// the buffer before it compares the length the message claims with the
// buffer's size, so the buffer must always hold them, whatever the claim.
constexpr std::size_t kMinimumMessageBufferBytes = std::size_t{64} << 10;

enum class ReadStatus { kMessage, kEndOfFile, kError };

// One read of the input: a whole message, end of file, or an error. The bytes
// belong to the reader and stay valid until its next read.
struct ReadOutcome {
  ReadStatus status = ReadStatus::kEndOfFile;
  const unsigned char* bytes = nullptr;
  std::size_t size = 0;
};

// Reads GRIB messages in file order from an open descriptor (a file, a pipe,
// a terminal) through a buffer of its own. It looks for the next message word
// itself and hands ecCodes' framing reader the bytes from there: what counts
// as a message, as end of file or as an error is ecCodes' decision. Memory:
// the input buffer, plus the largest message (for a damaged length, at most
// what arrives of it; on a regular file, nothing unless its end marker is
// where the length says).
class MessageReader {
 public:
  explicit MessageReader(int input, std::size_t buffer_bytes = kInputBufferBytes);
  MessageReader(const MessageReader&) = delete;
  MessageReader& operator=(const MessageReader&) = delete;

  // The next message. Given `room` at least as large as the message buffer,
  // ecCodes frames the message there (a writer's free space, so that the
  // bytes need no further copy); a message that does not fit, or a smaller
  // room, goes through the reader's own buffer. outcome.bytes says which.
  ReadOutcome next(std::span<unsigned char> room = {});

 private:
  // Moves the bytes from begin_ on to the buffer's start, grows it when they
  // fill it, and reads what the input gives after them. False at end of input
  // or on a read error (failed_).
  bool fill();
  // ecCodes' read callback: `size` bytes of the candidate from cursor_ on;
  // fewer at end of input, -1 on a read error.
  static long serve(void* reader, void* bytes, long size);
  long serve(unsigned char* bytes, std::size_t size);
  // True when bytes[0, size) lie within the frame ecCodes is filling.
  bool in_frame(const unsigned char* bytes, std::size_t size) const;
  // True when a regular input holds "7777" where a message of `length` bytes
  // that begins at begin_ must end.
  bool end_marker_at(std::size_t length) const;

  int input_;
  bool regular_;
  std::size_t capacity_;
  std::unique_ptr<unsigned char[]> buffer_;
  // buffer_[begin_, end_) is read and not yet consumed: from begin_ on the
  // bytes of the current candidate message, of which ecCodes has had those
  // before cursor_.
  std::size_t begin_ = 0;
  std::size_t cursor_ = 0;
  std::size_t end_ = 0;
  // The input's offset of buffer_[end_] (regular files).
  off_t end_offset_ = 0;
  bool at_end_ = false;
  bool failed_ = false;
  MessageBytes message_;
  std::size_t message_size_ = 0;
  // The frame of the framing under way; empty between framings.
  std::span<unsigned char> frame_;
};

}  // namespace common
