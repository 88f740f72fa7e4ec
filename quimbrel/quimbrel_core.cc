// SPDX-License-Identifier: Apache-2.0
#include "quimbrel/quimbrel_core.h"

#include <algorithm>
#include <limits>
#include <string>

namespace quimbrel {
namespace {

// White space as C's isspace in the C locale; the locale never changes it.
bool is_white_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<std::int32_t> read_nskip(const common::ArgumentField& field) {
  // Cut to its field, it would be read as another number.
  if (field.name_too_long()) return std::nullopt;
  const std::string& bytes = field.field();
  std::size_t at = 0;
  while (at < bytes.size() && is_white_space(bytes[at])) ++at;
  bool negative = false;
  if (at < bytes.size() && (bytes[at] == '+' || bytes[at] == '-')) {
    negative = bytes[at] == '-';
    ++at;
  }
  if (at == bytes.size() || !is_digit(bytes[at])) return std::nullopt;
  // The magnitude saturates just past the 32-bit range, however many digits follow.
  constexpr std::int64_t kPastRange = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 2;
  std::int64_t magnitude = 0;
  while (at < bytes.size() && is_digit(bytes[at])) {
    magnitude = std::min(magnitude * 10 + (bytes[at] - '0'), kPastRange);
    ++at;
  }
  if (at < bytes.size() && !is_white_space(bytes[at]) && bytes[at] != ',' && bytes[at] != '/') {
    return std::nullopt;
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

Selection select_message(std::int32_t nskip, std::int64_t ordinal) {
  if (nskip > 0) return ordinal <= nskip ? Selection::kSkip : Selection::kWrite;
  if (nskip == 0) return Selection::kSkip;
  // Negated in 64 bits: -2147483648 keeps the first 2147483648 messages.
  return ordinal <= -std::int64_t{nskip} ? Selection::kWrite : Selection::kStop;
}

}  // namespace quimbrel
