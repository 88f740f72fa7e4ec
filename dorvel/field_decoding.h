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

// A message loaded into ecCodes: a copy of its bytes followed by the margin,
// and a handle on them.
struct LoadedMessage {
  common::MessageBytes bytes;
  common::GribHandle handle;
};

// Loads message `ordinal` of `filein` as read; the read failure of that message
// (FatalError) when ecCodes cannot load it.
LoadedMessage load_message(const common::ReadOutcome& message, const common::ArgumentField& filein,
                           std::int64_t ordinal);

// Frees a handle, checking the outcome.
void release(common::GribHandle handle);

}  // namespace dorvel
