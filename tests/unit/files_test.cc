// SPDX-License-Identifier: Apache-2.0
#include "common/c_owners.h"
#include "common/fatal.h"
#include "common/message_reader.h"
#include "common/message_scan.h"
#include "common/output_file.h"
#include "common/landlock.h"
#include "common/run_files.h"
#include "common/sandbox.h"
#include "dorvel/field_decoding.h"

#include <eccodes.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/ioctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <linux/filter.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/fixtures/test_gribs.h"

namespace {

namespace fs = std::filesystem;

const std::string kFixtures = TEST_GRIBS_DIR;

// The sequence a reader sees: each message's bytes, then "end" or "error".
// With `keep`, each message's bytes are taken only when the reader releases
// them (or at the end), as quimbrel's output takes them.
std::vector<std::string> reader_outcomes(std::FILE* input, bool build_handles,
                                         std::size_t buffer_bytes = common::kInputBufferBytes,
                                         bool keep = false) {
  std::vector<std::string> outcomes;
  std::vector<common::ReadOutcome> kept;
  const auto take_kept = [&] {
    for (const common::ReadOutcome& message : kept) {
      outcomes.emplace_back(reinterpret_cast<const char*>(message.bytes), message.size);
    }
    kept.clear();
  };
  common::MessageReader reader(::fileno(input), buffer_bytes);
  if (keep) reader.set_release(take_kept);
  for (;;) {
    const common::ReadOutcome outcome = reader.next();
    if (outcome.status != common::ReadStatus::kMessage) {
      take_kept();
      outcomes.push_back(outcome.status == common::ReadStatus::kEndOfFile ? "end" : "error");
      return outcomes;
    }
    if (build_handles) {
      try {
        dorvel::DecodeBuffer buffer;
        dorvel::load_message(buffer, outcome, common::ArgumentField("in.grb"), 1);
      } catch (const common::FatalError&) {
        outcomes.push_back("error");
        return outcomes;
      }
    }
    kept.push_back(outcome);
    if (!keep) take_kept();
  }
}

// Read from the file itself: one reused buffer.
std::vector<std::string> framed_outcomes(const std::string& path, bool build_handles,
                                         std::size_t buffer_bytes = common::kInputBufferBytes,
                                         bool keep = false) {
  common::FilePtr input(std::fopen(path.c_str(), "r"));
  EXPECT_TRUE(input) << path;
  if (!input) return {};
  return reader_outcomes(input.get(), build_handles, buffer_bytes, keep);
}

// Read through a pipe, which cannot seek, keeping messages (by default).
std::vector<std::string> piped_outcomes(const std::string& path,
                                        std::size_t buffer_bytes = common::kInputBufferBytes,
                                        bool keep = true) {
  std::FILE* pipe = ::popen(("cat '" + path + "'").c_str(), "r");
  EXPECT_NE(pipe, nullptr) << path;
  if (pipe == nullptr) return {};
  std::vector<std::string> outcomes = reader_outcomes(pipe, false, buffer_bytes, keep);
  ::pclose(pipe);
  return outcomes;
}

std::vector<std::string> handle_outcomes(const std::string& path) {
  std::vector<std::string> outcomes;
  common::FilePtr input(std::fopen(path.c_str(), "r"));
  if (!input) return outcomes;
  for (;;) {
    int error = CODES_SUCCESS;
    common::GribHandle handle(
        codes_handle_new_from_file(nullptr, input.get(), PRODUCT_GRIB, &error));
    if (!handle) {
      outcomes.push_back(error == CODES_SUCCESS || error == CODES_END_OF_FILE ? "end" : "error");
      return outcomes;
    }
    const void* message = nullptr;
    std::size_t size = 0;
    codes_get_message(handle.get(), &message, &size);
    outcomes.emplace_back(static_cast<const char*>(message), size);
  }
}

// Short names for failure messages: a message is shown by its size.
std::vector<std::string> summarised(const std::vector<std::string>& outcomes) {
  std::vector<std::string> names;
  for (const std::string& outcome : outcomes) {
    names.push_back(outcome == "end" || outcome == "error"
                        ? outcome
                        : "message of " + std::to_string(outcome.size()) + " bytes");
  }
  return names;
}

TEST(MessageReader, AgreesWithHandlePerMessageReadingOnDamagedFiles) {
  const std::vector<std::string> corpus = {"five.grb",
                                           "empty.grb",
                                           "not_grib.bin",
                                           "truncated_last.grb",
                                           "junk_between.grb",
                                           "junk_after.grb",
                                           "padded_zeros.grb",
                                           "text_headers.grb",
                                           "GRIB_in_junk.grb",
                                           "BUDG_in_junk.grb",
                                           "DIAG_in_junk.grb",
                                           "TIDE_in_junk.grb",
                                           "bad_end_fourth.grb",
                                           "bad_edition_fourth.grb",
                                           "long_length_fourth.grb",
                                           "short_length_fourth.grb",
                                           "bad_section_fourth.grb",
                                           "grib_word_only.grb",
                                           "sample.grb",
                                           "edition2.grb"};
  for (const std::string& name : corpus) {
    const std::string path = kFixtures + "/" + name;
    const std::vector<std::string> by_handle = handle_outcomes(path);
    EXPECT_EQ(by_handle, framed_outcomes(path, false)) << name;
    EXPECT_EQ(by_handle, framed_outcomes(path, true)) << name;
    EXPECT_EQ(summarised(by_handle), summarised(framed_outcomes(path, false))) << name;
    EXPECT_EQ(by_handle, piped_outcomes(path)) << name;
  }
}

// A field of ni x nj points on `bits` bits, every third point missing when
// `bitmap`: 3000 x 3000 points make a message over 8 MiB (in edition 1, the
// large-message coding) and a bitmap section over 1 MiB.
std::string large_message(long edition, bool bitmap, long ni, long nj, long bits) {
  test_gribs::FieldKeys keys;
  keys.edition = edition;
  keys.bitmap = bitmap;
  keys.ni = ni;
  keys.nj = nj;
  keys.bits_per_value = bits;
  std::vector<double> values(static_cast<std::size_t>(ni * nj));
  for (std::size_t point = 0; point < values.size(); ++point) {
    values[point] = bitmap && point % 3 == 0 ? 9999.0 : static_cast<double>(point % 251);
  }
  return test_gribs::encode_field(values, keys);
}

// Layouts read as ecCodes' own reader reads them, from a file and a pipe,
// taken at once and kept until released, with the usual input buffer, one of
// 1 MiB and a small one: messages of growing size, large messages of both
// editions, words and headers placed where the scan's windows and the
// buffer's end cut them.
TEST(MessageReader, ReadsWhatEccodesReadsFromFilesAndPipes) {
  const std::string path = ::testing::TempDir() + "/layout_" + std::to_string(::getpid()) + ".grb";
  const std::string first = test_gribs::small_message(1);
  const std::string rest = test_gribs::small_message(2) + test_gribs::small_message(3);
  std::string growing;
  int ordinal = 0;
  for (const long side : {3L, 40L, 10L, 300L, 20L, 400L}) {
    growing += "junk" + test_gribs::small_message(++ordinal, side, side);
  }
  const std::string large1 = large_message(1, false, 3000, 3000, 8);
  const std::string large1_bitmap = large_message(1, true, 3000, 3000, 16);
  ASSERT_GT(large1.size(), std::size_t{8} << 20);
  ASSERT_GT(large1_bitmap.size(), std::size_t{8} << 20);
  const std::string before_end = std::string(common::kInputBufferBytes - 7, '\0');
  const struct {
    std::string name;
    std::string bytes;
  } layouts[] = {
      {"growing sizes", growing},
      {"edition 1 over 8 MiB", first + large1 + rest},
      {"edition 1 over 8 MiB with a bitmap", large1_bitmap + rest},
      {"edition 2 with a bitmap over 1 MiB", first + large_message(2, true, 3000, 3000, 8) + rest},
      {"edition 2 over 8 MiB", large_message(2, false, 3000, 3000, 8) + rest},
      // Pairs a little longer than each buffer size: the second is framed
      // where the first still lies.
      {"messages a little longer than the buffer, one after another",
       first + test_gribs::small_message(4, 50, 50) + test_gribs::small_message(5, 50, 50) +
           large_message(2, false, 600, 600, 7) + large_message(2, false, 610, 600, 7) +
           large_message(2, false, 1200, 1200, 7) + large_message(2, false, 1210, 1200, 7) + rest},
      // Its 8th byte (the edition) lies past the first buffer's end.
      {"1.7 MB across the first buffer's end",
       before_end + large_message(1, false, 1300, 1300, 8) + rest},
      {"a G then zeros at the first buffer's end",
       first + std::string(common::kInputBufferBytes - first.size() - 1, 'x') + "G" +
           std::string(100, '\0') + rest},
      {"a message 254 bytes into the junk", first + std::string(254, 'x') + rest},
      {"a G before a message", first + "G" + rest},
  };
  for (const auto& layout : layouts) {
    test_gribs::write_file(path, layout.bytes);
    const std::vector<std::string> by_eccodes = handle_outcomes(path);
    EXPECT_GE(by_eccodes.size(), 3u) << layout.name;
    for (const std::size_t buffer_bytes :
         {common::kInputBufferBytes, std::size_t{1} << 20, std::size_t{4096}}) {
      const std::string context = layout.name + ", buffer " + std::to_string(buffer_bytes);
      EXPECT_EQ(framed_outcomes(path, true, buffer_bytes), by_eccodes) << context;
      EXPECT_EQ(piped_outcomes(path, buffer_bytes), by_eccodes) << context;
      EXPECT_EQ(piped_outcomes(path, buffer_bytes, false), by_eccodes) << context;
      EXPECT_EQ(framed_outcomes(path, false, buffer_bytes, true), by_eccodes) << context;
    }
  }
  std::remove(path.c_str());
}

// Every message word, lone first letter and word prefix amid junk, and a
// message itself, slid across the end of the reader's buffer at every offset,
// with a buffer of 4 KiB and with one of 5 bytes (reads as tiny as a pipe's).
TEST(MessageReader, FindsWhatEccodesFindsWhateverLiesAcrossABufferEnd) {
  const std::string path = ::testing::TempDir() + "/sliding_" + std::to_string(::getpid()) + ".grb";
  const std::string first = test_gribs::small_message(1);
  const std::string rest = test_gribs::small_message(2) + test_gribs::small_message(3);
  for (const std::size_t buffer_bytes : {std::size_t{4096}, std::size_t{5}}) {
    for (const std::string pattern :
         {"", "GRIB", "BUDG", "DIAG", "TIDE", "G", "B", "D", "T", "GR", "GRI", "BU", "BUD", "DI",
          "DIA", "TI", "TID"}) {
      for (std::size_t before_end = 0; before_end <= 8; ++before_end) {
        // The pattern (or, for none, the second message) begins `before_end`
        // bytes before the first buffer's end.
        const std::size_t start = std::max(buffer_bytes, first.size() + 8) - before_end;
        const std::string junk(start - first.size(), 'x');
        // Zeros after a lone letter or prefix: taken for a whole word, it
        // would make a header of length 0.
        const char filler = pattern.size() == common::kWordBytes ? 'x' : '\0';
        const std::string after = pattern.empty() ? "" : pattern + std::string(12, filler);
        test_gribs::write_file(path, first + junk + after + rest);
        const std::string context = pattern + " " + std::to_string(before_end) + " before the end of " +
                                    std::to_string(buffer_bytes);
        const std::vector<std::string> by_eccodes = handle_outcomes(path);
        EXPECT_EQ(framed_outcomes(path, false, buffer_bytes), by_eccodes) << context;
        EXPECT_EQ(piped_outcomes(path, buffer_bytes), by_eccodes) << context;
      }
    }
  }
  std::remove(path.c_str());
}

// The 16 bytes that open a GRIB 2 message of `length` bytes.
std::string grib2_header(std::uint64_t length) {
  std::string header = std::string("GRIB") + '\0' + '\0' + '\0' + '\2';
  for (int shift = 56; shift >= 0; shift -= 8) header += static_cast<char>(length >> shift);
  return header;
}

// A header claiming 300 MiB in a sparse file without an end marker there
// costs no buffer of that size: the reader looks for the marker first.
TEST(MessageReader, ALengthThatAFileBeliesCostsNoMemory) {
  const std::string path = ::testing::TempDir() + "/sparse_" + std::to_string(::getpid()) + ".grb";
  constexpr long long kClaimed = 300LL << 20;
  test_gribs::write_file(path, grib2_header(kClaimed));
  ASSERT_EQ(::truncate(path.c_str(), kClaimed + (1 << 20)), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    const int input = ::open(path.c_str(), O_RDONLY);
    common::MessageReader reader(input);
    ::_exit(reader.next().status == common::ReadStatus::kError ? 0 : 1);
  }
  int status = 0;
  rusage usage{};
  ASSERT_EQ(::wait4(child, &status, 0, &usage), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_LT(usage.ru_maxrss, 150 << 10) << "KiB resident";
  std::remove(path.c_str());
}

// The same header through a pipe (nothing to check it against), claiming the
// largest length a size holds: no buffer that size exists.
TEST(MessageReader, ALengthNoMemoryCanHoldIsAReadFailure) {
  const std::string path = ::testing::TempDir() + "/endless_" + std::to_string(::getpid()) + ".grb";
  const std::string first = test_gribs::small_message(1);
  test_gribs::write_file(path, first + grib2_header(~std::uint64_t{0}) + std::string(1 << 20, '\0'));
  EXPECT_EQ(piped_outcomes(path), (std::vector<std::string>{first, "error"}));
  std::remove(path.c_str());
}

// A pseudo-GRIB header with a length below 3 would make ecCodes overrun its
// stack: a read failure, while a length of 3 is ecCodes' to judge.
TEST(MessageReader, PseudoHeadersShorterThanThreeAreReadFailures) {
  const std::string path = ::testing::TempDir() + "/pseudo_" + std::to_string(::getpid()) + ".grb";
  const std::string first = test_gribs::small_message(1);
  for (const std::string word : {"BUDG", "DIAG", "TIDE"}) {
    for (const char length : {char{0}, char{1}, char{2}, char{3}}) {
      const std::string header = word + std::string(2, '\0') + length;
      EXPECT_EQ(common::overruns_eccodes(std::span<const unsigned char, common::kHeaderBytes>(
                    reinterpret_cast<const unsigned char*>(header.data()), common::kHeaderBytes)),
                length < 3);
      test_gribs::write_file(path, first + header + std::string(40, '\0') + test_gribs::small_message(2));
      const std::vector<std::string> outcomes = framed_outcomes(path, false);
      const std::vector<std::string> expected =
          length < 3 ? std::vector<std::string>{first, "error"} : handle_outcomes(path);
      EXPECT_EQ(outcomes, expected) << word << " " << int{length};
      EXPECT_EQ(piped_outcomes(path, 8), expected) << word << " " << int{length};
    }
  }
  std::remove(path.c_str());
}

class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = fs::temp_directory_path() /
                 ("files_test_" + std::to_string(::getpid()) + "_" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(directory_);
  }
  void TearDown() override { fs::remove_all(directory_); }
  std::string path(const std::string& name) const { return (directory_ / name).string(); }

  fs::path directory_;
};

void write_message(common::OutputFile& output, const std::string& bytes, std::size_t at = 0,
                   std::size_t size = std::string::npos) {
  size = std::min(size, bytes.size() - at);
  output.write(reinterpret_cast<const unsigned char*>(bytes.data()) + at, size);
}
void write_message(common::OutputFile&, std::string&&, std::size_t = 0, std::size_t = 0) = delete;

// Adjacent messages, a long one, and more messages apart from each other
// than one gathered write takes.
TEST_F(OutputFileTest, WritesMessagesInOrderAndClosesComplete) {
  const std::string adjacent = "firstsecond";
  const std::string big(std::size_t{3} << 19, 'b');
  std::vector<std::string> apart(3000);
  std::string expected = adjacent + big;
  for (std::size_t at = 0; at < apart.size(); ++at) {
    apart[at] = std::to_string(at % 10);
    expected += apart[at];
  }
  common::OutputFile output{common::ArgumentField(path("out.grb"))};
  write_message(output, adjacent, 0, 5);
  write_message(output, adjacent, 5);
  write_message(output, big);
  for (const std::string& message : apart) write_message(output, message);
  output.close();
  EXPECT_EQ(test_gribs::read_file(path("out.grb")), expected);
}

// Closing is what commits: unwinding keeps only what was written, and a
// second close does nothing.
TEST_F(OutputFileTest, OnlyCloseCommitsAndClosingTwiceIsHarmless) {
  const std::string pending = "pending message";
  const std::string whole = "whole message";
  {
    common::OutputFile output{common::ArgumentField(path("out.grb"))};
    write_message(output, pending);
  }
  EXPECT_EQ(test_gribs::read_file(path("out.grb")), "");
  common::OutputFile output{common::ArgumentField(path("out.grb"))};
  write_message(output, whole);
  output.close();
  output.close();
  EXPECT_EQ(test_gribs::read_file(path("out.grb")), whole);
}

TEST_F(OutputFileTest, OpeningInAMissingDirectoryIsFatal) {
  EXPECT_THROW(common::OutputFile{common::ArgumentField(path("missing/out.grb"))},
               common::FatalError);
}

TEST_F(OutputFileTest, AFullDeviceIsFatalAndNamesTheFile) {
  const std::string message = "message";
  common::OutputFile output{common::ArgumentField("/dev/full")};
  write_message(output, message);
  try {
    output.close();
    FAIL() << "closing on a full device succeeded";
  } catch (const common::FatalError& error) {
    EXPECT_NE(std::string(error.what()).find("/dev/full"), std::string::npos) << error.what();
    EXPECT_NE(std::string(error.what()).find("No space left"), std::string::npos) << error.what();
  }
}

// With a file-size limit in the middle of a message of a gathered write, the
// file is cut back to the end of the last whole message.
TEST_F(OutputFileTest, ASizeLimitLeavesOnlyWholeMessages) {
  constexpr std::size_t kMessage = 200000;
  const std::string adjacent(5 * kMessage, 'm');
  const std::string out = path("out.grb");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{700000, 700000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    try {
      common::OutputFile output{common::ArgumentField(out)};
      for (std::size_t at = 0; at < adjacent.size(); at += kMessage) {
        write_message(output, adjacent, at, kMessage);
      }
      output.close();
    } catch (const common::FatalError&) {
      ::_exit(3);
    }
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(fs::file_size(out), 3 * kMessage);
}

extern "C" void caller_handler(int) {}

// Once the output is complete, stop signals act as the caller had them: an
// ignored one (nohup) stays ignored, a handler of the caller's comes back.
TEST_F(OutputFileTest, ClosingGivesTheCallersStopSignalActionsBack) {
  struct sigaction saved[3];
  const int signals[] = {SIGINT, SIGTERM, SIGHUP};
  const sighandler_t callers[] = {SIG_IGN, &caller_handler, SIG_DFL};
  for (int at = 0; at < 3; ++at) {
    struct sigaction action {};
    action.sa_handler = callers[at];
    ::sigaction(signals[at], &action, &saved[at]);
  }
  common::OutputFile output{common::ArgumentField(path("out.grb"))};
  output.close();
  for (int at = 0; at < 3; ++at) {
    struct sigaction now {};
    ::sigaction(signals[at], &saved[at], &now);
    EXPECT_EQ(now.sa_handler, callers[at]) << signals[at];
  }
}

TEST(SameFile, LinksToTheInputAreTheSameFile) {
  const fs::path directory =
      fs::temp_directory_path() / ("same_file_" + std::to_string(::getpid()));
  fs::create_directories(directory);
  const std::string input_path = (directory / "in.grb").string();
  test_gribs::write_file(input_path, "data");
  fs::create_hard_link(input_path, directory / "hard.grb");
  fs::create_symlink(input_path, directory / "soft.grb");
  test_gribs::write_file((directory / "other.grb").string(), "data");
  common::FilePtr input(std::fopen(input_path.c_str(), "r"));
  for (const char* name : {"in.grb", "hard.grb", "soft.grb"}) {
    EXPECT_TRUE(
        common::is_same_file(input.get(), common::ArgumentField((directory / name).string())))
        << name;
  }
  EXPECT_FALSE(
      common::is_same_file(input.get(), common::ArgumentField((directory / "other.grb").string())));
  EXPECT_FALSE(common::is_same_file(input.get(),
                                    common::ArgumentField((directory / "absent.grb").string())));
  fs::remove_all(directory);
}

// A thread that was running before the process confined itself (an
// allocator's, a preloaded library's), doing what it is given.
class EarlierThread {
 public:
  EarlierThread() {
    std::unique_lock lock(mutex_);
    std::thread([this] { serve(); }).detach();
    changed_.wait(lock, [&] { return serving_; });
  }
  // True when `task` went through; false too when the thread was ended.
  bool run(std::function<bool()> task) {
    std::unique_lock lock(mutex_);
    task_ = std::move(task);
    changed_.notify_all();
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return !task_; }) && result_;
  }

 private:
  void serve() {
    std::unique_lock lock(mutex_);
    serving_ = true;
    changed_.notify_all();
    for (;;) {
      changed_.wait(lock, [&] { return static_cast<bool>(task_); });
      // Unlocked while it runs: a thread ended in the task holds nothing.
      lock.unlock();
      const bool result = task_();
      lock.lock();
      result_ = result;
      task_ = nullptr;
      changed_.notify_all();
    }
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<bool()> task_;
  bool result_ = false;
  bool serving_ = false;
};

// What a hijacked decoder would try once a run is confined, one row each,
// with the layers that must refuse it; and what a run needs, which every
// layer allows. A child per layer set (and unconfined) tries every row and
// writes the names of the rows that went wrong to its output, a pipe: the one
// descriptor besides the console that a confined run may write to. Its input
// is a file open for reading and writing, its console a file, its standard
// input a terminal, and a thread of its own was running before it confined
// itself.
TEST(Confinement, RefusesWhatARunNeverDoesAndAllowsWhatItNeeds) {
  const common::Confinement available = common::available_confinement();
  if (available.landlock_abi == 0 || !available.seccomp) GTEST_SKIP() << "no Landlock or seccomp";
  const int abi = available.landlock_abi;
  const fs::path directory = fs::temp_directory_path() / ("confined_" + std::to_string(::getpid()));
  fs::create_directories(directory);
  const std::string unrelated = (directory / "unrelated").string();
  test_gribs::write_file(unrelated, "data");
  const std::string input_path = (directory / "input").string();
  test_gribs::write_file(input_path, std::string(8192, 'i'));
  const std::string definitions = codes_definition_path(codes_context_get_default());
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);  // accepts, unless confinement refuses
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const pid_t other = ::fork();  // another process of the same user
  if (other == 0) {
    ::pause();
    ::_exit(0);
  }
  int inherited[2];  // a descriptor the caller handed down
  ASSERT_EQ(::pipe(inherited), 0);
  struct stat inherited_status {};
  ASSERT_EQ(::fstat(inherited[1], &inherited_status), 0);
  const ino_t inherited_inode = inherited_status.st_ino;
  const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
  // Not blocking: a read of it that goes through comes back at once.
  ::fcntl(terminal, F_SETFL, O_NONBLOCK);
  const auto started = [](pid_t child) {
    if (child == 0) ::_exit(0);
    if (child > 0) ::waitpid(child, nullptr, 0);
    return child > 0;
  };
  const unsigned L = common::kLandlockLayer, S = common::kSeccompLayer;
  const unsigned landlock_net = abi >= 4 ? L : 0, landlock_scope = abi >= 6 ? L : 0;
  const unsigned landlock_threads = abi >= common::kLandlockEveryThreadAbi ? L : 0;
  int input = -1;
  void* shared = nullptr;  // the input, mapped shared before confinement
  EarlierThread* earlier = nullptr;
  const struct {
    const char* name;
    unsigned refused_by;  // 0: allowed by every layer
    bool safe_unconfined;  // harmless, and expected to work, unconfined
    std::function<bool()> attempt;  // true when it went through
  } rows[] = {
      {"open an unrelated file", L, true, [&] { return ::open(unrelated.c_str(), O_RDONLY) >= 0; }},
      {"open any file with O_PATH", S, true, [&] { return ::open(unrelated.c_str(), O_PATH) >= 0; }},
      {"create a file", L | S, true,
       [&] { return ::open((directory / "new").c_str(), O_WRONLY | O_CREAT, 0600) >= 0; }},
      {"create a file opened for reading", L | S, true,
       [&] { return ::open((directory / "new").c_str(), O_RDONLY | O_CREAT, 0600) >= 0; }},
      {"make a symbolic link", L | S, true,
       [&] { return ::symlink(unrelated.c_str(), (directory / "new_link").c_str()) == 0; }},
      {"truncate a file by name", L | S, true, [&] { return ::truncate(unrelated.c_str(), 4) == 0; }},
      {"open ecCodes' definitions for writing", L | S, false,
       [&] { return ::open((definitions + "/boot.def").c_str(), O_WRONLY) >= 0; }},
      {"make a folder among ecCodes' definitions", L | S, false,
       [&] { return ::mkdir((definitions + "/new").c_str(), 0700) == 0 &&
                    ::rmdir((definitions + "/new").c_str()) == 0; }},
      {"chmod", S, true, [&] { return ::chmod(unrelated.c_str(), 0600) == 0; }},
      {"chown", S, true, [&] { return ::chown(unrelated.c_str(), ::geteuid(), ::getegid()) == 0; }},
      {"set times", S, true, [&] { return ::utimensat(AT_FDCWD, unrelated.c_str(), nullptr, 0) == 0; }},
      {"set an extended attribute", S, false,
       [&] { return ::setxattr(unrelated.c_str(), "user.x", "1", 1, 0) == 0; }},
      {"make a socket", S, true, [] { return ::socket(AF_UNIX, SOCK_STREAM, 0) >= 0; }},
      {"connect over TCP", landlock_net | S, true,
       [&] {
         // Not blocking: a full backlog would hold the child for minutes.
         const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
         return client >= 0 &&
                (::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ||
                 errno == EINPROGRESS);
       }},
      // Were it to go through, the child would end without its report.
      {"run a program", L | S, false, [] { return ::execl("/bin/true", "true", nullptr) == 0; }},
      {"fork", S, true, [&] { return started(::fork()); }},
      {"clone into a new namespace", S, false,
       [&] { return started(static_cast<pid_t>(::syscall(SYS_clone, CLONE_NEWUSER | SIGCHLD, 0, 0, 0, 0))); }},
      {"clone3 (ENOSYS, for the fallback to clone)", S, false, [&] {
         clone_args args{};
         args.exit_signal = SIGCHLD;
         const long child = ::syscall(SYS_clone3, &args, sizeof args);
         return errno != ENOSYS && started(static_cast<pid_t>(child));
       }},
      {"signal another process", landlock_scope | S, true, [&] { return ::kill(other, 0) == 0; }},
      {"tgkill another process", landlock_scope | S, true,
       [&] { return ::syscall(SYS_tgkill, other, other, 0) == 0; }},
      {"pidfd_send_signal to another process", landlock_scope | S, false, [&] {
         const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, other, 0));
         return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0;
       }},
      {"limit another process", S, true, [&] {
         rlimit limit{};
         return ::prlimit(other, RLIMIT_NOFILE, nullptr, &limit) == 0;
       }},
      {"ptrace another process", L | S, true, [&] {
         if (::ptrace(PTRACE_ATTACH, other, nullptr, nullptr) != 0) return false;
         ::waitpid(other, nullptr, 0);
         ::ptrace(PTRACE_DETACH, other, nullptr, nullptr);
         return true;
       }},
      {"push input into a terminal (TIOCSTI)", S, false,
       [&] { const char key = 'x'; return ::ioctl(STDIN_FILENO, TIOCSTI, &key) == 0; }},
      {"ioctl other than the terminal query", S, true,
       [&] { int bytes = 0; return ::ioctl(input, FIONREAD, &bytes) == 0; }},
      {"keep a descriptor the caller handed down (descriptor 3 too)", L | S, true, [&] {
         struct stat status {};
         return (::fstat(inherited[1], &status) == 0 && status.st_ino == inherited_inode) ||
                (::fstat(3, &status) == 0 && status.st_ino == inherited_inode);
       }},
      {"read standard input or the console", S, true, [] {
         char byte = 0;
         iovec part{&byte, 1};
         // Gone through unless refused: a terminal with nothing to read says so.
         const auto went = [](ssize_t got) { return got >= 0 || errno != EPERM; };
         return went(::read(STDIN_FILENO, &byte, 1)) || went(::readv(STDOUT_FILENO, &part, 1)) ||
                went(::pread(STDERR_FILENO, &byte, 1, 0)) ||
                went(::preadv(STDIN_FILENO, &part, 1, 0));
       }},
      {"write to the input", S, true, [&] { return ::write(input, "x", 1) == 1; }},
      {"truncate the input", S, true, [&] { return ::ftruncate(input, 8192) == 0; }},
      {"write at an offset of the console", S, true, [] { return ::pwrite(STDOUT_FILENO, "x", 1, 0) == 1; }},
      {"seek on the console", S, true, [] {
         return ::lseek(STDOUT_FILENO, 0, SEEK_SET) == 0 || ::lseek(STDERR_FILENO, 0, SEEK_SET) == 0;
       }},
      {"change or duplicate a descriptor with fcntl", S, true, [&] {
         return ::fcntl(input, F_DUPFD, 20) >= 0 || ::fcntl(STDOUT_FILENO, F_SETFL, 0) == 0 ||
                ::fcntl(input, F_SETOWN, ::getpid()) == 0 || ::fcntl(input, F_SETSIG, SIGKILL) == 0 ||
                ::fcntl(input, F_SETLEASE, F_WRLCK) == 0;
       }},
      {"lock or set an owner with fcntl's odd-numbered commands", S, true, [&] {
         flock lock{};
         lock.l_type = F_RDLCK;
         f_owner_ex owner{F_OWNER_PID, ::getpid()};
         return ::fcntl(input, F_SETLKW, &lock) == 0 || ::fcntl(input, F_SETOWN_EX, &owner) == 0;
       }},
      {"map executable memory", S, true, [] {
         return ::mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) != MAP_FAILED;
       }},
      {"make mapped memory executable", S, true, [] {
         void* page = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
         return page != MAP_FAILED && ::mprotect(page, 4096, PROT_READ | PROT_EXEC) == 0;
       }},
      {"map the input shared and writable", S, true, [&] {
         return ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, input, 0) != MAP_FAILED ||
                ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED_VALIDATE, input, 0) != MAP_FAILED;
       }},
      {"punch a hole through a shared mapping (MADV_REMOVE)", S, true,
       [&] { return ::madvise(shared, 4096, MADV_REMOVE) == 0; }},
      {"raise its own limits", S, true, [] {
         rlimit limit{};
         return ::getrlimit(RLIMIT_CORE, &limit) == 0 && ::setrlimit(RLIMIT_CORE, &limit) == 0;
       }},
      {"create a file from an earlier thread", S | landlock_threads, true, [&] {
         return earlier->run(
             [&] { return ::open((directory / "new_by_thread").c_str(), O_WRONLY | O_CREAT, 0600) >= 0; });
       }},
      {"read an unrelated file from an earlier thread", landlock_threads, true,
       [&] { return earlier->run([&] { return ::open(unrelated.c_str(), O_RDONLY) >= 0; }); }},
      {"read its limits, its descriptors' flags, seek its input", 0, true, [&] {
         rlimit limit{};
         return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && ::fcntl(input, F_GETFL) != -1 &&
                ::lseek(input, 0, SEEK_SET) == 0;
       }},
      {"read ecCodes' definitions", 0, true,
       [&] { return ::open((definitions + "/boot.def").c_str(), O_RDONLY) >= 0; }},
      {"signal itself", 0, true, [] { return ::kill(::getpid(), 0) == 0 && ::raise(SIGWINCH) == 0; }},
      {"ask whether the console is a terminal", 0, true, [] { termios modes{}; return ::tcgetattr(STDIN_FILENO, &modes) == 0; }},
  };
  for (const auto& [layers, variable] :
       {std::pair{L | S, ""}, std::pair{L, "0"}, std::pair{S, "0"}, std::pair{L | S, "1"}}) {
    const bool off = std::string(variable) == "1";
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(report[0]);
      // Descriptor 3, the first a caller can hand down, holds one too.
      if (report[1] == 3) report[1] = ::dup(report[1]);
      ::dup2(inherited[1], 3);
      // An empty value is no request to switch off; the sanitized suite sets it.
      ::setenv(common::kNoSandboxVariable, off ? "1" : "", 1);
      const int console = ::open((directory / "console").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      input = ::open(input_path.c_str(), O_RDWR);
      shared = ::mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_SHARED, input, 0);
      if (::dup2(terminal, STDIN_FILENO) < 0 || ::dup2(console, STDOUT_FILENO) < 0 ||
          ::dup2(console, STDERR_FILENO) < 0 || shared == MAP_FAILED) {
        ::_exit(1);
      }
      earlier = new EarlierThread;
      // UndefinedBehaviorSanitizer looks an object's type up the first time
      // with a pipe, which the filter refuses: once before, for FatalError.
      try {
        common::check(CODES_IO_PROBLEM, "before confinement");
      } catch (const common::FatalError&) {
      }
      const common::Confinement applied = common::confine_run(input, report[1], layers);
      std::string wrong;
      const bool landlock = !off && (layers & L) != 0;
      if ((applied.landlock_abi != 0) != landlock) wrong += "landlock applied; ";
      if (applied.landlock_every_thread != (landlock && landlock_threads != 0)) wrong += "landlock on every thread; ";
      if (applied.seccomp != (!off && (layers & S) != 0)) wrong += "seccomp applied; ";
      for (const auto& row : rows) {
        const bool refused = !off && (row.refused_by & layers) != 0;
        if (!refused && !row.safe_unconfined && row.refused_by != 0) continue;
        if (row.attempt() == refused) wrong += std::string(row.name) + "; ";
      }
      // A failure after a refusal says that confinement may be behind it.
      for (const int refusal : {EACCES, EPERM}) {
        errno = refusal;
        if (common::sandbox_refusal_note().empty() != off) wrong += "the refusal note; ";
        errno = refusal;
        try {
          common::check(CODES_IO_PROBLEM, "reading");
        } catch (const common::FatalError& failure) {
          const bool noted = std::string(failure.what()).find(common::kNoSandboxVariable) != std::string::npos;
          if (noted == off) wrong += "check()'s report; ";
        }
      }
      wrong += "done";
      ::_exit(::write(report[1], wrong.data(), wrong.size()) == static_cast<ssize_t>(wrong.size()) ? 0 : 1);
    }
    ::close(report[1]);
    std::string wrong(4096, '\0');
    wrong.resize(static_cast<std::size_t>(std::max<ssize_t>(0, ::read(report[0], wrong.data(), wrong.size()))));
    ::close(report[0]);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(wrong, "done") << "layers " << layers << ", " << common::kNoSandboxVariable << "="
                             << variable;
    for (const char* made : {"new", "new_link", "new_by_thread"}) fs::remove(directory / made);
  }
#if defined(__x86_64__)
  // A call of another architecture ends the whole process, even from a thread
  // other than the confining one: an x32 call from an earlier thread, and an
  // i386 socket() through int 0x80 where the kernel runs i386 calls at all.
  // Each gives the signal that ended the child; 0 when the call went through,
  // -1 when it came back failed.
  const auto ended_by = [](bool confined, const std::function<long()>& call) {
    const pid_t child = ::fork();
    if (child == 0) {
      ::setenv(common::kNoSandboxVariable, "", 1);
      EarlierThread thread;
      if (confined) common::confine_run(-1, -1, common::kSeccompLayer);
      ::_exit(thread.run([&] { return call() >= 0; }) ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status) == 0 ? 0 : -1;
  };
  const auto x32_getpid = [] { return ::syscall(0x40000000 | SYS_getpid); };
  const auto i386_socket = [] {
    long result = 0;
    asm volatile("int $0x80" : "=a"(result) : "a"(359), "b"(AF_UNIX), "c"(SOCK_STREAM), "d"(0)
                 : "memory", "r8", "r9", "r10", "r11");
    return result;
  };
  EXPECT_EQ(ended_by(true, x32_getpid), SIGSYS);
  if (ended_by(false, i386_socket) == 0) {
    EXPECT_EQ(ended_by(true, i386_socket), SIGSYS);
  }
#endif
  ::kill(other, SIGKILL);
  ::waitpid(other, nullptr, 0);
  ::close(listener);
  fs::remove_all(directory);
}

#ifndef SYS_landlock_create_ruleset
#define SYS_landlock_create_ruleset 444
#define SYS_landlock_restrict_self 446
#endif

// A layer the kernel offers that cannot be applied ends the run, naming the
// layer, the kernel's reason and the switch, and --version says that runs
// refuse: a thread started earlier that holds a seccomp filter of its own
// (the synchronised install cannot bring it along), and a caller nested in as
// many Landlock layers as the kernel allows.
TEST(Confinement, ALayerThatCannotBeAppliedRefusesTheRun) {
  const common::Confinement available = common::available_confinement();
  if (available.landlock_abi == 0 || !available.seccomp) GTEST_SKIP() << "no Landlock or seccomp";
  const struct {
    const char* name;
    unsigned layer;
    std::string said;
    std::function<void()> set_up;
  } cases[] = {
      {"seccomp", common::kSeccompLayer,
       "confinement: the seccomp layer could not be applied (thread ",
       [] {
         // Started before confinement, it installs a filter of its own, which allows all.
         auto* thread = new EarlierThread;
         thread->run([] {
           sock_filter allow_all[] = {{BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW}};
           const sock_fprog program{1, allow_all};
           return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
                  ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
         });
       }},
      {"Landlock", common::kLandlockLayer,
       "confinement: the Landlock layer could not be applied (landlock_restrict_self: ",
       [] {
         // Layers that each refuse only the making of FIFOs, until the kernel takes no more.
         std::uint64_t make_fifo = 1ULL << 10;
         const long ruleset = ::syscall(SYS_landlock_create_ruleset, &make_fifo, sizeof make_fifo, 0U);
         ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
         while (::syscall(SYS_landlock_restrict_self, ruleset, 0U) == 0) {
         }
       }},
  };
  for (const auto& c : cases) {
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      ::setenv(common::kNoSandboxVariable, "", 1);
      // Confining closes the descriptors above standard error: the report goes there.
      ::dup2(report[1], STDERR_FILENO);
      c.set_up();
      std::string said = common::sandbox_line();
      try {
        common::confine_run(-1, -1, c.layer);
        said += "went on";
      } catch (const common::FatalError& failure) {
        said += failure.what();
      }
      ::_exit(::write(STDERR_FILENO, said.data(), said.size()) == static_cast<ssize_t>(said.size()) ? 0 : 1);
    }
    ::close(report[1]);
    std::string said(4096, '\0');
    said.resize(static_cast<std::size_t>(std::max<ssize_t>(0, ::read(report[0], said.data(), said.size()))));
    ::close(report[0]);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(said.rfind("sandbox: runs refuse to start: " + c.said, 0), 0u) << c.name << ": " << said;
    const std::size_t line_end = said.find('\n') + 1;
    EXPECT_EQ(said.substr(line_end).rfind(c.said, 0), 0u) << c.name << ": " << said;
    EXPECT_NE(said.find(std::string(common::kNoSandboxVariable) + "=1", line_end), std::string::npos)
        << c.name << ": " << said;
  }
}

}  // namespace
