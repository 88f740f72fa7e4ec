// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <bit>
#include <cfloat>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

namespace dorvel {

static_assert(std::numeric_limits<float>::is_iec559, "IEEE 754 single precision is required");
static_assert(FLT_EVAL_METHOD == 0, "float arithmetic must not be carried out in wider precision");

// Every field has this many points, on one grid.
constexpr int kGridPoints = 30589;
// Messages read from the input; the residual uses all of them.
constexpr int kFieldsRead = 12;
// A residual strictly below this counts as negative.
constexpr float kNegativeThreshold = -0.001f;
#ifdef __cpp_lib_bit_cast
static_assert(std::bit_cast<std::uint32_t>(kNegativeThreshold) == 0xBA83126Fu);
#endif
// The mean is divided by the fixed point count, not by the valid points.
constexpr float kMeanDivisor = 30589.0f;
// Value given to the key P2 of the output message.
constexpr long kP2Value = 1;

// Twelve columns of kGridPoints values, column n holding message n's values.
class FieldStack {
 public:
  FieldStack();
  std::span<float> column(int ordinal);
  std::span<const float> column(int ordinal) const;

 private:
  std::vector<float> values_;
};

// Field 12 minus the sum of fields 1..11, summed in that order, per point.
void compute_residual(const FieldStack& fields, std::span<float> residual);

// Points strictly below kNegativeThreshold; NaN is not counted.
std::int32_t count_negative(std::span<const float> residual);

// Sum from +0.0 in point order, divided by kMeanDivisor.
float mean_of(std::span<const float> residual);

// The summary line, newline included:
// "%8d dataDate, blank, %04d dataTime, ' neg ', %5d count, ' ave ', %7.3f mean".
std::string summary_line(std::int32_t data_date, std::int32_t data_time,
                         std::int32_t negative_count, float mean);

// The 7-column mean field: asterisks on overflow, NaN/Inf/-Inf right-aligned.
std::string format_mean(float mean);

}  // namespace dorvel
