// SPDX-License-Identifier: Apache-2.0
#include "common/sandbox.h"

#include <dirent.h>
#include <eccodes.h>
#include <fcntl.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace common {
namespace {

// Landlock's kernel interface, which is stable: its system call numbers are
// the same on every architecture, and its rights and structures are declared
// here so that older kernel headers (without them, or without the later
// rights) build the same program.
#ifndef SYS_landlock_create_ruleset
#define SYS_landlock_create_ruleset 444
#define SYS_landlock_add_rule 445
#define SYS_landlock_restrict_self 446
#endif
constexpr unsigned kCreateRulesetVersion = 1U << 0;
constexpr int kRulePathBeneath = 1;
constexpr std::uint64_t kFsReadFile = 1ULL << 2;
constexpr std::uint64_t kFsReadDir = 1ULL << 3;
// Rights by the ABI that brought them.
constexpr std::uint64_t kFsRightsOfAbi1 = (1ULL << 13) - 1;  // execute .. make symlink
constexpr std::uint64_t kFsRefer = 1ULL << 13;               // ABI 2
constexpr std::uint64_t kFsTruncate = 1ULL << 14;            // ABI 3
constexpr std::uint64_t kFsIoctlDev = 1ULL << 15;            // ABI 5
constexpr std::uint64_t kNetBindTcp = 1ULL << 0;             // ABI 4
constexpr std::uint64_t kNetConnectTcp = 1ULL << 1;          // ABI 4
constexpr std::uint64_t kScopeAbstractUnixSocket = 1ULL << 0;  // ABI 6
constexpr std::uint64_t kScopeSignal = 1ULL << 1;              // ABI 6
constexpr int kFirstNetAbi = 4;
constexpr int kFirstScopeAbi = 6;

// The ruleset attribute up to ABI 6; an older kernel is given only the part
// it knows.
struct RulesetAttr {
  std::uint64_t handled_access_fs;
  std::uint64_t handled_access_net;
  std::uint64_t scoped;
};
struct __attribute__((packed)) PathBeneathAttr {
  std::uint64_t allowed_access;
  std::int32_t parent_fd;
};
static_assert(sizeof(PathBeneathAttr) == 12);

// Calls a run makes once confined, whatever their arguments: reading its
// input and ecCodes' files (whose opens Landlock judges), looking at files,
// memory, signals of its own, time, ending. Names this architecture lacks
// are left out by libseccomp.
const int kAllowedCalls[] = {
    SCMP_SYS(read),          SCMP_SYS(readv),           SCMP_SYS(pread64),
    SCMP_SYS(preadv),        SCMP_SYS(preadv2),         SCMP_SYS(lseek),
    SCMP_SYS(_llseek),       SCMP_SYS(close),           SCMP_SYS(fstat),
    SCMP_SYS(fstat64),       SCMP_SYS(fstatat64),       SCMP_SYS(newfstatat),
    SCMP_SYS(stat),          SCMP_SYS(stat64),          SCMP_SYS(lstat),
    SCMP_SYS(lstat64),       SCMP_SYS(statx),           SCMP_SYS(access),
    SCMP_SYS(faccessat),     SCMP_SYS(faccessat2),      SCMP_SYS(readlink),
    SCMP_SYS(readlinkat),    SCMP_SYS(getcwd),          SCMP_SYS(getdents),
    SCMP_SYS(getdents64),    SCMP_SYS(fcntl),           SCMP_SYS(fcntl64),
    SCMP_SYS(brk),           SCMP_SYS(munmap),          SCMP_SYS(mremap),
    SCMP_SYS(madvise),       SCMP_SYS(rt_sigaction),    SCMP_SYS(rt_sigprocmask),
    SCMP_SYS(rt_sigreturn),  SCMP_SYS(sigreturn),       SCMP_SYS(sigaltstack),
    SCMP_SYS(futex),         SCMP_SYS(futex_time64),    SCMP_SYS(clock_gettime),
    SCMP_SYS(clock_gettime64), SCMP_SYS(gettimeofday),  SCMP_SYS(time),
    SCMP_SYS(getpid),        SCMP_SYS(gettid),          SCMP_SYS(getuid),
    SCMP_SYS(geteuid),       SCMP_SYS(getgid),          SCMP_SYS(getegid),
    SCMP_SYS(sched_yield),   SCMP_SYS(getrandom),       SCMP_SYS(restart_syscall),
    SCMP_SYS(exit),          SCMP_SYS(exit_group),
};

// Open flags a confined run never uses: it writes to no newly opened file,
// and O_PATH would let it look at any file past Landlock.
constexpr std::uint64_t kRefusedOpenFlags = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_PATH;
// The lower 32 bits of an argument that the kernel takes as an int.
constexpr std::uint64_t kIntBits = 0xFFFFFFFFULL;

// The folders ecCodes is told of by its environment; only then are their
// symbolic links followed (the packaged folders are taken as they stand).
constexpr const char* kFolderVariables[] = {
    "ECCODES_DEFINITION_PATH", "ECCODES_EXTRA_DEFINITION_PATH", "GRIB_DEFINITION_PATH",
    "ECCODES_SAMPLES_PATH",    "ECCODES_EXTRA_SAMPLES_PATH",    "GRIB_SAMPLES_PATH",
};

bool confined = false;

bool sandbox_switched_off() {
  const char* value = std::getenv(kNoSandboxVariable);
  return value != nullptr && *value != '\0';
}

int landlock_abi() {
  const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, kCreateRulesetVersion);
  return abi > 0 ? static_cast<int>(abi) : 0;
}

std::uint64_t handled_fs_rights(int abi) {
  std::uint64_t rights = kFsRightsOfAbi1;
  if (abi >= 2) rights |= kFsRefer;
  if (abi >= 3) rights |= kFsTruncate;
  if (abi >= 5) rights |= kFsIoctlDev;
  return rights;
}

// Adds the Landlock rules for ecCodes' folders.
class ReadRules {
 public:
  ReadRules(int ruleset, bool follow_links) : ruleset_(ruleset), follow_links_(follow_links) {}

  // Allows reading beneath `path` (a folder or a file); a missing path is
  // skipped. With follow_links, a link inside a folder that leads out of it
  // (a site's farm of links) is allowed where it leads.
  void allow(const std::string& path) {
    if (path.empty()) return;
    const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) return;
    struct stat status {};
    if (::fstat(fd, &status) == 0) {
      PathBeneathAttr rule{kFsReadFile, fd};
      if (S_ISDIR(status.st_mode)) rule.allowed_access |= kFsReadDir;
      ::syscall(SYS_landlock_add_rule, ruleset_, kRulePathBeneath, &rule, 0);
      if (follow_links_ && S_ISDIR(status.st_mode)) walk(path, status);
    }
    ::close(fd);
  }

  // Each folder of a colon-separated list, as ecCodes gives them (empty and
  // missing entries are passed over, as ecCodes does).
  void allow_each(const char* list) {
    if (list == nullptr) return;
    std::string_view rest(list);
    for (;;) {
      const std::size_t colon = rest.find(':');
      allow(std::string(rest.substr(0, colon)));
      if (colon == std::string_view::npos) return;
      rest.remove_prefix(colon + 1);
    }
  }

 private:
  // Looks through a folder for links that may lead out of it: those whose
  // target is absolute or climbs with "..". Each folder once.
  void walk(const std::string& folder, const struct stat& status) {
    for (const auto& [device, inode] : walked_) {
      if (device == status.st_dev && inode == status.st_ino) return;
    }
    walked_.emplace_back(status.st_dev, status.st_ino);
    DIR* entries = ::opendir(folder.c_str());
    if (entries == nullptr) return;
    while (const dirent* entry = ::readdir(entries)) {
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string path = folder + "/" + std::string(name);
      unsigned char type = entry->d_type;
      struct stat entry_status {};
      if (type == DT_UNKNOWN && ::lstat(path.c_str(), &entry_status) == 0) {
        type = S_ISLNK(entry_status.st_mode) ? DT_LNK : S_ISDIR(entry_status.st_mode) ? DT_DIR : DT_REG;
      }
      if (type == DT_DIR) {
        if (::stat(path.c_str(), &entry_status) == 0) walk(path, entry_status);
      } else if (type == DT_LNK && leads_out(::dirfd(entries), entry->d_name)) {
        allow(path);
      }
    }
    ::closedir(entries);
  }

  static bool leads_out(int folder, const char* name) {
    char target[4096];
    const ssize_t length = ::readlinkat(folder, name, target, sizeof target);
    if (length <= 0) return false;
    const std::string_view text(target, static_cast<std::size_t>(length));
    return text.front() == '/' || text.find("..") != std::string_view::npos;
  }

  int ruleset_;
  bool follow_links_;
  std::vector<std::pair<dev_t, ino_t>> walked_;
};

bool folders_named_by_environment() {
  for (const char* variable : kFolderVariables) {
    if (std::getenv(variable) != nullptr) return true;
  }
  return false;
}

int apply_landlock() {
  const int abi = landlock_abi();
  if (abi == 0) return 0;
  RulesetAttr attr{handled_fs_rights(abi), kNetBindTcp | kNetConnectTcp,
                   kScopeAbstractUnixSocket | kScopeSignal};
  const std::size_t attr_size = abi >= kFirstScopeAbi ? sizeof attr
                                : abi >= kFirstNetAbi ? 2 * sizeof(std::uint64_t)
                                                      : sizeof(std::uint64_t);
  const long ruleset = ::syscall(SYS_landlock_create_ruleset, &attr, attr_size, 0U);
  if (ruleset < 0) return 0;
  const int ruleset_fd = static_cast<int>(ruleset);
  codes_context* context = codes_context_get_default();
  ReadRules rules(ruleset_fd, folders_named_by_environment());
  rules.allow_each(codes_definition_path(context));
  rules.allow_each(codes_samples_path(context));
  const bool applied = ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
                       ::syscall(SYS_landlock_restrict_self, ruleset_fd, 0U) == 0;
  ::close(ruleset_fd);
  return applied ? abi : 0;
}

// Adds one rule; false when libseccomp refuses it (a call this architecture
// lacks is left out without an error).
bool allow(scmp_filter_ctx filter, int call, std::initializer_list<scmp_arg_cmp> arguments = {}) {
  return seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, call,
                                static_cast<unsigned>(arguments.size()), arguments.begin()) == 0;
}

bool apply_seccomp(int output_descriptor) {
  // The base level of the kernel interface (filters loaded through prctl) is
  // all this filter needs; naming it spares libseccomp probing the kernel's
  // other levels at every start.
  seccomp_api_set(1);
  const scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
  if (filter == nullptr) return false;
  const auto own_pid = static_cast<std::uint64_t>(::getpid());
  bool applied = true;
  for (const int call : kAllowedCalls) applied = allow(filter, call) && applied;
  for (const int descriptor : {STDOUT_FILENO, STDERR_FILENO, output_descriptor}) {
    const scmp_arg_cmp is_open_file =
        SCMP_A0(SCMP_CMP_MASKED_EQ, kIntBits, static_cast<std::uint64_t>(descriptor));
    for (const int call : {SCMP_SYS(write), SCMP_SYS(writev), SCMP_SYS(pwrite64)}) {
      applied = allow(filter, call, {is_open_file}) && applied;
    }
  }
  const scmp_arg_cmp is_output = SCMP_A0(SCMP_CMP_MASKED_EQ, kIntBits,
                                         static_cast<std::uint64_t>(output_descriptor));
  applied = allow(filter, SCMP_SYS(ftruncate), {is_output}) && applied;
  applied = allow(filter, SCMP_SYS(ftruncate64), {is_output}) && applied;
  // stdio asks whether a stream is a terminal; nothing else of ioctl.
  applied = allow(filter, SCMP_SYS(ioctl), {SCMP_A1(SCMP_CMP_MASKED_EQ, kIntBits, TCGETS)}) &&
            applied;
  applied = allow(filter, SCMP_SYS(openat), {SCMP_A2(SCMP_CMP_MASKED_EQ, kRefusedOpenFlags, 0)}) &&
            applied;
  applied = allow(filter, SCMP_SYS(open), {SCMP_A1(SCMP_CMP_MASKED_EQ, kRefusedOpenFlags, 0)}) &&
            applied;
  for (const int call : {SCMP_SYS(mmap), SCMP_SYS(mmap2), SCMP_SYS(mprotect)}) {
    applied = allow(filter, call, {SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)}) && applied;
  }
  // Signals and limits for this process only: the re-raise of a stop signal.
  applied = allow(filter, SCMP_SYS(kill), {SCMP_A0(SCMP_CMP_EQ, own_pid)}) && applied;
  applied = allow(filter, SCMP_SYS(tgkill), {SCMP_A0(SCMP_CMP_EQ, own_pid)}) && applied;
  applied = allow(filter, SCMP_SYS(tkill), {SCMP_A0(SCMP_CMP_EQ, own_pid)}) && applied;
  applied = allow(filter, SCMP_SYS(prlimit64), {SCMP_A0(SCMP_CMP_EQ, 0)}) && applied;
  // clone3's flags are out of the filter's reach: "not implemented" makes the
  // C library fall back to clone, which is refused.
  applied = seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) == 0 && applied;
  applied = applied && seccomp_load(filter) == 0;
  seccomp_release(filter);
  return applied;
}

}  // namespace

Confinement available_confinement() {
  return Confinement{landlock_abi(), ::prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0};
}

std::string sandbox_line() {
  if (sandbox_switched_off()) return std::string("sandbox: off (") + kNoSandboxVariable + ")\n";
  const Confinement available = available_confinement();
  std::string line = "sandbox:";
  if (available.landlock_abi > 0) {
    line += " landlock " + std::to_string(available.landlock_abi) +
            " (reads beneath ecCodes' folders only";
    if (available.landlock_abi >= kFirstNetAbi) line += ", no TCP";
    if (available.landlock_abi >= kFirstScopeAbi) line += ", signals and abstract sockets scoped";
    line += ")";
  }
  if (available.seccomp) {
    line += available.landlock_abi > 0 ? ", " : " ";
    line += "seccomp allow-list (writes to the output and the console only)";
  }
  if (available.landlock_abi == 0 && !available.seccomp) line += " none";
  return line + "\n";
}

Confinement confine_run(int output_descriptor, unsigned layers) {
  if (sandbox_switched_off()) return {};
  Confinement applied;
  if ((layers & kLandlockLayer) != 0) applied.landlock_abi = apply_landlock();
  if ((layers & kSeccompLayer) != 0) applied.seccomp = apply_seccomp(output_descriptor);
  confined = applied.landlock_abi > 0 || applied.seccomp;
  return applied;
}

std::string sandbox_refusal_note() {
  const int error = errno;
  if (!confined || (error != EACCES && error != EPERM)) return "";
  return std::string("in a confined run, after a refusal (") + std::strerror(error) +
         "): if ecCodes needed a file or call that confinement refuses, " + kNoSandboxVariable +
         "=1 runs unconfined";
}

}  // namespace common
