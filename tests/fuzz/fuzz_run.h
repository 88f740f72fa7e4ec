// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

// Runs a tool's run function in process on `data` written to an input file;
// the remaining arguments follow filein and fileout. Fatal failures are an
// expected outcome; anything else escaping is a fault for the fuzzer to report.
void fuzz_tool_run(const std::uint8_t* data, std::size_t size,
                   int (*run)(int argc, const char* const* argv),
                   std::initializer_list<const char*> further_arguments);
