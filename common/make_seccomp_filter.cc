// SPDX-License-Identifier: Apache-2.0
// Run at build time: writes the confined run's seccomp allow-list as a BPF
// program, a C++ initializer list of sock_filter, for this architecture
// (libseccomp names the calls and lays out the architecture checks). The run
// then only puts its output descriptor and process id in place of two
// placeholders and hands the program to the kernel: libseccomp's rule
// building and compiling would cost it more than half a millisecond at every
// start.
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <vector>

#include "common/seccomp_placeholders.h"

namespace {

// Calls a run makes once confined, whatever their arguments: reading its
// input and ecCodes' files (whose opens Landlock judges), looking at files,
// memory, signals of its own, time, ending. Names this architecture lacks
// are left out by libseccomp. The others are allowed with the arguments a
// run gives them, as main() sets out.
const int kAllowedCalls[] = {
    SCMP_SYS(close),        SCMP_SYS(fstat),
    SCMP_SYS(fstat64),      SCMP_SYS(fstatat64),      SCMP_SYS(newfstatat),
    SCMP_SYS(stat),         SCMP_SYS(stat64),         SCMP_SYS(lstat),
    SCMP_SYS(lstat64),      SCMP_SYS(statx),          SCMP_SYS(access),
    SCMP_SYS(faccessat),    SCMP_SYS(faccessat2),     SCMP_SYS(readlink),
    SCMP_SYS(readlinkat),   SCMP_SYS(getcwd),         SCMP_SYS(getdents),
    SCMP_SYS(getdents64),   SCMP_SYS(brk),            SCMP_SYS(munmap),
    SCMP_SYS(mremap),       SCMP_SYS(rt_sigaction),   SCMP_SYS(rt_sigprocmask),
    SCMP_SYS(rt_sigreturn), SCMP_SYS(sigreturn),      SCMP_SYS(sigaltstack),
    SCMP_SYS(futex),        SCMP_SYS(futex_time64),   SCMP_SYS(clock_gettime),
    SCMP_SYS(clock_gettime64), SCMP_SYS(gettimeofday), SCMP_SYS(time),
    SCMP_SYS(getpid),       SCMP_SYS(gettid),         SCMP_SYS(getuid),
    SCMP_SYS(geteuid),      SCMP_SYS(getgid),         SCMP_SYS(getegid),
    SCMP_SYS(sched_yield),  SCMP_SYS(getrandom),      SCMP_SYS(restart_syscall),
    SCMP_SYS(exit),         SCMP_SYS(exit_group),
    // A thread that a preloaded library started just before confinement
    // finishes starting: its own restartable sequences and futex list.
    SCMP_SYS(rseq),         SCMP_SYS(set_robust_list),
};

// Open flags a confined run never uses: it writes to no newly opened file,
// and O_PATH would let it look at any file past Landlock.
constexpr std::uint64_t kRefusedOpenFlags = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_PATH;
// The lower 32 bits of an argument that the kernel takes as an int.
constexpr std::uint64_t kIntBits = 0xFFFFFFFFULL;
// What the allocators ask of madvise: no MADV_REMOVE (it punches holes in the
// file behind a shared mapping) and none of the privileged kinds.
const std::uint64_t kAllowedAdvice[] = {MADV_NORMAL,    MADV_RANDOM,   MADV_SEQUENTIAL,
                                        MADV_WILLNEED,  MADV_DONTNEED, MADV_FREE,
                                        MADV_HUGEPAGE,  MADV_NOHUGEPAGE, MADV_DONTDUMP,
                                        MADV_DODUMP};

scmp_filter_ctx filter;

// Argument `index` compared by `op` with `a` (SCMP_CMP_EQ), or under mask `a`
// with `b` (SCMP_CMP_MASKED_EQ): what libseccomp's SCMP_A0 .. SCMP_A5 macros
// build, without their C compound literals.
scmp_arg_cmp argument(unsigned index, scmp_compare op, std::uint64_t a, std::uint64_t b = 0) {
  return scmp_arg_cmp{index, op, a, b};
}

void allow(int call, std::initializer_list<scmp_arg_cmp> arguments = {}) {
  // libseccomp leaves out, without an error, a call this architecture lacks.
  if (seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, call, static_cast<unsigned>(arguments.size()),
                             arguments.begin()) != 0) {
    std::fprintf(stderr, "make_seccomp_filter: a rule for call %d was refused\n", call);
    std::exit(1);
  }
}

// `call` on every descriptor above standard error: descriptor 3, or any with
// a bit from 2 up set (only the lower 32 bits name the descriptor).
void allow_above_console(int call) {
  allow(call, {argument(0, SCMP_CMP_MASKED_EQ, kIntBits, STDERR_FILENO + 1)});
  for (unsigned bit = 2; bit < 32; ++bit) {
    allow(call, {argument(0, SCMP_CMP_MASKED_EQ, 1ULL << bit, 1ULL << bit)});
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seccomp_filter OUTPUT_FILE\n");
    return 2;
  }
  // The program is made for the kernels it will run on, not for the one that
  // builds it (under an emulator, none): the API level that knows
  // SECCOMP_RET_KILL_PROCESS (Linux 4.14) is set, not probed.
  constexpr unsigned kApiWithKillProcess = 3;
  if (seccomp_api_set(kApiWithKillProcess) != 0) return 1;
  filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
  if (filter == nullptr) return 1;
  // A call from another architecture (int 0x80 on x86-64, x32) ends the
  // whole process, not only the thread that made it.
  if (seccomp_attr_set(filter, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS) != 0) return 1;
  for (const int call : kAllowedCalls) allow(call);
  // Writes to the console and the output; positioned writes and truncation to
  // the output alone, so that nothing the caller wrote to the console earlier
  // can be rewritten.
  const scmp_arg_cmp is_output = argument(0, SCMP_CMP_MASKED_EQ, kIntBits, common::kOutputPlaceholder);
  for (const std::uint64_t descriptor :
       {std::uint64_t{STDOUT_FILENO}, std::uint64_t{STDERR_FILENO}, std::uint64_t{common::kOutputPlaceholder}}) {
    const scmp_arg_cmp is_open_file = argument(0, SCMP_CMP_MASKED_EQ, kIntBits, descriptor);
    for (const int call : {SCMP_SYS(write), SCMP_SYS(writev)}) allow(call, {is_open_file});
  }
  for (const int call : {SCMP_SYS(pwrite64), SCMP_SYS(ftruncate), SCMP_SYS(ftruncate64)}) {
    allow(call, {is_output});
  }
  // Reads and seeks of the input and ecCodes' files, never of the standard
  // descriptors: a run reads no standard input (an input named /dev/stdin is
  // opened on a descriptor of its own), so it can neither drain a caller's
  // list of names nor take a terminal's keystrokes, nor move the console's
  // shared offset.
  for (const int call : {SCMP_SYS(read), SCMP_SYS(readv), SCMP_SYS(pread64), SCMP_SYS(preadv),
                         SCMP_SYS(preadv2), SCMP_SYS(lseek), SCMP_SYS(_llseek)}) {
    allow_above_console(call);
  }
  // Descriptor flags are read, never set: no duplicates, no O_APPEND taken
  // away, no O_NONBLOCK on a shared input, no leases, owners or signals.
  for (const int call : {SCMP_SYS(fcntl), SCMP_SYS(fcntl64)}) {
    for (const int command : {F_GETFD, F_GETFL}) {
      allow(call, {argument(1, SCMP_CMP_MASKED_EQ, kIntBits, static_cast<std::uint64_t>(command))});
    }
  }
  // stdio asks whether a stream is a terminal; nothing else of ioctl. Newer C
  // libraries (glibc 2.42) ask with TCGETS2, where the architecture has it.
  allow(SCMP_SYS(ioctl), {argument(1, SCMP_CMP_MASKED_EQ, kIntBits, TCGETS)});
#ifdef TCGETS2
  allow(SCMP_SYS(ioctl), {argument(1, SCMP_CMP_MASKED_EQ, kIntBits, TCGETS2)});
#endif
  allow(SCMP_SYS(openat), {argument(2, SCMP_CMP_MASKED_EQ, kRefusedOpenFlags, 0)});
  allow(SCMP_SYS(open), {argument(1, SCMP_CMP_MASKED_EQ, kRefusedOpenFlags, 0)});
  // Private memory only, never executable: a shared mapping of the output
  // would write past the filter.
  const scmp_arg_cmp not_executable = argument(2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0);
  for (const int call : {SCMP_SYS(mmap), SCMP_SYS(mmap2)}) {
    allow(call, {not_executable, argument(3, SCMP_CMP_MASKED_EQ, MAP_SHARED, 0)});
  }
  allow(SCMP_SYS(mprotect), {not_executable});
  for (const std::uint64_t advice : kAllowedAdvice) {
    allow(SCMP_SYS(madvise), {argument(2, SCMP_CMP_MASKED_EQ, kIntBits, advice)});
  }
  // Signals and limits for this process only: the re-raise of a stop signal.
  const scmp_arg_cmp is_self = argument(0, SCMP_CMP_EQ, common::kProcessPlaceholder);
  for (const int call : {SCMP_SYS(kill), SCMP_SYS(tgkill), SCMP_SYS(tkill)}) allow(call, {is_self});
  // Its own limits read, never set: an operator's ulimit -f and -c hold.
  allow(SCMP_SYS(prlimit64), {argument(0, SCMP_CMP_EQ, 0), argument(2, SCMP_CMP_EQ, 0)});
  // clone3's flags are out of the filter's reach: "not implemented" makes the
  // C library fall back to clone, which is refused.
  if (seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) != 0) return 1;

  // The program, as the kernel takes it, through a pipe.
  int bytes[2];
  if (::pipe(bytes) != 0 || seccomp_export_bpf(filter, bytes[1]) != 0) return 1;
  ::close(bytes[1]);
  std::vector<sock_filter> program;
  sock_filter instruction{};
  while (::read(bytes[0], &instruction, sizeof instruction) == sizeof instruction) {
    program.push_back(instruction);
  }
  seccomp_release(filter);
  // Each placeholder must be there to be replaced.
  int placeholders = 0;
  for (const sock_filter& each : program) {
    if (each.k == common::kOutputPlaceholder) placeholders |= 1;
    if (each.k == common::kProcessPlaceholder) placeholders |= 2;
  }
  std::FILE* output = std::fopen(argv[1], "w");
  if (output == nullptr || program.empty() || placeholders != 3) return 1;
  std::fprintf(output, "// Made by make_seccomp_filter at build time: %zu instructions.\n",
               program.size());
  for (const sock_filter& each : program) {
    std::fprintf(output, "{0x%04x, %u, %u, 0x%08xU},\n", each.code, each.jt, each.jf, each.k);
  }
  return std::fclose(output) == 0 ? 0 : 1;
}
