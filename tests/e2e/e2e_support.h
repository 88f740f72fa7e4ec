// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace e2e {

namespace fs = std::filesystem;

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// A fresh directory per test, removed afterwards.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

// Single-quotes `argument` for the shell.
std::string quoted(const std::string& argument);

// Runs `command` with /bin/sh inside `directory`, capturing stdout and stderr.
RunResult run_shell(const fs::path& directory, const std::string& command);

// Path of a generated fixture file.
std::string fixture(const std::string& name);

// The messages of a GRIB file, as ecCodes reads them one handle at a time.
std::vector<std::string> grib_messages(const std::string& path);

bool exists(const std::string& path);

}  // namespace e2e
