// SPDX-License-Identifier: Apache-2.0
#include <cstddef>
#include <cstdint>

#include "dorvel/dorvel_run.h"
#include "tests/fuzz/fuzz_run.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_tool_run(data, size, dorvel::run, {});
  return 0;
}
