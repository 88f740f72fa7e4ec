// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <span>

#include "common/c_owners.h"

namespace common {

// The reader's buffer: what one read of the input takes at most, and what the
// reader keeps of a pipe at most while it looks for a message. Messages that
// fit in it are framed where they lie, so it is also what an output that
// writes them from there gathers into one write. Chosen by measurement
// (bench/): a smaller one moves more messages cut by its end, a larger one
// copies more of a long message's start and leaves the processor's cache.
constexpr std::size_t kInputBufferBytes = std::size_t{256} << 10;
// Smallest message buffer: ecCodes 2.28 copies a message's first bytes into
// the buffer before it compares the length the message claims with the
// buffer's size, so the buffer must always hold them, whatever the claim.
constexpr std::size_t kMinimumMessageBufferBytes = std::size_t{64} << 10;

enum class ReadStatus { kMessage, kEndOfFile, kError };

// One read of the input: a whole message, end of file, or an error. The bytes
// belong to the reader: see MessageReader for how long they stay valid.
struct ReadOutcome {
  ReadStatus status = ReadStatus::kEndOfFile;
  const unsigned char* bytes = nullptr;
  std::size_t size = 0;
};

// Reads GRIB messages in file order from an open descriptor (a file, a pipe,
// a terminal) through a buffer of its own. It looks for the next message word
// itself and hands ecCodes' framing reader the bytes from there: what counts
// as a message, as end of file or as an error is ecCodes' decision. A message
// that fits in the buffer is framed in place, with no copy; a longer one in a
// buffer of its own. Memory: the input buffer, plus the largest message
// longer than it (for a damaged length, at most what arrives of it; on a
// regular file, nothing unless its end marker is where the length says).
//
// The bytes of a message stay valid until the reader next moves or reuses
// them, which it does only within next() and only after calling the release
// function, if one is set: a caller that keeps the bytes of several messages
// (to write them together) is done with them when it returns.
class MessageReader {
 public:
  explicit MessageReader(int input, std::size_t buffer_bytes = kInputBufferBytes);
  MessageReader(const MessageReader&) = delete;
  MessageReader& operator=(const MessageReader&) = delete;

  // The next message. May call the release function first; what it throws
  // comes out of next().
  ReadOutcome next();
  // Called before the bytes of messages already returned are moved or reused.
  void set_release(std::function<void()> release) { release_ = std::move(release); }

 private:
  // Frames the candidate at begin_ in `frame`; ecCodes' error code, with
  // `length` as ecCodes sets it.
  int frame_message(unsigned char* frame, std::size_t frame_size, bool in_place,
                    std::size_t& length);
  // Calls the release function when bytes are lent: they may move after it.
  void take_back();
  // Moves the bytes from begin_ on to the buffer's start, then grows the
  // buffer when they fill it and reads what the input gives after them. False
  // at end of input or on a read error (failed_). Never while bytes are lent.
  bool fill();
  // Reads what the input gives into the buffer's free end, moving nothing.
  // False at end of input or on a read error (failed_).
  bool fill_end();
  // ecCodes' read callback: `size` bytes of the candidate from cursor_ on;
  // fewer at end of input, -1 on a read error or when a framing in place
  // runs out of buffer (needs_room_).
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
  // before cursor_. Messages returned from the buffer lie before begin_.
  std::size_t begin_ = 0;
  std::size_t cursor_ = 0;
  std::size_t end_ = 0;
  // The input's offset of buffer_[end_] (regular files).
  off_t end_offset_ = 0;
  bool at_end_ = false;
  bool failed_ = false;
  // For messages longer than the buffer.
  MessageBytes message_;
  std::size_t message_size_ = 0;
  // The frame of the framing under way; empty between framings. In place, it
  // is the buffer from begin_ on, and serve() never moves a byte.
  std::span<unsigned char> frame_;
  bool in_place_ = false;
  // Set by serve() when a framing in place needs more bytes than the buffer's
  // end can take: they are made room for and the framing starts again.
  bool needs_room_ = false;
  // True while bytes of a returned message may still be in use.
  bool lent_ = false;
  std::function<void()> release_;
};

}  // namespace common
