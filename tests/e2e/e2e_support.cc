// SPDX-License-Identifier: Apache-2.0
#include "tests/e2e/e2e_support.h"

#include <eccodes.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "common/c_owners.h"
#include "tests/fixtures/test_gribs.h"

namespace e2e {

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  path_ = fs::temp_directory_path() /
          ("gribtools_e2e_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
  fs::remove_all(path_);
  fs::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

std::string quoted(const std::string& argument) {
  std::string result = "'";
  for (const char c : argument) {
    if (c == '\'') {
      result += "'\\''";
    } else {
      result += c;
    }
  }
  return result + "'";
}

RunResult run_shell(const fs::path& directory, const std::string& command) {
  const std::string out_path = (directory / ".stdout").string();
  const std::string err_path = (directory / ".stderr").string();
  const std::string line = "cd " + quoted(directory.string()) + " && { " + command + " ; } > " +
                           quoted(out_path) + " 2> " + quoted(err_path);
  const int raw = std::system(line.c_str());
  RunResult result;
  if (WIFEXITED(raw)) result.status = WEXITSTATUS(raw);
  result.out = test_gribs::read_file(out_path);
  result.err = test_gribs::read_file(err_path);
  fs::remove(out_path);
  fs::remove(err_path);
  return result;
}

std::string fixture(const std::string& name) { return std::string(TEST_GRIBS_DIR) + "/" + name; }

std::vector<std::string> grib_messages(const std::string& path) {
  std::vector<std::string> messages;
  const common::FilePtr file(std::fopen(path.c_str(), "r"));
  if (!file) throw std::runtime_error("cannot open " + path);
  for (;;) {
    int error = 0;
    const common::GribHandle handle(
        codes_handle_new_from_file(nullptr, file.get(), PRODUCT_GRIB, &error));
    if (!handle) break;
    const void* message = nullptr;
    std::size_t size = 0;
    codes_get_message(handle.get(), &message, &size);
    messages.emplace_back(static_cast<const char*>(message), size);
  }
  return messages;
}

bool exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

}  // namespace e2e
