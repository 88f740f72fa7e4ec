// SPDX-License-Identifier: Apache-2.0
#include "dorvel/dorvel_core.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "tests/fixtures/test_gribs.h"

namespace {

using dorvel::kGridPoints;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(SummaryLine, MatchesTheExampleLayout) {
  EXPECT_EQ(dorvel::summary_line(20190101, 600, 12, 0.3454f),
            "20190101 0600 neg    12 ave   0.345\n");
}

TEST(SummaryLine, IntegerFieldsOverflowToAsterisks) {
  EXPECT_EQ(dorvel::summary_line(0, 0, 0, 0.0f), "       0 0000 neg     0 ave   0.000\n");
  EXPECT_EQ(dorvel::summary_line(99999999, 30, 30589, 1.0f),
            "99999999 0030 neg 30589 ave   1.000\n");
  EXPECT_EQ(dorvel::summary_line(100000000, 9999, 99999, 1.0f),
            "******** 9999 neg 99999 ave   1.000\n");
  EXPECT_EQ(dorvel::summary_line(-9999999, 10000, 100000, 1.0f),
            "-9999999 **** neg ***** ave   1.000\n");
  EXPECT_EQ(dorvel::summary_line(-10000000, -1, -9999, 1.0f),
            "******** **** neg -9999 ave   1.000\n");
  EXPECT_EQ(dorvel::summary_line(std::numeric_limits<std::int32_t>::min(), 5, -10000, 1.0f),
            "******** 0005 neg ***** ave   1.000\n");
}

TEST(FormatMean, RoundsSignsOverflowsAndSpecialValues) {
  struct Case {
    float mean;
    const char* expected;
  };
  const Case cases[] = {
      {0.0f, "  0.000"},      {-0.0004f, " -0.000"},  {0.0004f, "  0.000"},   {0.0006f, "  0.001"},
      {-10.0f, "-10.000"},    {-99.9994f, "-99.999"}, {-99.9996f, "*******"}, {-100.0f, "*******"},
      {999.9994f, "999.999"}, {999.9996f, "*******"}, {1000.0f, "*******"},   {kNaN, "    NaN"},
      {-kNaN, "    NaN"},     {kInf, "    Inf"},      {-kInf, "   -Inf"},     {1.0e30f, "*******"},
      {0.3454f, "  0.345"},   {-1.5f, " -1.500"},
  };
  for (const Case& c : cases) EXPECT_EQ(dorvel::format_mean(c.mean), c.expected) << c.mean;
}

// Where the value fits, the field is exactly what C's "%7.3f" writes.
TEST(FormatMean, AgreesWithPrintfWhereItFits) {
  for (float mean = -99.99f; mean < 999.99f; mean += 0.37f) {
    char expected[32];
    std::snprintf(expected, sizeof expected, "%7.3f", static_cast<double>(mean));
    EXPECT_EQ(dorvel::format_mean(mean), expected) << mean;
  }
}

TEST(Residual, IsBitExactInTheDocumentedOrder) {
  dorvel::FieldStack fields;
  unsigned state = 7u;
  for (int ordinal = 1; ordinal <= 12; ++ordinal) {
    for (float& value : fields.column(ordinal)) {
      state = state * 1664525u + 1013904223u;
      // Magnitudes from 1e-3 to 1e7 make any other order give other bits.
      const float unit = static_cast<float>(state >> 8) / 16777216.0f;
      value = (unit - 0.5f) * std::pow(10.0f, static_cast<float>(state % 11) - 3.0f);
    }
  }
  std::vector<float> residual(kGridPoints);
  dorvel::compute_residual(fields, residual);
  std::vector<std::vector<float>> columns;
  for (int ordinal = 1; ordinal <= 12; ++ordinal) {
    columns.emplace_back(fields.column(ordinal).begin(), fields.column(ordinal).end());
  }
  const test_gribs::Residual expected = test_gribs::reference_residual(columns);
  for (std::size_t point = 0; point < residual.size(); ++point) {
    ASSERT_EQ(test_gribs::bits_of(residual[point]),
              test_gribs::bits_of(expected.values[point]))
        << "point " << point;
  }
  EXPECT_EQ(dorvel::count_negative(residual), expected.negative);
  EXPECT_EQ(test_gribs::bits_of(dorvel::mean_of(residual)),
            test_gribs::bits_of(expected.mean));

  // Summing in double, or from the last field back, gives other bits somewhere.
  std::size_t differing = 0;
  for (int point = 0; point < kGridPoints; ++point) {
    double wide = 0.0;
    for (int ordinal = 1; ordinal <= 11; ++ordinal) {
      wide += static_cast<double>(fields.column(ordinal)[static_cast<std::size_t>(point)]);
    }
    const auto narrowed = static_cast<float>(
        static_cast<double>(fields.column(12)[static_cast<std::size_t>(point)]) - wide);
    if (narrowed != residual[static_cast<std::size_t>(point)]) ++differing;
  }
  EXPECT_GT(differing, 0u);
}

TEST(NegativeCount, ThresholdItselfAndNaNAreNotCounted) {
  std::vector<float> residual(kGridPoints, 0.0f);
  residual[0] = -0.001f;
  residual[1] = std::nextafter(-0.001f, -1.0f);
  residual[2] = kNaN;
  residual[3] = -kInf;
  residual[4] = std::nextafter(-0.001f, 0.0f);
  EXPECT_EQ(dorvel::count_negative(residual), 2);
}

TEST(Mean, AllOnesGiveMinusTenAndNaNSpreads) {
  dorvel::FieldStack fields;
  for (int ordinal = 1; ordinal <= 12; ++ordinal) {
    for (float& value : fields.column(ordinal)) value = 1.0f;
  }
  std::vector<float> residual(kGridPoints);
  dorvel::compute_residual(fields, residual);
  EXPECT_EQ(dorvel::count_negative(residual), kGridPoints);
  EXPECT_EQ(dorvel::format_mean(dorvel::mean_of(residual)), "-10.000");

  fields.column(5)[100] = kNaN;
  dorvel::compute_residual(fields, residual);
  EXPECT_EQ(dorvel::count_negative(residual), kGridPoints - 1);
  EXPECT_EQ(dorvel::format_mean(dorvel::mean_of(residual)), "    NaN");

  std::vector<float> zeros(kGridPoints, -0.0f);
  EXPECT_FALSE(std::signbit(dorvel::mean_of(zeros)));
}

}  // namespace
