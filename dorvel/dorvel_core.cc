// SPDX-License-Identifier: Apache-2.0
#include "dorvel/dorvel_core.h"

#include <cmath>
#include <cstdio>

namespace dorvel {
namespace {

constexpr int kDateColumns = 8;
constexpr int kTimeDigits = 4;
constexpr int kCountColumns = 5;
constexpr int kMeanColumns = 7;
constexpr int kMeanDecimals = 3;
// Enough for any 32-bit integer, any %.3f of a float below 1e39, and the terminator.
constexpr std::size_t kNumberBufferBytes = 64;

// Right-aligned in `columns`, or all asterisks when it does not fit.
std::string fit_or_asterisks(const char* formatted, int columns) {
  const std::string text(formatted);
  const auto width = static_cast<std::size_t>(columns);
  if (text.size() > width) return std::string(width, '*');
  return std::string(width - text.size(), ' ') + text;
}

std::string format_integer(std::int32_t value, int columns) {
  char digits[kNumberBufferBytes];
  std::snprintf(digits, sizeof digits, "%d", value);
  return fit_or_asterisks(digits, columns);
}

// Four compulsory digits: a negative time or one above 9999 cannot be shown.
std::string format_time(std::int32_t value) {
  if (value < 0) return std::string(kTimeDigits, '*');
  char digits[kNumberBufferBytes];
  std::snprintf(digits, sizeof digits, "%0*d", kTimeDigits, value);
  return fit_or_asterisks(digits, kTimeDigits);
}

}  // namespace

FieldStack::FieldStack() : values_(static_cast<std::size_t>(kFieldsRead) * kGridPoints) {}

std::span<float> FieldStack::column(int ordinal) {
  return std::span<float>(values_).subspan(static_cast<std::size_t>(ordinal - 1) * kGridPoints,
                                           kGridPoints);
}

std::span<const float> FieldStack::column(int ordinal) const {
  return std::span<const float>(values_).subspan(
      static_cast<std::size_t>(ordinal - 1) * kGridPoints, kGridPoints);
}

void compute_residual(const FieldStack& fields, std::span<float> residual) {
  const std::span<const float> total = fields.column(kFieldsRead);
  for (std::size_t point = 0; point < kGridPoints; ++point) {
    float sum = 0.0f;
    for (int ordinal = 1; ordinal < kFieldsRead; ++ordinal) sum += fields.column(ordinal)[point];
    residual[point] = total[point] - sum;
  }
}

std::int32_t count_negative(std::span<const float> residual) {
  std::int32_t count = 0;
  for (const float value : residual) {
    if (value < kNegativeThreshold) ++count;
  }
  return count;
}

float mean_of(std::span<const float> residual) {
  float sum = +0.0f;
  for (const float value : residual) sum += value;
  return sum / kMeanDivisor;
}

std::string format_mean(float mean) {
  if (std::isnan(mean)) return fit_or_asterisks("NaN", kMeanColumns);
  if (std::isinf(mean)) return fit_or_asterisks(mean < 0.0f ? "-Inf" : "Inf", kMeanColumns);
  char digits[kNumberBufferBytes];
  std::snprintf(digits, sizeof digits, "%.*f", kMeanDecimals, static_cast<double>(mean));
  return fit_or_asterisks(digits, kMeanColumns);
}

std::string summary_line(std::int32_t data_date, std::int32_t data_time,
                         std::int32_t negative_count, float mean) {
  return format_integer(data_date, kDateColumns) + " " + format_time(data_time) + " neg " +
         format_integer(negative_count, kCountColumns) + " ave " + format_mean(mean) + "\n";
}

}  // namespace dorvel
