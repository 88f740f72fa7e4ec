// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>

#include "common/args_console.h"

namespace quimbrel {

// NSKIP from its argument field: an optionally signed decimal integer after any
// leading white space, ending at white space, a comma, a slash or the end of
// the field, within the signed 32-bit range. Nothing when it is not one.
std::optional<std::int32_t> read_nskip(const common::ArgumentField& field);

enum class Selection { kSkip, kWrite, kStop };

// What happens to message `ordinal`: NSKIP > 0 skips the first NSKIP,
// NSKIP < 0 writes the first -NSKIP and stops at the next, 0 skips all.
Selection select_message(std::int32_t nskip, std::int64_t ordinal);

}  // namespace quimbrel
