// SPDX-License-Identifier: Apache-2.0
#include "dorvel/field_decoding.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "common/fatal.h"
#include "common/run_files.h"
#include "common/sandbox.h"

namespace dorvel {

LoadedMessage load_message(const common::ReadOutcome& message, const common::ArgumentField& filein,
                           std::int64_t ordinal) {
  LoadedMessage loaded;
  loaded.bytes.reset(
      static_cast<unsigned char*>(std::calloc(message.size + kDecodeMarginBytes, 1)));
  if (!loaded.bytes) throw std::bad_alloc();
  std::memcpy(loaded.bytes.get(), message.bytes, message.size);
  loaded.handle.reset(codes_handle_new_from_message(nullptr, loaded.bytes.get(), message.size));
  if (!loaded.handle) throw common::read_failure(filein, ordinal, common::sandbox_refusal_note());
  return loaded;
}

void release(common::GribHandle handle) {
  common::check(codes_handle_delete(handle.release()), "releasing a message handle");
}

}  // namespace dorvel
