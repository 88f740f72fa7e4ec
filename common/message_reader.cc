// SPDX-License-Identifier: Apache-2.0
#include "common/message_reader.h"

#include <grib_api.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "common/message_scan.h"

namespace common {
namespace {

// The end marker of every GRIB message.
constexpr unsigned char kEndMarker[] = {'7', '7', '7', '7'};

// A rest of a message at least this long goes from the input straight into
// the frame. Only the frame: whatever ecCodes reads into its own memory
// before it knows a message's length (a large GRIB 1 message's sections, a
// bitmap of megabytes among them) must stay in the input buffer, since a
// frame found too small is framed again from the candidate's start.
constexpr std::size_t kDirectReadBytes = std::size_t{64} << 10;

// read(2), again when a signal interrupts it.
ssize_t read_some(int input, unsigned char* bytes, std::size_t size) {
  for (;;) {
    const ssize_t got = ::read(input, bytes, size);
    if (got >= 0 || errno != EINTR) return got;
  }
}

// The large page of x86-64 and of arm64 with 4 KiB pages; elsewhere only an
// alignment.
constexpr std::size_t kLargePageBytes = std::size_t{2} << 20;

// A message buffer of megabytes, filled by one read. It is asked for in large
// pages: a fault for each page of 4 KiB cost more than the copy itself
// (measured in a virtual machine, where each fault traps into the host). Where
// the kernel gives no large pages on request, nothing changes. Null when the
// size cannot be had.
MessageBytes large_message_bytes(std::size_t size) {
  if (size > std::numeric_limits<std::size_t>::max() - kLargePageBytes) return nullptr;
  const std::size_t rounded = (size + kLargePageBytes - 1) / kLargePageBytes * kLargePageBytes;
  MessageBytes bytes(static_cast<unsigned char*>(std::aligned_alloc(kLargePageBytes, rounded)));
  if (bytes) ::madvise(bytes.get(), rounded, MADV_HUGEPAGE);
  return bytes;
}

}  // namespace

MessageReader::MessageReader(int input, std::size_t buffer_bytes)
    : input_(input),
      capacity_(std::max<std::size_t>(buffer_bytes, 1)),
      buffer_(new unsigned char[capacity_]),
      message_(static_cast<unsigned char*>(std::malloc(kMinimumMessageBufferBytes))),
      message_size_(kMinimumMessageBufferBytes) {
  if (!message_) throw std::bad_alloc();
  struct stat status {};
  end_offset_ = ::lseek(input_, 0, SEEK_CUR);
  regular_ = ::fstat(input_, &status) == 0 && S_ISREG(status.st_mode) && end_offset_ >= 0;
}

void MessageReader::take_back() {
  if (!lent_) return;
  lent_ = false;
  if (release_) release_();
}

bool MessageReader::fill() {
  if (begin_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    cursor_ -= begin_;
    end_ -= begin_;
    begin_ = 0;
  }
  if (failed_ || at_end_) return false;
  if (end_ == capacity_) {
    // Only a candidate's header can fill a small buffer: it grows for it.
    std::unique_ptr<unsigned char[]> grown(new unsigned char[2 * capacity_]);
    std::memcpy(grown.get(), buffer_.get(), end_);
    buffer_ = std::move(grown);
    capacity_ *= 2;
  }
  return fill_end();
}

bool MessageReader::fill_end() {
  if (failed_ || at_end_) return false;
  const ssize_t got = read_some(input_, buffer_.get() + end_, capacity_ - end_);
  if (got < 0) {
    failed_ = true;
    return false;
  }
  if (got == 0) {
    at_end_ = true;
    return false;
  }
  end_ += static_cast<std::size_t>(got);
  end_offset_ += got;
  return true;
}

long MessageReader::serve(void* reader, void* bytes, long size) {
  if (size < 0) return -1;
  return static_cast<MessageReader*>(reader)->serve(static_cast<unsigned char*>(bytes),
                                                    static_cast<std::size_t>(size));
}

long MessageReader::serve(unsigned char* bytes, std::size_t size) {
  std::size_t served = 0;
  while (served < size) {
    if (cursor_ < end_) {
      const std::size_t count = std::min(end_ - cursor_, size - served);
      // In place, ecCodes asks for the bytes where they already lie.
      if (bytes + served != buffer_.get() + cursor_) {
        std::memmove(bytes + served, buffer_.get() + cursor_, count);
      }
      cursor_ += count;
      served += count;
    } else if (in_place_) {
      if (end_ == capacity_) {
        needs_room_ = true;
        return -1;
      }
      if (!fill_end()) break;
    } else if (size - served >= std::max(kDirectReadBytes, capacity_) && in_frame(bytes, size)) {
      if (failed_ || at_end_) break;
      const ssize_t got = read_some(input_, bytes + served, size - served);
      if (got < 0) failed_ = true;
      if (got == 0) at_end_ = true;
      if (got <= 0) break;
      served += static_cast<std::size_t>(got);
      end_offset_ += got;
    } else if (!fill()) {
      break;
    }
  }
  if (failed_) return -1;
  return static_cast<long>(served);
}

bool MessageReader::in_frame(const unsigned char* bytes, std::size_t size) const {
  // Compared as addresses: `bytes` may belong to another allocation.
  const auto start = reinterpret_cast<std::uintptr_t>(frame_.data());
  const auto at = reinterpret_cast<std::uintptr_t>(bytes);
  return at >= start && at - start <= frame_.size() && size <= frame_.size() - (at - start);
}

bool MessageReader::end_marker_at(std::size_t length) const {
  struct stat status {};
  if (::fstat(input_, &status) != 0) return true;  // let ecCodes find out
  const off_t start = end_offset_ - static_cast<off_t>(end_ - begin_);
  if (status.st_size < start || length < sizeof kEndMarker ||
      length > static_cast<std::size_t>(status.st_size - start)) {
    return false;
  }
  unsigned char marker[sizeof kEndMarker];
  const off_t marker_offset = start + static_cast<off_t>(length - sizeof kEndMarker);
  return ::pread(input_, marker, sizeof marker, marker_offset) == sizeof marker &&
         std::memcmp(marker, kEndMarker, sizeof marker) == 0;
}

int MessageReader::frame_message(unsigned char* frame, std::size_t frame_size, bool in_place,
                                 std::size_t& length) {
  cursor_ = begin_;
  frame_ = {frame, frame_size};
  in_place_ = in_place;
  needs_room_ = false;
  length = frame_size;
  const int error = wmo_read_any_from_stream(this, &MessageReader::serve, frame, &length);
  frame_ = {};
  in_place_ = false;
  return error;
}

ReadOutcome MessageReader::next() {
  ReadOutcome outcome;
  outcome.status = ReadStatus::kError;
  begin_ = cursor_;
  for (;;) {
    const WordScan scan = find_message_word({buffer_.get() + begin_, end_ - begin_});
    begin_ += scan.at;
    cursor_ = begin_;
    if (scan.whole) break;
    // What is left cannot begin a message unless more bytes come.
    take_back();
    if (!fill()) {
      if (!failed_) outcome.status = ReadStatus::kEndOfFile;
      return outcome;
    }
  }
  while (end_ - begin_ < kHeaderBytes) {
    take_back();
    if (!fill()) break;
  }
  if (end_ - begin_ >= kHeaderBytes &&
      overruns_eccodes(
          std::span<const unsigned char, kHeaderBytes>(buffer_.get() + begin_, kHeaderBytes))) {
    return outcome;
  }
  const bool grib = starts_with_grib({buffer_.get() + begin_, kWordBytes});
  // In place while the message fits in the buffer; once it is known not to,
  // in the message buffer, which grows with the longest message so far.
  bool in_place = true;
  for (;;) {
    if (!in_place) take_back();
    unsigned char* const frame = in_place ? buffer_.get() + begin_ : message_.get();
    const std::size_t frame_size = in_place ? capacity_ - begin_ : message_size_;
    std::size_t length = 0;
    const int error = frame_message(frame, frame_size, in_place, length);
    if (error == CODES_SUCCESS) {
      begin_ = cursor_;
      lent_ = true;
      outcome.status = ReadStatus::kMessage;
      outcome.bytes = frame;
      outcome.size = length;
      return outcome;
    }
    if (needs_room_ || (error == CODES_BUFFER_TOO_SMALL && in_place && length <= capacity_)) {
      // The candidate moves to the buffer's start, where it fits or has all
      // the room the buffer has.
      if (begin_ > 0) {
        take_back();
        fill();
        continue;
      }
      if (needs_room_) {
        in_place = false;
        continue;
      }
    }
    if (error == CODES_END_OF_FILE) outcome.status = ReadStatus::kEndOfFile;
    if (error != CODES_BUFFER_TOO_SMALL || length <= frame_size) return outcome;
    in_place = false;
    if (length <= message_size_) continue;
    // A message longer than the buffer: read it again into one that fits,
    // unless a regular file shows the length false. The pages stay
    // untouched until bytes arrive, so a length that a pipe belies costs only
    // what arrives (to the next large page).
    if (regular_ && grib && !end_marker_at(length)) return outcome;
    take_back();
    const std::size_t grown = std::max(length, 2 * message_size_);
    MessageBytes larger = large_message_bytes(grown);
    if (!larger) return outcome;
    message_ = std::move(larger);
    message_size_ = grown;
  }
}

}  // namespace common
