// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

#include "common/fatal.h"

namespace common {

// Every argument is held as a field of exactly this many bytes.
constexpr std::size_t kArgumentFieldBytes = 200;

// One command-line argument, cut or blank-padded to kArgumentFieldBytes.
class ArgumentField {
 public:
  // Argument `number` counted from 1 after the program name; blanks when absent.
  static ArgumentField fetch(int argc, const char* const* argv, int number);
  explicit ArgumentField(std::string_view argument);

  const std::string& field() const { return field_; }
  std::size_t trimmed_length() const;
  // The first trimmed_length() bytes: what console lines show and files are named by.
  std::string_view text() const;
  // True when the argument, without its trailing blanks, did not fit the field,
  // so its text is not the name the operator gave.
  bool name_too_long() const { return name_too_long_; }

 private:
  std::string field_;
  bool name_too_long_ = false;
};

// Equal after padding the shorter with blanks to the length of the longer.
bool padded_equal(std::string_view left, std::string_view right);

// "-h" or "--help" under padded comparison.
bool is_help_word(const ArgumentField& argument);

// A console line item: a text taken as it is, or an integer in 11 columns.
using ConsoleItem = std::variant<std::string_view, std::int64_t>;

// The console line layout: one leading blank, a blank before every item except
// between two texts, integers right-aligned in 11 columns, a final newline.
std::string console_line(std::initializer_list<ConsoleItem> items);

// Writes one complete line to standard output and flushes it; FatalError on failure.
void write_stdout(std::string_view line);

// "1 message", "3 messages": `noun` in the number `count` asks for.
std::string counted(std::int64_t count, std::string_view noun);

// The argument checks both tools make before opening anything. True when the
// help word asked for the usage lines, which are then printed: the run ends
// with success. FatalError (kExitUsage) with the usage lines for an empty file
// name or `other_arguments_usable` false, with the over-long name line for a
// file name over kArgumentFieldBytes.
bool usage_requested(const ArgumentField& filein, const ArgumentField& fileout,
                     bool other_arguments_usable,
                     std::initializer_list<std::string_view> usage_texts);

// "<tool> <version> (ecCodes <major>.<minor>.<patch>)" and a newline, from
// ecCodes' version number as codes_get_api_version gives it (22800 for 2.28.0).
constexpr std::size_t kVersionLineBytes = 96;
std::string version_line(std::string_view tool_name, std::string_view tool_version,
                         long eccodes_version);

}  // namespace common
