// SPDX-License-Identifier: Apache-2.0
#include "common/fatal.h"

#include <eccodes.h>

#include <utility>

#include "common/sandbox.h"

namespace common {
namespace {

// The input and the message being handled, for fatal reports from inside
// ecCodes; an empty name and 0 when none.
std::string current_input;
std::int64_t current_ordinal = 0;

// A confined run says when a refusal may lie behind ecCodes' failure.
std::string with_sandbox_note(std::string report) {
  const std::string note = sandbox_refusal_note();
  return note.empty() ? report : report + " (" + note + ")";
}

[[noreturn]] void throw_eccodes_assertion(const char* message) {
  throw FatalError(with_sandbox_note(message_context(current_ordinal) + message));
}

}  // namespace

FatalError::FatalError(const std::string& report) : std::runtime_error(report) {}

FatalError::FatalError(std::string console_lines, int status, const std::string& report)
    : std::runtime_error(report), console_lines_(std::move(console_lines)), status_(status) {}

void check(int status, std::string_view what) {
  if (status == CODES_SUCCESS) return;
  throw FatalError(with_sandbox_note(message_context(current_ordinal) + std::string(what) + ": " +
                                     codes_get_error_message(status)));
}

void route_eccodes_assertions() { codes_set_codes_assertion_failed_proc(&throw_eccodes_assertion); }

void set_current_input(std::string_view name) { current_input = name; }

void set_current_message(std::int64_t ordinal) { current_ordinal = ordinal; }

std::string message_context(std::int64_t ordinal) {
  if (ordinal <= 0) return "";
  return (current_input.empty() ? "" : current_input + ": ") + "message " +
         std::to_string(ordinal) + ": ";
}

}  // namespace common
