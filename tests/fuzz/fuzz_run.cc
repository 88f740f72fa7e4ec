// SPDX-License-Identifier: Apache-2.0
#include "tests/fuzz/fuzz_run.h"

#include <unistd.h>

#include <grib_api.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/args_console.h"
#include "common/c_owners.h"
#include "common/fatal.h"
#include "common/sandbox.h"

namespace {

// ecCodes 2.28 loses the buffer it reads a damaged message into when the
// message ends early (megabytes, as large as the length the header claims).
// A tool run once per process loses it once; the fuzzer runs thousands of
// inputs in one process, and the losses grew it past its memory limit. Every
// large block ecCodes allocates is noted, and those still held when a run has
// ended (its handles are all released by then) are the losses, and are freed.
constexpr std::size_t kNotedBlockBytes = std::size_t{1} << 20;
std::unordered_set<void*>& large_blocks() {
  static std::unordered_set<void*> blocks;
  return blocks;
}

void* noted_malloc(const grib_context*, std::size_t size) {
  void* block = std::malloc(size);
  if (block != nullptr && size >= kNotedBlockBytes) large_blocks().insert(block);
  return block;
}

void noted_free(const grib_context*, void* block) {
  large_blocks().erase(block);
  std::free(block);
}

void* noted_realloc(const grib_context*, void* block, std::size_t size) {
  void* moved = std::realloc(block, size);
  if (moved == nullptr && size != 0) return nullptr;
  large_blocks().erase(block);
  if (moved != nullptr && size >= kNotedBlockBytes) large_blocks().insert(moved);
  return moved;
}

void free_lost_blocks() {
  for (void* block : large_blocks()) std::free(block);
  large_blocks().clear();
}

struct FuzzFiles {
  std::string input;
  std::string output;
};

const FuzzFiles& fuzz_files() {
  static const FuzzFiles files = [] {
    // Console lines are not what is fuzzed; they go nowhere.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    // The runs share the fuzzer's process, which must go on writing its inputs
    // and findings: the tools' confinement stays off.
    if (::setenv(common::kNoSandboxVariable, "1", 1) != 0) std::abort();
    grib_context* context = grib_context_get_default();
    grib_context_set_memory_proc(context, noted_malloc, noted_free, noted_realloc);
    grib_context_set_buffer_memory_proc(context, noted_malloc, noted_free, noted_realloc);
    char directory[] = "/tmp/grib_fuzz_XXXXXX";
    if (::mkdtemp(directory) == nullptr) std::abort();
    return FuzzFiles{std::string(directory) + "/in.grb", std::string(directory) + "/out.grb"};
  }();
  return files;
}

}  // namespace

void fuzz_tool_run(const std::uint8_t* data, std::size_t size,
                   int (*run)(int argc, const char* const* argv),
                   std::initializer_list<const char*> further_arguments) {
  const FuzzFiles& files = fuzz_files();
  {
    const common::FilePtr input(std::fopen(files.input.c_str(), "w"));
    if (!input || std::fwrite(data, 1, size, input.get()) != size ||
        std::fflush(input.get()) != 0) {
      std::abort();
    }
  }
  std::vector<const char*> argv = {"tool", files.input.c_str(), files.output.c_str()};
  argv.insert(argv.end(), further_arguments);
  argv.push_back(nullptr);
  try {
    run(static_cast<int>(argv.size() - 1), argv.data());
  } catch (const common::FatalError&) {
  }
  free_lost_blocks();
}
