// SPDX-License-Identifier: Apache-2.0
#include "common/args_console.h"
#include "common/run_tool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>

namespace {

using common::ArgumentField;
using common::console_line;

TEST(ArgumentField, PadsCutsAndTrims) {
  const ArgumentField short_one("in.grb");
  EXPECT_EQ(short_one.field().size(), common::kArgumentFieldBytes);
  EXPECT_EQ(short_one.field(), "in.grb" + std::string(194, ' '));
  EXPECT_EQ(short_one.trimmed_length(), 6u);
  EXPECT_EQ(short_one.text(), "in.grb");
  EXPECT_FALSE(short_one.name_too_long());

  const std::string long_argument = std::string(199, 'a') + "bcdefg";
  const ArgumentField cut(long_argument);
  EXPECT_EQ(cut.field(), long_argument.substr(0, 200));
  EXPECT_EQ(cut.trimmed_length(), 200u);
  EXPECT_TRUE(cut.name_too_long());

  EXPECT_FALSE(ArgumentField(std::string(200, 'x')).name_too_long());
  // Trailing blanks are not part of a name, so they never make it too long.
  EXPECT_FALSE(ArgumentField(std::string(200, 'x') + "    ").name_too_long());

  EXPECT_EQ(ArgumentField("  ").trimmed_length(), 0u);
  EXPECT_EQ(ArgumentField("").trimmed_length(), 0u);
  EXPECT_EQ(ArgumentField(" a b  ").text(), " a b");
  // Only the space is a blank.
  EXPECT_EQ(ArgumentField("x\t").trimmed_length(), 2u);
}

TEST(ArgumentField, FetchesByNumberAndGivesBlanksForMissingOnes) {
  const char* argv[] = {"tool", "first", "second"};
  EXPECT_EQ(ArgumentField::fetch(3, argv, 1).text(), "first");
  EXPECT_EQ(ArgumentField::fetch(3, argv, 2).text(), "second");
  EXPECT_EQ(ArgumentField::fetch(3, argv, 3).field(), std::string(200, ' '));
}

TEST(HelpWord, OnlyMinusHAndDashDashHelpPaddedWithBlanks) {
  for (const char* word : {"-h", "--help", "-h   ", "--help "}) {
    EXPECT_TRUE(common::is_help_word(ArgumentField(word))) << word;
  }
  for (const char* word : {"-H", "-help", "help", "--h", " -h", "-h x", "--helpme", ""}) {
    EXPECT_FALSE(common::is_help_word(ArgumentField(word))) << word;
  }
  EXPECT_TRUE(common::padded_equal("ab", "ab   "));
  EXPECT_FALSE(common::padded_equal("ab", "ab  c"));
}

TEST(VersionLine, NamesTheToolAndEccodes) {
  EXPECT_EQ(common::version_line("dorvel", "1.0.0", 22800), "dorvel 1.0.0 (ecCodes 2.28.0)\n");
  EXPECT_EQ(common::version_line("quimbrel", "1.0.0", 24102), "quimbrel 1.0.0 (ecCodes 2.41.2)\n");
}

TEST(ConsoleLine, LaysOutTextsAndIntegers) {
  struct Case {
    std::string line;
    std::string expected;
  };
  const Case cases[] = {
      {console_line({"Errore aprendo ", "in.grb"}), " Errore aprendo in.grb\n"},
      {console_line({"Errore leggendo ", "in.grb", " grib n.ro ", std::int64_t{3}}),
       " Errore leggendo in.grb grib n.ro            3\n"},
      {console_line({"Elaborazioni completate, campi letti ", std::int64_t{5}, " scritti ",
                     std::int64_t{3}}),
       " Elaborazioni completate, campi letti            5  scritti            3\n"},
      {console_line({"Elaborazioni completate, letti e scritti ", std::int64_t{0}, " campi"}),
       " Elaborazioni completate, letti e scritti            0  campi\n"},
      {console_line({"solo"}), " solo\n"},
      {console_line({"  spazi  "}), "   spazi  \n"},
      {console_line({std::int64_t{std::numeric_limits<std::int32_t>::min()}}), " -2147483648\n"},
      {console_line({std::int64_t{std::numeric_limits<std::int32_t>::max()}}), "  2147483647\n"},
      {console_line({std::int64_t{-7}, std::int64_t{12}}), "          -7          12\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.line, c.expected);
}

// How usage_requested ends a run: its status and console lines; -1 when the run goes on.
std::pair<int, std::string> ending(const ArgumentField& filein, const ArgumentField& fileout,
                                   bool usable) {
  ::testing::internal::CaptureStdout();
  try {
    const bool help = common::usage_requested(filein, fileout, usable, {"Uso: x"});
    const std::string out = ::testing::internal::GetCapturedStdout();
    return {help ? common::kExitSuccess : -1, out};
  } catch (const common::FatalError& failure) {
    ::testing::internal::GetCapturedStdout();
    return {failure.status(), failure.console_lines()};
  }
}

TEST(UsageRequested, HelpUsageAndOverLongNames) {
  const ArgumentField name("a.grb");
  const ArgumentField empty("");
  const ArgumentField too_long(std::string(201, 'n'));
  const ArgumentField help("--help");
  const std::string usage = " Uso: x\n";
  const std::string too_long_line = " Nome di file troppo lungo (oltre 200 caratteri): ";
  using Ending = std::pair<int, std::string>;
  EXPECT_EQ(ending(help, empty, false), Ending(common::kExitSuccess, usage));
  EXPECT_EQ(ending(empty, name, true), Ending(common::kExitUsage, usage));
  EXPECT_EQ(ending(name, empty, true), Ending(common::kExitUsage, usage));
  EXPECT_EQ(ending(name, name, false), Ending(common::kExitUsage, usage));
  EXPECT_EQ(ending(name, too_long, true), Ending(common::kExitUsage, too_long_line + "fileout\n"));
  EXPECT_EQ(ending(too_long, too_long, true), Ending(common::kExitUsage, too_long_line + "filein\n"));
  EXPECT_EQ(ending(name, name, true), Ending(-1, ""));
}

// Every failure ends the run through run_tool: console lines on standard
// output, the report on standard error, the failure's status.
TEST(RunTool, PrintsAFailuresLinesAndReportAndReturnsItsStatus) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  int status = common::run_tool("tool", 0, nullptr, [](int, const char* const*) -> int {
    throw common::FatalError("reading key dataDate: Key/value not found");
  });
  EXPECT_EQ(status, common::kExitFailure);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "tool: reading key dataDate: Key/value not found\n");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  status = common::run_tool("tool", 0, nullptr, [](int, const char* const*) -> int {
    throw common::FatalError(" Errore aprendo x\n", common::kExitUsage, "opening x: gone");
  });
  EXPECT_EQ(status, common::kExitUsage);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), " Errore aprendo x\n");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "tool: opening x: gone\n");
  EXPECT_EQ(common::run_tool("tool", 0, nullptr, [](int, const char* const*) { return 0; }), 0);
}

}  // namespace
