// SPDX-License-Identifier: Apache-2.0
#include <cstddef>
#include <cstdint>

#include "quimbrel/quimbrel_run.h"
#include "tests/fuzz/fuzz_run.h"

// Both ways of selecting: skipping (every message read) and keeping the first
// few (stopping early).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_tool_run(data, size, quimbrel::run, {"1"});
  fuzz_tool_run(data, size, quimbrel::run, {"-3"});
  return 0;
}
