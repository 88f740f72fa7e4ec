// SPDX-License-Identifier: Apache-2.0
#include "tests/fuzz/fuzz_run.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/args_console.h"
#include "common/c_owners.h"
#include "common/fatal.h"
#include "common/sandbox.h"

namespace {

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
}
