// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/args_console.h"
#include "common/c_owners.h"
#include "common/message_reader.h"

namespace dorvel {

// Zeroed bytes that follow a message loaded for decoding. ecCodes 2.28 decodes
// as many values as a message claims even when its data section is shorter,
// reading past the message's end. It refuses more than 64 bits per value, so
// 30589 values reach at most 239 KiB past the data's start: such a read stays
// in memory of ours and finds zeros.
constexpr std::size_t kDecodeMarginBytes = std::size_t{256} << 10;

// Where the messages are loaded into ecCodes, one after another: each is
// released before the next is loaded, and the last stays loaded while the
// buffer lives. A message is copied to its start, the margin after it holds
// zeros; the buffer grows with the longest message. Zeroing only what the
// last message covered, and not a fresh margin for each, spares a run twelve
// allocations and megabytes of zeroing.
class DecodeBuffer {
 public:
  DecodeBuffer() = default;
  DecodeBuffer(const DecodeBuffer&) = delete;
  DecodeBuffer& operator=(const DecodeBuffer&) = delete;

  // Holds `message` (no handle may still refer to what it held before);
  // returns where its bytes now lie.
  const unsigned char* hold(const common::ReadOutcome& message);

 private:
  common::MessageBytes bytes_;
  std::size_t capacity_ = 0;
  // Bytes from here on are zero.
  std::size_t zero_from_ = 0;
};

// Loads message `ordinal` of `filein` as read into `buffer`; the read failure
// of that message (FatalError) when ecCodes cannot load it.
common::GribHandle load_message(DecodeBuffer& buffer, const common::ReadOutcome& message,
                                const common::ArgumentField& filein, std::int64_t ordinal);

// Frees a handle, checking the outcome.
void release(common::GribHandle handle);

}  // namespace dorvel
