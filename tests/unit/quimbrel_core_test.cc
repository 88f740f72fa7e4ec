// SPDX-License-Identifier: Apache-2.0
#include "quimbrel/quimbrel_core.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

namespace {

using quimbrel::Selection;

std::optional<std::int32_t> nskip(const std::string& argument) {
  return quimbrel::read_nskip(common::ArgumentField(argument));
}

TEST(ReadNskip, AcceptsSignedIntegersEndingAtASeparator) {
  struct Case {
    const char* argument;
    std::int32_t value;
  };
  const Case cases[] = {
      {"4", 4},
      {"+4", 4},
      {"-12", -12},
      {"007", 7},
      {"  4  ", 4},
      {"\t4\n", 4},
      {"4,", 4},
      {"4,abc", 4},
      {"4/", 4},
      {"4/xyz", 4},
      {"4 junk", 4},
      {"0", 0},
      {"-0", 0},
      {"2147483647", 2147483647},
      {"-2147483648", std::numeric_limits<std::int32_t>::min()},
      {"0000000000000000000000000000000042", 42},
  };
  for (const Case& c : cases) EXPECT_EQ(nskip(c.argument), c.value) << c.argument;
}

TEST(ReadNskip, RefusesWhatIsNoInteger) {
  for (const char* argument : {"",     "   ", "abc",        "2.5",         "4.",
                               ".5",   "+",   "-",          "+ 4",         "- 4",
                               "4a",   "4*",  "3*7",        "*4",          ",4",
                               "/4",   ",",   "2147483648", "-2147483649", "99999999999999999999",
                               "0x10", "4-",  "++4",        "1e3"}) {
    EXPECT_EQ(nskip(argument), std::nullopt) << "'" << argument << "'";
  }
}

TEST(ReadNskip, RefusesWhatDoesNotFitTwoHundredBytes) {
  // Cut by the field's end, "-12" would be read as -1.
  EXPECT_EQ(nskip(std::string(197, ' ') + "-12"), -12);
  EXPECT_EQ(nskip(std::string(198, ' ') + "-12"), std::nullopt);
  EXPECT_EQ(nskip(std::string(199, ' ') + "7x"), std::nullopt);
  EXPECT_EQ(nskip(std::string(200, ' ') + "7"), std::nullopt);
}

TEST(SelectMessage, FollowsTheNskipRule) {
  EXPECT_EQ(quimbrel::select_message(3, 1), Selection::kSkip);
  EXPECT_EQ(quimbrel::select_message(3, 3), Selection::kSkip);
  EXPECT_EQ(quimbrel::select_message(3, 4), Selection::kWrite);
  EXPECT_EQ(quimbrel::select_message(0, 1), Selection::kSkip);
  EXPECT_EQ(quimbrel::select_message(0, 1000), Selection::kSkip);
  EXPECT_EQ(quimbrel::select_message(-2, 2), Selection::kWrite);
  EXPECT_EQ(quimbrel::select_message(-2, 3), Selection::kStop);
  constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
  EXPECT_EQ(quimbrel::select_message(kMin, 2147483648LL), Selection::kWrite);
  EXPECT_EQ(quimbrel::select_message(kMin, 2147483649LL), Selection::kStop);
  EXPECT_EQ(quimbrel::select_message(2147483647, 2147483647LL), Selection::kSkip);
  EXPECT_EQ(quimbrel::select_message(2147483647, 2147483648LL), Selection::kWrite);
}

}  // namespace
