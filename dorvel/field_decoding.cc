// SPDX-License-Identifier: Apache-2.0
#include "dorvel/field_decoding.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "common/fatal.h"
#include "common/run_files.h"
#include "common/sandbox.h"

namespace dorvel {

const unsigned char* DecodeBuffer::hold(const common::ReadOutcome& message) {
  if (message.size + kDecodeMarginBytes > capacity_) {
    // Fresh zeroed memory (calloc takes it from the system untouched).
    const std::size_t grown = message.size + kDecodeMarginBytes;
    bytes_.reset(static_cast<unsigned char*>(std::calloc(grown, 1)));
    if (!bytes_) throw std::bad_alloc();
    capacity_ = grown;
    zero_from_ = 0;
  }
  std::memcpy(bytes_.get(), message.bytes, message.size);
  // What a longer message before left beyond this one's end.
  if (zero_from_ > message.size) std::memset(bytes_.get() + message.size, 0, zero_from_ - message.size);
  zero_from_ = message.size;
  return bytes_.get();
}

common::GribHandle load_message(DecodeBuffer& buffer, const common::ReadOutcome& message,
                                const common::ArgumentField& filein, std::int64_t ordinal) {
  const unsigned char* bytes = buffer.hold(message);
  common::GribHandle handle(codes_handle_new_from_message(nullptr, bytes, message.size));
  if (!handle) throw common::read_failure(filein, ordinal, common::sandbox_refusal_note());
  return handle;
}

void release(common::GribHandle handle) {
  common::check(codes_handle_delete(handle.release()), "releasing a message handle");
}

}  // namespace dorvel
