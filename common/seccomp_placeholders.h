// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

namespace common {

// Values that the build-time seccomp program compares arguments with, put in
// place of what only the run knows: its output descriptor and its process id.
// Above any descriptor or process id, and not a system call number.
constexpr std::uint32_t kOutputPlaceholder = 0x7EC0FD01U;
constexpr std::uint32_t kProcessPlaceholder = 0x7EC0B1D5U;

}  // namespace common
