// SPDX-License-Identifier: Apache-2.0
// Both tools on unusual inputs and outputs: devices, directories, pipes,
// FIFOs, unwritable places, a bitmap field.
#include <eccodes.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include <string>

#include "common/landlock.h"
#include "common/sandbox.h"
#include "tests/e2e/e2e_support.h"
#include "tests/fixtures/test_gribs.h"

namespace {

using e2e::fixture;
using e2e::quoted;

const std::string kDorvel = DORVEL_PATH;
const std::string kQuimbrel = QUIMBREL_PATH;

class OddFiles : public ::testing::Test {
 protected:
  e2e::RunResult run(const std::string& command) { return e2e::run_shell(dir_.path(), command); }
  e2e::TempDir dir_;
};

TEST_F(OddFiles, EmptyDeviceIsAnEmptyInput) {
  e2e::RunResult result = run(quoted(kQuimbrel) + " /dev/null out.grb 1");
  EXPECT_EQ(result.out,
            " Elaborazioni completate, campi letti            0  scritti            0\n");
  EXPECT_EQ(result.status, 0);
  result = run(quoted(kDorvel) + " /dev/null out.grb");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("0 messages"), std::string::npos) << result.err;
}

TEST_F(OddFiles, PipesAndFifosAreReadAsStreams) {
  const std::string sample = quoted(fixture("sample.grb"));
  e2e::RunResult result =
      run("cat " + sample + " | " + quoted(kQuimbrel) + " /dev/stdin out.grb 2");
  EXPECT_EQ(result.out,
            " Elaborazioni completate, campi letti           12  scritti           10\n");
  const std::vector<std::string> messages = e2e::grib_messages(fixture("sample.grb"));
  EXPECT_EQ(test_gribs::read_file(dir_.file("out.grb")),
            test_gribs::read_file(fixture("sample.grb")).substr(2 * messages[0].size()));

  ASSERT_EQ(::mkfifo(dir_.file("fifo").c_str(), 0600), 0);
  const e2e::RunResult from_file = run(quoted(kDorvel) + " " + sample + " file.grb");
  result = run("cat " + sample + " > fifo & " + quoted(kDorvel) + " fifo out.grb");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, from_file.out);
  EXPECT_EQ(test_gribs::read_file(dir_.file("out.grb")),
            test_gribs::read_file(dir_.file("file.grb")));

  // Damaged streams give the same outcome as the same bytes in a file.
  for (const char* name : {"truncated_last.grb", "bad_edition_fourth.grb", "junk_between.grb",
                           "two_byte_length_fifth.grb", "one_byte_length_fifth.grb"}) {
    const std::string input = quoted(fixture(name));
    const e2e::RunResult piped =
        run("cat " + input + " | " + quoted(kQuimbrel) + " /dev/stdin piped.grb -9");
    const e2e::RunResult direct = run(quoted(kQuimbrel) + " " + input + " direct.grb -9");
    EXPECT_EQ(piped.status, direct.status) << name;
    EXPECT_EQ(test_gribs::read_file(dir_.file("piped.grb")),
              test_gribs::read_file(dir_.file("direct.grb")))
        << name;
  }
}

// Console lines never land in the output file, and a console that cannot be
// written never costs written messages: both tools.
TEST_F(OddFiles, TheConsoleAndTheOutputNeverMix) {
  struct Case {
    std::string command;
    int status;  // -1: a pipeline, whose status is its last command's
    std::string err_word;
    std::size_t messages;  // whole messages in out.grb, and nothing else
  };
  const std::string five = " " + quoted(fixture("five.grb"));
  const std::string sample = " " + quoted(fixture("sample.grb"));
  // Standard output on a pipe that nobody reads any more.
  const std::string closed_pipe = "mkfifo p; { exec 3<p; } & exec 5>p; wait; ";
  const Case cases[] = {
      {quoted(kQuimbrel) + five + " /dev/stdout 1 > out.grb", 1, "standard output goes", 0},
      {quoted(kDorvel) + sample + " out.grb > out.grb", 1, "standard output goes", 0},
      {quoted(kDorvel) + sample + " /dev/stdout | cat > out.grb", -1, "standard output goes", 0},
      // Refused before the output is opened: what the file held stays.
      {"cp" + five + " out.grb; " + quoted(kQuimbrel) + five + " out.grb 1 >> out.grb", 1,
       "standard output goes", 5},
      // Standard error is a console file too: a caller's log is never emptied.
      {"cp" + five + " log; " + quoted(kQuimbrel) + five +
           " /dev/stderr 1 2>> log; s=$?; cat log >&2; exit $s",
       1, "standard error goes", 0},
      {quoted(kQuimbrel) + five + " /dev/null 1 > /dev/null", 0, "", 0},
      {quoted(kDorvel) + sample + " out.grb <&- >&-", 1, "standard output", 0},
      {quoted(kQuimbrel) + five + " out.grb 1 <&- >&- 2>&-", 1, "", 4},
      {closed_pipe + quoted(kQuimbrel) + " " + quoted(fixture("bad_edition_fourth.grb")) +
           " out.grb -9 >&5",
       141, "", 3},
      {quoted(kQuimbrel) + " missing.grb out.grb 1", 1,
       "quimbrel: opening input file missing.grb: No such file or directory", 0},
      {quoted(kDorvel) + " missing.grb out.grb", 1,
       "dorvel: opening input file missing.grb: No such file or directory", 0},
  };
  for (const Case& c : cases) {
    e2e::fs::remove(dir_.file("out.grb"));
    const e2e::RunResult result = run(c.command);
    if (c.status >= 0) {
      EXPECT_EQ(result.status, c.status) << c.command;
    }
    EXPECT_NE(result.err.find(c.err_word), std::string::npos) << c.command << "\n" << result.err;
    if (!e2e::exists(dir_.file("out.grb"))) continue;
    const std::vector<std::string> written = e2e::grib_messages(dir_.file("out.grb"));
    std::string whole;
    for (const std::string& message : written) whole += message;
    EXPECT_EQ(test_gribs::read_file(dir_.file("out.grb")), whole) << c.command;
    EXPECT_EQ(written.size(), c.messages) << c.command;
  }
}

// Faults put into the tools by a preloaded library: a stop signal in the
// middle of a write, an ignored one, writes that take half of what they are
// given, a close that reports EIO, an input whose reads fail inside message 3.
TEST_F(OddFiles, StopSignalsAndFailedClosesLeaveWholeMessages) {
  const std::string sample = test_gribs::read_file(fixture("sample.grb"));
  test_gribs::write_file(dir_.file("in.grb"), sample + sample + sample);
  // Small messages apart from each other: one flush takes several writes.
  std::string apart;
  for (int ordinal = 1; ordinal <= 4000; ++ordinal) {
    apart += test_gribs::small_message(ordinal % 200) + '\0';
  }
  test_gribs::write_file(dir_.file("apart.grb"), apart);
  // A row whose signal ends the run keeps exactly what the writes before the
  // faulted one wrote: the fault cuts a message in two, which only the
  // cut-back takes away. The others keep a count of whole messages.
  constexpr std::size_t kWrittenBefore = ~std::size_t{0};
  struct Case {
    std::string fault;  // options and settings of env(1) for the tool
    std::string tool;
    std::string status;  // as the shell reports it
    std::size_t kept;    // whole messages, or kWrittenBefore
  };
  const std::string quimbrel = quoted(kQuimbrel) + " in.grb out.grb -35";
  const std::string dorvel = quoted(kDorvel) + " in.grb out.grb";
  const std::vector<std::string> messages = e2e::grib_messages(fixture("sample.grb"));
  const std::string inside_third =
      std::to_string(messages[0].size() + messages[1].size() + messages[2].size() / 2);
  std::vector<Case> cases = {
      {"--default-signal FAULT_SIGNAL_AT_WRITE=1:15", quimbrel, "143", 0},
      {"--default-signal FAULT_SIGNAL_AT_WRITE=2:15",
       quoted(kQuimbrel) + " apart.grb out.grb -100000", "143", kWrittenBefore},
      {"--ignore-signal=TERM FAULT_SIGNAL_AT_WRITE=2:15", quimbrel, "0", 35},
      {"--ignore-signal=USR1 FAULT_SIGNAL_AT_WRITE=2:10", quimbrel, "0", 35},
      {"--default-signal FAULT_SIGNAL_AT_WRITE=1:7", dorvel, "135", 0},
      {"--default-signal FAULT_SIGNAL_AT_WRITE=1:15", dorvel, "143", 0},
      // A stack overflow, which only a handler on a stack of its own survives.
      {"--default-signal FAULT_SIGNAL_AT_WRITE=2:0", quimbrel, "139", kWrittenBefore},
      {"FAULT_SHORT_WRITES=1", quimbrel, "0", 35},
      {"FAULT_CLOSE_EIO=1", quimbrel, "1", 35},
      {"FAULT_CLOSE_EIO=1", dorvel, "1", 1},
      {"FAULT_READ_EIO_AFTER=" + inside_third, quimbrel, "1", 2},
  };
  // Hang-up, Ctrl-C, time limits (USR1, ALRM, VTALRM, PROF, XCPU), a fault,
  // USR2; and real-time signals where the tools run on their own processor
  // (qemu-user gives them other numbers on the host, or drops them).
  std::vector<int> ending = {SIGHUP, SIGINT, SIGUSR1, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU,
                             SIGSEGV, SIGUSR2};
  if (std::getenv("TESTS_UNDER_QEMU_USER") == nullptr) {
    ending.insert(ending.end(), {SIGRTMIN, SIGRTMIN + 1, SIGRTMAX});
  }
  for (const int signal : ending) {
    cases.push_back({"--default-signal FAULT_SIGNAL_AT_WRITE=2:" + std::to_string(signal), quimbrel,
                     std::to_string(128 + signal), kWrittenBefore});
  }
  for (const Case& c : cases) {
    e2e::fs::remove(dir_.file("out.grb"));
    const e2e::RunResult result =
        run("env " + c.fault + " LD_PRELOAD=" + quoted(FAULT_INJECT_PATH) +
            " ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0:handle_segv=0:handle_sigbus=0 " +
            c.tool + "; echo $?");
    const std::string context = c.fault + " " + c.tool;
    EXPECT_EQ(result.out.substr(result.out.rfind('\n', result.out.size() - 2) + 1), c.status + "\n")
        << context << "\n"
        << result.out;
    const std::vector<std::string> written = e2e::grib_messages(dir_.file("out.grb"));
    std::string whole;
    for (const std::string& message : written) whole += message;
    const std::string output = test_gribs::read_file(dir_.file("out.grb"));
    EXPECT_EQ(output, whole) << context;
    if (c.kept == kWrittenBefore) {
      std::size_t before = 0;
      const std::size_t said = result.err.find("fault_inject: ");
      ASSERT_NE(said, std::string::npos) << context << "\n" << result.err;
      std::sscanf(result.err.c_str() + said, "fault_inject: %zu", &before);
      EXPECT_EQ(output.size(), before) << context;
      EXPECT_GE(written.size(), 1u) << context;
    } else {
      EXPECT_EQ(written.size(), c.kept) << context;
    }
    if (c.fault.starts_with("FAULT_READ_EIO_AFTER")) {
      EXPECT_NE(result.out.find(" Errore leggendo in.grb grib n.ro            3\n"),
                std::string::npos)
          << result.out;
    }
    if (c.fault == "FAULT_CLOSE_EIO=1") {
      EXPECT_NE(result.err.find("closing output file out.grb: Input/output error"),
                std::string::npos)
          << result.err;
    }
  }
}

// Missing-value markers are values like any other: the residual of a field
// with a bitmap has no missing points left.
TEST_F(OddFiles, BitmapFieldsAreComputedLikeAnyOther) {
  const e2e::RunResult seeds = run(quoted(MAKE_TEST_GRIBS_PATH) + " seeds seeds 2>/dev/null");
  ASSERT_EQ(seeds.status, 0);
  const e2e::RunResult result = run(quoted(kDorvel) + " seeds/twelve_bitmap.grb out.grb");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "20190101 0600 neg 30589 ave *******\n");
  EXPECT_EQ(e2e::grib_messages(dir_.file("out.grb")).size(), 1u);
}

// Confined runs give what unconfined ones give (GRIB_TOOLS_NO_SANDBOX set): on
// every generated packing, some with definition files ecCodes loads late, and
// with the definitions read from a copy named by ECCODES_DEFINITION_PATH in
// the ways sites name them: alone, relative, through a link, as a farm of
// links to elsewhere (absolute, or relative and holding links back up), in a
// colon list with missing and empty entries; and under valgrind and with an
// allocator whose thread was started before confinement, where confinement
// says on standard error what it could not apply.
TEST_F(OddFiles, ConfinementChangesNoResult) {
  ASSERT_EQ(run(quoted(MAKE_TEST_GRIBS_PATH) + " seeds seeds 2>/dev/null").status, 0);
  const std::string definitions = codes_definition_path(codes_context_get_default());
  ASSERT_EQ(run("mkdir local farm && { cp -al " + quoted(definitions) + " defs 2>/dev/null || cp -r " +
                quoted(definitions) + " defs; } && ln -s defs linked && ln -s \"$PWD\"/defs/* farm/ && " +
                "mkdir -p relative/loop && cd relative && ln -s ../defs/* . && ln -s .. loop/up && " +
                "ln -s .. loop/up_again && cd .. && mkdir many && cd many && seq 50001 | xargs touch")
                .status,
            0);
  struct Case {
    std::string environment;
    std::string input;
    int status;  // -1: whatever the unconfined run gives
    std::string note = "";  // what only the confined run says on standard error; "-": not compared
  };
  std::vector<Case> cases = {
      {"", "seeds/twelve_bitmap.grb", 0},
      {"", "seeds/edition1_grid_second_order.grb", 1},
      {"", "seeds/edition2_grid_jpeg.grb", 1},
      {"", "seeds/edition2_grid_ccsds.grb", 1},
  };
  for (const auto& seed : e2e::fs::directory_iterator(dir_.path() / "seeds")) {
    cases.push_back({"", "seeds/" + seed.path().filename().string(), -1});
  }
  for (const char* path : {"\"$PWD/defs\"", "defs", "\"$PWD/linked\"", "\"$PWD/farm\"", "relative",
                           "\"$PWD/local:$PWD/defs\"", "\"::$PWD/missing::$PWD/farm:\""}) {
    cases.push_back({"ECCODES_DEFINITION_PATH=" + std::string(path) + " ", fixture("sample.grb"), 0});
  }
  // A folder too large to look through in full: the look stops, and says so
  // (where Landlock is there and not switched off, as the sanitized suite does).
  const char* switched_off = std::getenv(common::kNoSandboxVariable);
  const int abi = switched_off != nullptr && *switched_off != '\0' ? 0 : common::landlock_abi();
  cases.push_back({"ECCODES_EXTRA_SAMPLES_PATH=\"$PWD/many\" ", fixture("sample.grb"), 0,
                   abi == 0 ? "" : "dorvel: confinement: stopped looking for links after 50000 entries"});
  // Where the machine has them, and the build can run with them (not sanitized).
  const std::string background_thread =
      "LD_PRELOAD=libjemalloc.so.2 MALLOC_CONF=background_thread:true ";
  const e2e::RunResult allocator = run(background_thread + quoted(kDorvel) + " --version");
  if (allocator.status == 0 && allocator.err.empty()) {
    cases.push_back({background_thread, fixture("sample.grb"), 0,
                     abi == 0 || abi >= common::kLandlockEveryThreadAbi
                         ? ""
                         : "dorvel: confinement: Landlock holds on the confining thread only: 1 "
                           "other thread was started before it"});
  }
  if (run("valgrind -q " + quoted(kDorvel) + " --version").status == 0) {
    cases.push_back({"valgrind -q ", fixture("sample.grb"), 0, "-"});
  }
  for (const Case& c : cases) {
    const std::string command = c.environment + quoted(kDorvel) + " " + quoted(c.input);
    const e2e::RunResult free = run("GRIB_TOOLS_NO_SANDBOX=1 " + command + " free.grb");
    const e2e::RunResult confined = run(command + " confined.grb");
    if (c.status >= 0) {
      EXPECT_EQ(confined.status, c.status) << command << "\n" << confined.err;
    }
    EXPECT_EQ(confined.status, free.status) << command;
    EXPECT_EQ(confined.out, free.out) << command;
    if (c.note != "-") {
      const std::size_t note_end = c.note.empty() ? 0 : confined.err.find('\n') + 1;
      EXPECT_EQ(confined.err.substr(0, c.note.size()), c.note) << command;
      EXPECT_EQ(confined.err.substr(note_end), free.err) << command;
    }
    EXPECT_EQ(test_gribs::read_file(dir_.file("confined.grb")),
              test_gribs::read_file(dir_.file("free.grb")))
        << command;
  }
}

// ecCodes asserts when it cannot allocate what a damaged grid asks for; the
// run ends through the fatal path instead of an abort.
TEST_F(OddFiles, AnAssertionInsideEccodesIsAFatalFailure) {
  const e2e::RunResult result =
      run(quoted(kDorvel) + " " + quoted(fixture("bitmap_huge_grid.grb")) + " out.grb");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find("bitmap_huge_grid.grb: message 1: ecCodes assertion failed"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(e2e::fs::file_size(dir_.file("out.grb")), 0u);
  // quimbrel never decodes it: the messages are copied.
  const e2e::RunResult copy =
      run(quoted(kQuimbrel) + " " + quoted(fixture("bitmap_huge_grid.grb")) + " copy.grb -1");
  EXPECT_EQ(copy.status, 0);
}

}  // namespace
