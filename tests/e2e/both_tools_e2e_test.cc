// SPDX-License-Identifier: Apache-2.0
// What both tools promise alike, run against each: argument fields, help and
// version words, exit statuses, the same-file refusal, unreadable inputs,
// unwritable outputs and a full disk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/fixtures/test_gribs.h"

namespace {

using e2e::fixture;
using e2e::quoted;

struct Tool {
  std::string name;
  std::string path;
  std::string input;  // a fixture the tool runs through to the end
  std::string tail;   // the arguments after fileout
  std::string usage;
  std::size_t written;                // messages written from `input`
  std::string full_disk_console;      // the console when the output is /dev/full
  std::size_t kept_when_console_full;  // messages left when standard output is full
  // A file-size limit in the middle of a message (it binds the console's
  // files too), and the whole messages it leaves.
  std::size_t size_limit;
  std::size_t kept_at_size_limit;
};

// Test listings name a row by its tool, not by its bytes.
void PrintTo(const Tool& tool, std::ostream* stream) { *stream << tool.name; }

const Tool kTools[] = {
    {"dorvel", DORVEL_PATH, "sample.grb", "", " Uso: dorvel.exe filein fileout\n", 1,
     "20190101 0600 neg   985 ave  -0.000\n", 0, 30000, 0},
    {"quimbrel", QUIMBREL_PATH, "five.grb", " 1",
     " Uso: quimbrel.exe filein fileout NSKIP\n"
     " NSKIP > 0: salta i primi NSKIP campi\n"
     " NSKIP < 0: scrive solo i primi -NSKIP campi\n",
     4, "", 4, 200, 1},
};

class BothTools : public ::testing::TestWithParam<Tool> {
 protected:
  const Tool& tool() const { return GetParam(); }
  // The tool with `arguments`, in the test's directory.
  e2e::RunResult run(const std::string& arguments) {
    return e2e::run_shell(dir_.path(), quoted(tool().path) + " " + arguments);
  }
  // The tool from its input to `output`, with its usual trailing arguments.
  e2e::RunResult run_to(const std::string& output) {
    return run(quoted(fixture(tool().input)) + " " + output + tool().tail);
  }

  e2e::TempDir dir_;
};

TEST_P(BothTools, UsageHelpAndVersion) {
  const std::string& tail = tool().tail;
  const std::string usage_cases[] = {
      "", "in.grb", "'' out.grb" + tail, "'   ' out.grb" + tail, "in.grb '  '" + tail,
  };
  for (const std::string& arguments : usage_cases) {
    const e2e::RunResult result = run(arguments);
    EXPECT_EQ(result.out, tool().usage) << arguments;
    EXPECT_EQ(result.status, 2) << arguments;
    EXPECT_EQ(result.err, "") << arguments;
  }
  for (const char* arguments : {"-h", "--help", "'-h  ' out.grb", "--help '' more",
                                "--help out.grb abc", "-h '' ''"}) {
    const e2e::RunResult result = run(arguments);
    EXPECT_EQ(result.out, tool().usage) << arguments;
    EXPECT_EQ(result.status, 0) << arguments;
    EXPECT_EQ(result.err, "") << arguments;
  }
  EXPECT_TRUE(e2e::fs::is_empty(dir_.path()));
  for (const char* arguments : {"--version", "'--version  ' out.grb"}) {
    const e2e::RunResult result = run(arguments);
    EXPECT_EQ(result.out.rfind(tool().name + " 1.0.0 (ecCodes ", 0), 0u) << result.out;
    EXPECT_NE(result.out.find(")\nsandbox: "), std::string::npos) << result.out;
    EXPECT_EQ(result.status, 0);
  }
  EXPECT_EQ(e2e::run_shell(dir_.path(), "GRIB_TOOLS_NO_SANDBOX=1 " + quoted(tool().path) +
                                            " --version | tail -n 1")
                .out,
            "sandbox: off (GRIB_TOOLS_NO_SANDBOX)\n");
  // Not help or version words: -H and --versions are input names, -h as the
  // second argument an output name.
  EXPECT_EQ(run("-H out.grb" + tail).out, " Errore aprendo -H\n");
  EXPECT_EQ(run("--versions out.grb" + tail).out, " Errore aprendo --versions\n");
  EXPECT_EQ(run_to("-h").status, 0);
  EXPECT_TRUE(e2e::exists(dir_.file("-h")));
}

TEST_P(BothTools, OverLongNamesAndMissingInput) {
  for (const int length : {201, 250, 300}) {
    const std::string long_name(static_cast<std::size_t>(length), 'n');
    e2e::RunResult result = run(long_name + " out.grb" + tool().tail);
    EXPECT_EQ(result.out, " Nome di file troppo lungo (oltre 200 caratteri): filein\n");
    EXPECT_EQ(result.status, 2);
    result = run_to(long_name);
    EXPECT_EQ(result.out, " Nome di file troppo lungo (oltre 200 caratteri): fileout\n");
    EXPECT_EQ(result.status, 2);
  }
  const e2e::RunResult result = run("missing.grb out.grb" + tool().tail);
  EXPECT_EQ(result.out, " Errore aprendo missing.grb\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(e2e::fs::is_empty(dir_.path()));
  // Exactly 200 bytes is a usable name.
  const std::string name_200(200, 'o');
  EXPECT_EQ(run_to(name_200).status, 0);
  EXPECT_EQ(e2e::grib_messages(dir_.file(name_200)).size(), tool().written);
}

TEST_P(BothTools, RefusesToOverwriteItsInput) {
  const std::string input = test_gribs::read_file(fixture(tool().input));
  test_gribs::write_file(dir_.file("in.grb"), input);
  e2e::fs::create_hard_link(dir_.file("in.grb"), dir_.file("hard.grb"));
  e2e::fs::create_symlink(dir_.file("in.grb"), dir_.file("soft.grb"));
  for (const char* output : {"in.grb", "./in.grb", "hard.grb", "soft.grb"}) {
    const e2e::RunResult result = run(std::string("in.grb ") + output + tool().tail);
    EXPECT_EQ(result.out, std::string(" Errore: il file di output coincide con il file di input ") +
                              output + "\n");
    EXPECT_EQ(result.status, 1) << output;
    EXPECT_EQ(test_gribs::read_file(dir_.file("in.grb")), input) << output;
  }
  // Equal inode numbers on two file systems are two files: the first file made
  // on each of two new tmpfs mounts (root only, in a mount namespace of its
  // own), as input and output, then as output and standard output.
  const std::string plain = run("in.grb plain.grb" + tool().tail).out;
  const e2e::RunResult result = e2e::run_shell(
      dir_.path(),
      "unshare -m sh -c '{ mkdir a b && mount -t tmpfs none a && mount -t tmpfs none b "
      "&& cp in.grb a/x.grb && : > b/x.grb && [ $(stat -c %i a/x.grb) = $(stat -c %i "
      "b/x.grb) ]; } 2>/dev/null || { echo skipped; exit; }; \"$0\" a/x.grb b/x.grb" +
          tool().tail + "; \"$0\" in.grb a/x.grb" + tool().tail + " > b/x.grb; cat b/x.grb' " +
          quoted(tool().path) + " || echo skipped");
  if (result.out == "skipped\n") GTEST_SKIP() << "no tmpfs mounts here";
  EXPECT_EQ(result.out, plain + plain);
}

TEST_P(BothTools, UnreadableInputsAndUnwritableOutputsAreFatal) {
  e2e::fs::create_directory(dir_.path() / "adir");
  e2e::RunResult result = run("adir out.grb" + tool().tail);
  EXPECT_EQ(result.out, " Errore leggendo adir grib n.ro            1\n");
  EXPECT_EQ(result.status, 1);

  result = run_to("adir");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("adir: Is a directory"), std::string::npos) << result.err;

  result = run_to("missing_dir/out.grb");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find("missing_dir/out.grb"), std::string::npos) << result.err;

  // A read-only directory: root writes anywhere, so run as nobody then, on
  // copies of the program and the input (the checkout may be out of nobody's reach).
  e2e::fs::create_directory(dir_.path() / "readonly");
  ::chmod(dir_.file("readonly").c_str(), 0555);
  e2e::fs::copy_file(tool().path, dir_.file("tool"));
  e2e::fs::copy_file(fixture(tool().input), dir_.file("in.grb"));
  const std::string as_user =
      ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  result = e2e::run_shell(dir_.path(), as_user + "./tool in.grb readonly/out.grb" + tool().tail);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("readonly/out.grb: Permission denied"), std::string::npos)
      << result.err;
  EXPECT_FALSE(e2e::exists(dir_.file("readonly/out.grb")));
}

TEST_P(BothTools, AFullDiskOrConsoleIsFatalAndLeavesWholeMessages) {
  e2e::RunResult result = run_to("/dev/full");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, tool().full_disk_console);
  EXPECT_NE(result.err.find(tool().name + ": "), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("/dev/full"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("No space left on device"), std::string::npos) << result.err;

  // No partial message stays.
  const auto expect_whole_messages = [this](std::size_t count) {
    const std::vector<std::string> kept = e2e::grib_messages(dir_.file("out.grb"));
    std::string whole;
    for (const std::string& message : kept) whole += message;
    EXPECT_EQ(test_gribs::read_file(dir_.file("out.grb")), whole);
    EXPECT_EQ(kept.size(), count);
  };
  result = e2e::run_shell(dir_.path(), "prlimit --fsize=" + std::to_string(tool().size_limit) +
                                           " " + quoted(tool().path) + " " +
                                           quoted(fixture(tool().input)) + " out.grb" +
                                           tool().tail);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("File too large"), std::string::npos) << result.err;
  expect_whole_messages(tool().kept_at_size_limit);

  // Standard output that cannot be written.
  result = run_to("out.grb > /dev/full");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("standard output: No space left on device"), std::string::npos)
      << result.err;
  expect_whole_messages(tool().kept_when_console_full);
}

INSTANTIATE_TEST_SUITE_P(Each, BothTools, ::testing::ValuesIn(kTools),
                         [](const ::testing::TestParamInfo<Tool>& each) { return each.param.name; });

}  // namespace
