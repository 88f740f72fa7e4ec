// SPDX-License-Identifier: Apache-2.0
#include "common/args_console.h"

#include <eccodes.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <utility>

namespace common {
namespace {

constexpr char kBlank = ' ';
// Integers are right-aligned in this many columns; every 32-bit value fits.
constexpr int kIntegerColumns = 11;
// Room for an 11-column integer, or a wider 64-bit one, and its terminator.
constexpr std::size_t kIntegerBufferBytes = 24;

std::size_t trimmed_size(std::string_view bytes) {
  const std::size_t last = bytes.find_last_not_of(kBlank);
  return last == std::string_view::npos ? 0 : last + 1;
}

}  // namespace

ArgumentField ArgumentField::fetch(int argc, const char* const* argv, int number) {
  if (number < 1 || number >= argc || argv[number] == nullptr) return ArgumentField("");
  return ArgumentField(argv[number]);
}

ArgumentField::ArgumentField(std::string_view argument)
    : field_(argument.substr(0, kArgumentFieldBytes)),
      name_too_long_(trimmed_size(argument) > kArgumentFieldBytes) {
  field_.resize(kArgumentFieldBytes, kBlank);
}

std::size_t ArgumentField::trimmed_length() const { return trimmed_size(field_); }

std::string_view ArgumentField::text() const {
  return std::string_view(field_).substr(0, trimmed_length());
}

bool padded_equal(std::string_view left, std::string_view right) {
  const std::string_view shorter = left.size() <= right.size() ? left : right;
  const std::string_view longer = left.size() <= right.size() ? right : left;
  if (longer.substr(0, shorter.size()) != shorter) return false;
  return longer.find_first_not_of(kBlank, shorter.size()) == std::string_view::npos;
}

bool is_help_word(const ArgumentField& argument) {
  return padded_equal(argument.field(), "-h") || padded_equal(argument.field(), "--help");
}

std::string console_line(std::initializer_list<ConsoleItem> items) {
  std::string line(1, kBlank);
  bool previous_is_text = false;
  bool first = true;
  for (const ConsoleItem& item : items) {
    const bool is_text = std::holds_alternative<std::string_view>(item);
    if (!first && !(is_text && previous_is_text)) line += kBlank;
    if (is_text) {
      line += std::get<std::string_view>(item);
    } else {
      char digits[kIntegerBufferBytes];
      std::snprintf(digits, sizeof digits, "%*lld", kIntegerColumns,
                    static_cast<long long>(std::get<std::int64_t>(item)));
      line += digits;
    }
    previous_is_text = is_text;
    first = false;
  }
  line += '\n';
  return line;
}

void write_stdout(std::string_view line) {
  errno = 0;
  const std::size_t written = std::fwrite(line.data(), 1, line.size(), stdout);
  if (written != line.size() || std::fflush(stdout) != 0) {
    const int error = errno;
    std::clearerr(stdout);
    throw FatalError(std::string("writing to standard output: ") +
                     (error != 0 ? std::strerror(error) : "short write"));
  }
}

bool usage_requested(const ArgumentField& filein, const ArgumentField& fileout,
                     bool other_arguments_usable,
                     std::initializer_list<std::string_view> usage_texts) {
  std::string usage;
  for (const std::string_view text : usage_texts) usage += console_line({text});
  if (is_help_word(filein)) {
    write_stdout(usage);
    return true;
  }
  if (filein.trimmed_length() == 0 || fileout.trimmed_length() == 0 || !other_arguments_usable) {
    throw FatalError(usage, kExitUsage);
  }
  // A cut name could create or overwrite some other file: never open it.
  for (const auto& [argument, name] :
       {std::pair{&filein, "filein"}, std::pair{&fileout, "fileout"}}) {
    if (argument->name_too_long()) {
      throw FatalError(console_line({"Nome di file troppo lungo (oltre 200 caratteri): ", name}),
                       kExitUsage);
    }
  }
  return false;
}

std::string counted(std::int64_t count, std::string_view noun) {
  return std::to_string(count) + " " + std::string(noun) + (count == 1 ? "" : "s");
}

std::string version_line(std::string_view tool_name, std::string_view tool_version,
                         long eccodes_version) {
  char line[kVersionLineBytes];
  std::snprintf(line, sizeof line, " %.*s (ecCodes %ld.%ld.%ld)\n",
                static_cast<int>(tool_version.size()), tool_version.data(), eccodes_version / 10000,
                eccodes_version / 100 % 100, eccodes_version % 100);
  return std::string(tool_name) + line;
}

}  // namespace common
