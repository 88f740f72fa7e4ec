// SPDX-License-Identifier: Apache-2.0
// Runs the built quimbrel on generated GRIB files and checks the console, the
// exit status and the output bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/fixtures/test_gribs.h"

namespace {

using e2e::fixture;
using e2e::quoted;

const std::string kQuimbrel = QUIMBREL_PATH;

// The bytes of the given messages (1-based) of five.grb.
std::string five_messages(std::initializer_list<int> ordinals) {
  std::string bytes;
  for (const int ordinal : ordinals) bytes += test_gribs::small_message(ordinal);
  return bytes;
}

std::string read_line(long long count) {
  char line[128];
  std::snprintf(line, sizeof line, " Elaborazioni completate, letti e scritti  %11lld  campi\n",
                count);
  return line;
}

class Quimbrel : public ::testing::Test {
 protected:
  e2e::RunResult run(const std::string& arguments) {
    return e2e::run_shell(dir_.path(), quoted(kQuimbrel) + " " + arguments);
  }
  e2e::RunResult copy(const std::string& input, const std::string& nskip) {
    return run(quoted(fixture(input)) + " out.grb " + nskip);
  }
  std::string output() const { return test_gribs::read_file(dir_.file("out.grb")); }

  e2e::TempDir dir_;
  const std::string usage_ =
      " Uso: quimbrel.exe filein fileout NSKIP\n"
      " NSKIP > 0: salta i primi NSKIP campi\n"
      " NSKIP < 0: scrive solo i primi -NSKIP campi\n";
};

TEST_F(Quimbrel, SelectsByNskipOnFiveMessages) {
  struct Case {
    const char* nskip;
    std::string written;
    std::string out;
  };
  const Case cases[] = {
      {"3", five_messages({4, 5}),
       " Elaborazioni completate, campi letti            5  scritti            2\n"},
      {"1", five_messages({2, 3, 4, 5}),
       " Elaborazioni completate, campi letti            5  scritti            4\n"},
      {"7", "", " Elaborazioni completate, campi letti            5  scritti            0\n"},
      {"-2", five_messages({1, 2}), read_line(2)},
      {"-5", five_messages({1, 2, 3, 4, 5}), read_line(5)},
      {"-9", five_messages({1, 2, 3, 4, 5}), read_line(5)},
      {"-2147483648", five_messages({1, 2, 3, 4, 5}), read_line(5)},
      {"2147483647", "",
       " Elaborazioni completate, campi letti            5  scritti            0\n"},
      {"0", "", " Codizione inattesa, chiamare l'assistenza!\n" + read_line(0)},
  };
  for (const Case& c : cases) {
    const e2e::RunResult result = copy("five.grb", c.nskip);
    EXPECT_EQ(result.status, 0) << c.nskip;
    EXPECT_EQ(result.out, c.out) << c.nskip;
    EXPECT_EQ(result.err, "") << c.nskip;
    EXPECT_EQ(output(), c.written) << c.nskip;
  }
}

TEST_F(Quimbrel, EmptyInput) {
  e2e::RunResult result = copy("empty.grb", "0");
  EXPECT_EQ(result.out, read_line(0));
  EXPECT_EQ(result.status, 0);
  result = copy("empty.grb", "2");
  EXPECT_EQ(result.out,
            " Elaborazioni completate, campi letti            0  scritti            0\n");
  result = copy("empty.grb", "-2");
  EXPECT_EQ(result.out, read_line(0));
  EXPECT_TRUE(e2e::exists(dir_.file("out.grb")));
  EXPECT_EQ(output(), "");
}

TEST_F(Quimbrel, CopiesLargeMessagesByteForByte) {
  const std::string sample = test_gribs::read_file(fixture("sample.grb"));
  const std::vector<std::string> messages = e2e::grib_messages(fixture("sample.grb"));
  const e2e::RunResult result = copy("sample.grb", "2");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(output(), sample.substr(messages[0].size() + messages[1].size()));
  EXPECT_EQ(copy("sample.grb", "-12").status, 0);
  EXPECT_EQ(output(), sample);
}

TEST_F(Quimbrel, ThousandsOfMessagesStayInOrder) {
  std::string many;
  for (int ordinal = 1; ordinal <= 3000; ++ordinal) many += test_gribs::small_message(ordinal % 7);
  test_gribs::write_file(dir_.file("many.grb"), many);
  const std::size_t size = test_gribs::small_message(1).size();
  e2e::RunResult result = run("many.grb out.grb 1000");
  EXPECT_EQ(result.out,
            " Elaborazioni completate, campi letti         3000  scritti         2000\n");
  EXPECT_EQ(output(), many.substr(1000 * size));
  result = run("many.grb out.grb -2500");
  EXPECT_EQ(result.out, read_line(2500));
  EXPECT_EQ(output(), many.substr(0, 2500 * size));
}

TEST_F(Quimbrel, MessagesBetweenJunkAreCopiedWithoutIt) {
  const e2e::RunResult result = copy("junk_between.grb", "-9");
  EXPECT_EQ(result.out, read_line(5));
  EXPECT_EQ(output(), five_messages({1, 2, 3, 4, 5}));
}

TEST_F(Quimbrel, ReadFailureStopsTheRunAndKeepsWhatWasWritten) {
  const std::string input = fixture("bad_edition_fourth.grb");
  const std::string failure = " Errore leggendo " + input + " grib n.ro            4\n";
  e2e::RunResult result = copy("bad_edition_fourth.grb", "1");
  EXPECT_EQ(result.out, failure);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(output(), five_messages({2, 3}));

  // The damaged message would have been left out, but is read first.
  result = copy("bad_edition_fourth.grb", "5");
  EXPECT_EQ(result.out, failure);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(output(), "");

  // -3 reads one message more than it keeps, the damaged fourth ...
  result = copy("bad_edition_fourth.grb", "-3");
  EXPECT_EQ(result.out, failure);
  EXPECT_EQ(output(), five_messages({1, 2, 3}));
  // ... while -2 stops after the third and never reaches it.
  result = copy("bad_edition_fourth.grb", "-2");
  EXPECT_EQ(result.out, read_line(2));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(output(), five_messages({1, 2}));

  result = copy("truncated_last.grb", "-9");
  EXPECT_EQ(result.out,
            " Errore leggendo " + fixture("truncated_last.grb") + " grib n.ro            5\n");
  EXPECT_EQ(output(), five_messages({1, 2, 3, 4}));

  // A header on which ecCodes itself would overrun its stack is a read failure.
  for (const std::string name : {"budg_short_length.grb", "tide_short_length.grb"}) {
    result = copy(name, "-9");
    EXPECT_EQ(result.out, " Errore leggendo " + fixture(name) + " grib n.ro            2\n");
    EXPECT_EQ(output(), five_messages({1}));
  }
}

TEST_F(Quimbrel, NskipForms) {
  for (const char* arguments :
       {"in.grb out.grb", "in.grb out.grb 2.5", "in.grb out.grb abc", "in.grb out.grb ''",
        "in.grb out.grb 4*", "in.grb out.grb ,4", "in.grb out.grb /4",
        "in.grb out.grb 2147483648"}) {
    const e2e::RunResult result = run(arguments);
    EXPECT_EQ(result.out, usage_) << arguments;
    EXPECT_EQ(result.status, 2) << arguments;
  }
  EXPECT_TRUE(e2e::fs::is_empty(dir_.path()));

  const std::string four_read =
      " Elaborazioni completate, campi letti            5  scritti            1\n";
  for (const char* nskip : {"' 4 '", "+4", "'\t4\t'", "4,x", "4/", "004", "'4 extra'"}) {
    EXPECT_EQ(copy("five.grb", nskip).out, four_read) << nskip;
  }
  EXPECT_EQ(copy("five.grb", "4 further arguments").out, four_read);
}

TEST_F(Quimbrel, ASizeLimitLeavesOnlyWholeMessages) {
  // File-size limits in bytes: in the middle of the seventh message, exactly
  // after the sixth, three bytes short of the end. Only whole messages stay.
  const std::vector<std::string> messages = e2e::grib_messages(fixture("sample.grb"));
  std::vector<std::string> prefixes(1);
  for (const std::string& message : messages) prefixes.push_back(prefixes.back() + message);
  for (const auto& [limit, kept] :
       {std::pair{prefixes[6].size() + 30000, std::size_t{6}},
        std::pair{prefixes[6].size(), std::size_t{6}},
        std::pair{prefixes[12].size() - 3, std::size_t{11}}}) {
    const e2e::RunResult result = e2e::run_shell(dir_.path(), "prlimit --fsize=" + std::to_string(limit) + " " +
                                             quoted(kQuimbrel) + " " +
                                             quoted(fixture("sample.grb")) + " out.grb -12");
    EXPECT_EQ(result.status, 1) << limit;
    EXPECT_NE(result.err.find("File too large"), std::string::npos) << result.err;
    EXPECT_EQ(output(), prefixes[kept]) << limit;
  }
}

}  // namespace
