// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

namespace common {

// Every argument is held as a field of exactly this many bytes.
constexpr std::size_t kArgumentFieldBytes = 200;

// Exit statuses: the tool did its work (or was asked for help); a run failed
// (unopened or unreadable input, a fatal GRIB or file failure, a console line
// that could not be written); the command line was not usable.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The one fatal path: thrown where an operation fails, caught only by run_tool.
class FatalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

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

// Writes "<tool>: <text>" and a newline to standard error: the reason behind a
// console line, or a fatal report.
void write_stderr_report(std::string_view text);

// "1 message", "3 messages": `noun` in the number `count` asks for.
std::string counted(std::int64_t count, std::string_view noun);

// The argument checks both tools make before opening anything. Returns the exit
// status when the run must end here (after printing the usage lines or the
// over-long name line), or nothing when the tool goes on. The help word wins;
// then an empty file name or `other_arguments_usable` false gives the usage lines.
std::optional<int> refuse_arguments(const ArgumentField& filein, const ArgumentField& fileout,
                                    bool other_arguments_usable,
                                    std::initializer_list<std::string_view> usage_texts);

// "<tool> <version> (ecCodes <major>.<minor>.<patch>)" and a newline, from
// ecCodes' version number as codes_get_api_version gives it (22800 for 2.28.0).
constexpr std::size_t kVersionLineBytes = 96;
std::string version_line(std::string_view tool_name, std::string_view tool_version,
                         long eccodes_version);

// Runs a tool's run function, turning a FatalError into "<tool>: <message>" on
// standard error and kExitFailure; stdout is flushed and checked at the end.
// A first argument of "--version" prints the version line instead.
int run_tool(const char* tool_name, int argc, const char* const* argv,
             int (*run)(int argc, const char* const* argv));

}  // namespace common
