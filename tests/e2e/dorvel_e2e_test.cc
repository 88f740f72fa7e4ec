// SPDX-License-Identifier: Apache-2.0
// Runs the built dorvel on generated GRIB files and checks the console, the
// exit status and the output message read back through ecCodes.
#include <eccodes.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/c_owners.h"
#include "tests/e2e/e2e_support.h"
#include "tests/fixtures/test_gribs.h"

namespace {

using e2e::fixture;
using e2e::quoted;

const std::string kDorvel = DORVEL_PATH;

using Handle = common::GribHandle;

Handle load(const std::string& message) {
  return Handle(codes_handle_new_from_message_copy(nullptr, message.data(), message.size()));
}

std::vector<float> float_values(codes_handle* handle) {
  std::size_t count = 0;
  codes_get_size(handle, "values", &count);
  std::vector<double> values(count);
  codes_get_double_array(handle, "values", values.data(), &count);
  return std::vector<float>(values.begin(), values.end());
}

long long_key(codes_handle* handle, const char* key) {
  long value = 0;
  EXPECT_EQ(codes_get_long(handle, key, &value), CODES_SUCCESS) << key;
  return value;
}

// What dorvel must print and write for an input, computed here on the values
// that ecCodes decodes from the first twelve messages.
struct Expected {
  std::string line;
  std::string message;
};

Expected expected_for(const std::string& input) {
  const std::vector<std::string> messages = e2e::grib_messages(input);
  EXPECT_GE(messages.size(), 12u);
  std::vector<std::vector<float>> fields;
  for (std::size_t ordinal = 0; ordinal < 12; ++ordinal) {
    fields.push_back(float_values(load(messages[ordinal]).get()));
  }
  const test_gribs::Residual residual = test_gribs::reference_residual(fields);
  const Handle twelfth = load(messages[11]);
  char line[64];
  std::snprintf(line, sizeof line, "%8ld %04ld neg %5d ave %7.3f\n",
                long_key(twelfth.get(), "dataDate"), long_key(twelfth.get(), "dataTime"),
                residual.negative, static_cast<double>(residual.mean));
  const Handle output(codes_handle_clone(twelfth.get()));
  const std::vector<double> values(residual.values.begin(), residual.values.end());
  codes_set_double_array(output.get(), "values", values.data(), values.size());
  codes_set_long(output.get(), "P2", 1);
  const void* bytes = nullptr;
  std::size_t size = 0;
  codes_get_message(output.get(), &bytes, &size);
  return {line, std::string(static_cast<const char*>(bytes), size)};
}

class Dorvel : public ::testing::Test {
 protected:
  e2e::RunResult run(const std::string& arguments) {
    return e2e::run_shell(dir_.path(), quoted(kDorvel) + " " + arguments);
  }
  std::string out_path() const { return dir_.file("out.grb"); }

  e2e::TempDir dir_;
};

TEST_F(Dorvel, SampleGivesTheIndependentResidualAsOneMessage) {
  const e2e::RunResult result = run(quoted(fixture("sample.grb")) + " out.grb");
  const Expected expected = expected_for(fixture("sample.grb"));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, expected.line);
  EXPECT_EQ(result.out.substr(0, 14), "20190101 0600 ");

  const std::vector<std::string> written = e2e::grib_messages(out_path());
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(test_gribs::read_file(out_path()), expected.message);
  const Handle output = load(written[0]);
  EXPECT_EQ(long_key(output.get(), "P2"), 1);
  EXPECT_EQ(long_key(output.get(), "P1"), 0);
  EXPECT_EQ(long_key(output.get(), "dataDate"), 20190101);
  EXPECT_EQ(long_key(output.get(), "dataTime"), 600);
  EXPECT_EQ(long_key(output.get(), "numberOfValues"), 30589);
}

TEST_F(Dorvel, MessagesAfterTheTwelfthAreNeverRead) {
  ASSERT_EQ(run(quoted(fixture("sample.grb")) + " twelve.grb").status, 0);
  const e2e::RunResult result = run(quoted(fixture("sample13.grb")) + " thirteen.grb extra args");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, expected_for(fixture("sample.grb")).line);
  EXPECT_EQ(test_gribs::read_file(dir_.file("thirteen.grb")),
            test_gribs::read_file(dir_.file("twelve.grb")));
}

TEST_F(Dorvel, ExactFieldsGiveKnownLines) {
  struct Case {
    const char* input;
    const char* line;
  };
  const Case cases[] = {
      {"ones.grb", "20190101 0600 neg 30589 ave -10.000\n"},
      {"zero_time.grb", "20231231 0000 neg 30589 ave  -5.000\n"},
  };
  for (const Case& c : cases) {
    const e2e::RunResult result = run(quoted(fixture(c.input)) + " out.grb");
    EXPECT_EQ(result.status, 0) << c.input;
    EXPECT_EQ(result.out, c.line) << c.input;
  }
  // Values at, just below and far around the threshold, summed where the
  // order changes the bits: packed as IEEE floats, so nothing is lost.
  const e2e::RunResult result = run(quoted(fixture("threshold.grb")) + " out.grb");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, expected_for(fixture("threshold.grb")).line);
  EXPECT_EQ(result.out.substr(0, 14), "20231231 0030 ");
  const std::vector<float> residual =
      float_values(load(e2e::grib_messages(out_path()).at(0)).get());
  EXPECT_EQ(test_gribs::bits_of(residual.at(0)), 0xBA83126Fu);
  EXPECT_EQ(test_gribs::bits_of(residual.at(1)), 0xBA831270u);
}

TEST_F(Dorvel, InputProblemsGiveTheirLinesAndStatusOne) {
  const std::string bad_fourth = fixture("sample_bad_fourth.grb");
  e2e::RunResult result = run(quoted(bad_fourth) + " out.grb");
  EXPECT_EQ(result.out, " Errore leggendo " + bad_fourth + " grib n.ro            4\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(e2e::fs::file_size(out_path()), 0u);

  const std::string cut_twelfth = fixture("sample_cut_twelfth.grb");
  result = run(quoted(cut_twelfth) + " out.grb");
  EXPECT_EQ(result.out, " Errore leggendo " + cut_twelfth + " grib n.ro           12\n");
  EXPECT_EQ(result.status, 1);

  result = run(quoted(fixture("not_grib.bin")) + " out.grb");
  EXPECT_EQ(result.out,
            " Errore leggendo " + fixture("not_grib.bin") + " grib n.ro            1\n");
  EXPECT_EQ(result.status, 1);
}

TEST_F(Dorvel, ShortOrMisshapenInputsAreFatalWithNothingWritten) {
  struct Case {
    const char* input;
    std::vector<std::string> stderr_words;
  };
  const Case cases[] = {
      {"seven.grb", {"dorvel: ", "7 messages", "12 are needed"}},
      {"eleven.grb", {"dorvel: ", "11 messages", "12 are needed"}},
      {"empty.grb", {"0 messages", "12 are needed"}},
      {"one.grb", {"one.grb: the input holds 1 message;", "12 are needed"}},
      {"wrong_size.grb", {"dorvel: ", "wrong_size.grb: message 3: holds 12 values", "30589"}},
      {"wrong_size_big.grb", {"wrong_size_big.grb: message 3: holds 30770 values", "30589"}},
  };
  for (const Case& c : cases) {
    const e2e::RunResult result = run(quoted(fixture(c.input)) + " out.grb");
    EXPECT_EQ(result.status, 1) << c.input;
    EXPECT_EQ(result.out, "") << c.input;
    for (const std::string& word : c.stderr_words) {
      EXPECT_NE(result.err.find(word), std::string::npos) << c.input << ": " << result.err;
    }
    EXPECT_EQ(e2e::fs::file_size(out_path()), 0u) << c.input;
  }
}

TEST_F(Dorvel, ARunThatCannotMakeItsMessagePrintsNoSummary) {
  // Edition 2 has no P2; simple packing cannot hold an infinite residual.
  for (const auto& [input, report] :
       {std::pair{"edition2.grb", "edition2.grb: message 12: edition 2: dorvel reads edition-1 fields"},
        std::pair{"infinite_residual.grb", "infinite_residual.grb: message 12: setting key values"}}) {
    const e2e::RunResult result = run(quoted(fixture(input)) + " out.grb");
    EXPECT_EQ(result.out, "") << input;
    EXPECT_EQ(result.status, 1) << input;
    EXPECT_NE(result.err.find(report), std::string::npos) << result.err;
    EXPECT_EQ(e2e::fs::file_size(out_path()), 0u) << input;
  }
}

}  // namespace
