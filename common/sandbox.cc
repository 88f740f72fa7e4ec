// SPDX-License-Identifier: Apache-2.0
#include "common/sandbox.h"

#include <eccodes.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace common {
namespace {

// Landlock access rights by the ABI that brought them (the kernel's values;
// older kernel headers lack the later ones).
constexpr std::uint64_t kFsRightsOfAbi1 = (1ULL << 13) - 1;  // execute .. make symlink
constexpr std::uint64_t kFsRefer = 1ULL << 13;               // ABI 2
constexpr std::uint64_t kFsTruncate = 1ULL << 14;            // ABI 3
constexpr std::uint64_t kFsIoctlDev = 1ULL << 15;            // ABI 5
constexpr std::uint64_t kNetBindTcp = 1ULL << 0;             // ABI 4
constexpr std::uint64_t kNetConnectTcp = 1ULL << 1;          // ABI 4
static_assert(kFsRefer == LANDLOCK_ACCESS_FS_REFER);
#ifdef LANDLOCK_ACCESS_FS_TRUNCATE
static_assert(kFsTruncate == LANDLOCK_ACCESS_FS_TRUNCATE);
#endif
#ifdef LANDLOCK_ACCESS_FS_IOCTL_DEV
static_assert(kFsIoctlDev == LANDLOCK_ACCESS_FS_IOCTL_DEV);
#endif
#ifdef LANDLOCK_ACCESS_NET_CONNECT_TCP
static_assert(kNetBindTcp == LANDLOCK_ACCESS_NET_BIND_TCP);
static_assert(kNetConnectTcp == LANDLOCK_ACCESS_NET_CONNECT_TCP);
#endif
constexpr int kFirstNetAbi = 4;

// The kernel's ruleset attribute up to ABI 5; an older kernel is given only
// the part it knows.
struct RulesetAttr {
  std::uint64_t handled_access_fs;
  std::uint64_t handled_access_net;
};

// System calls a GRIB run never makes; answered with EPERM.
const int kDeniedCalls[] = {
    SCMP_SYS(socket),          SCMP_SYS(socketpair),     SCMP_SYS(connect),
    SCMP_SYS(bind),            SCMP_SYS(listen),         SCMP_SYS(accept),
    SCMP_SYS(accept4),         SCMP_SYS(execve),         SCMP_SYS(execveat),
    SCMP_SYS(ptrace),          SCMP_SYS(process_vm_readv), SCMP_SYS(process_vm_writev),
    SCMP_SYS(kexec_load),      SCMP_SYS(kexec_file_load), SCMP_SYS(init_module),
    SCMP_SYS(finit_module),    SCMP_SYS(delete_module),  SCMP_SYS(mount),
    SCMP_SYS(umount2),         SCMP_SYS(pivot_root),     SCMP_SYS(chroot),
    SCMP_SYS(unshare),         SCMP_SYS(setns),          SCMP_SYS(bpf),
    SCMP_SYS(perf_event_open), SCMP_SYS(userfaultfd),    SCMP_SYS(keyctl),
    SCMP_SYS(add_key),         SCMP_SYS(request_key),    SCMP_SYS(io_uring_setup),
    SCMP_SYS(open_by_handle_at),
};

bool sandbox_switched_off() {
  const char* value = std::getenv(kNoSandboxVariable);
  return value != nullptr && *value != '\0';
}

int landlock_abi() {
  const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0,
                             LANDLOCK_CREATE_RULESET_VERSION);
  return abi > 0 ? static_cast<int>(abi) : 0;
}

std::uint64_t handled_fs_rights(int abi) {
  std::uint64_t rights = kFsRightsOfAbi1;
  if (abi >= 2) rights |= kFsRefer;
  if (abi >= 3) rights |= kFsTruncate;
  if (abi >= 5) rights |= kFsIoctlDev;
  return rights;
}

// Allows reading beneath `path` (a folder or a file); a missing path is skipped.
void allow_reading(int ruleset, std::string_view path) {
  if (path.empty()) return;
  const int fd = ::open(std::string(path).c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) return;
  struct stat status {};
  if (::fstat(fd, &status) == 0) {
    landlock_path_beneath_attr rule{};
    rule.allowed_access = LANDLOCK_ACCESS_FS_READ_FILE;
    if (S_ISDIR(status.st_mode)) rule.allowed_access |= LANDLOCK_ACCESS_FS_READ_DIR;
    rule.parent_fd = fd;
    ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0);
  }
  ::close(fd);
}

// Each folder of a colon-separated list, as ecCodes gives them (the user's
// ECCODES_DEFINITION_PATH and extra folders included).
void allow_reading_each(int ruleset, const char* list) {
  if (list == nullptr) return;
  std::string_view rest(list);
  for (;;) {
    const std::size_t colon = rest.find(':');
    allow_reading(ruleset, rest.substr(0, colon));
    if (colon == std::string_view::npos) return;
    rest.remove_prefix(colon + 1);
  }
}

int apply_landlock() {
  const int abi = landlock_abi();
  if (abi == 0) return 0;
  RulesetAttr attr{handled_fs_rights(abi), kNetBindTcp | kNetConnectTcp};
  const std::size_t attr_size = abi >= kFirstNetAbi ? sizeof attr : sizeof attr.handled_access_fs;
  const long ruleset = ::syscall(SYS_landlock_create_ruleset, &attr, attr_size, 0U);
  if (ruleset < 0) return 0;
  const int ruleset_fd = static_cast<int>(ruleset);
  codes_context* context = codes_context_get_default();
  allow_reading_each(ruleset_fd, codes_definition_path(context));
  allow_reading_each(ruleset_fd, codes_samples_path(context));
  const bool applied = ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
                       ::syscall(SYS_landlock_restrict_self, ruleset_fd, 0U) == 0;
  ::close(ruleset_fd);
  return applied ? abi : 0;
}

bool apply_seccomp() {
  // The base level of the kernel interface (filters loaded through prctl) is
  // all a deny-list needs; naming it spares libseccomp probing the kernel's
  // other levels at every start.
  seccomp_api_set(1);
  const scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
  if (filter == nullptr) return false;
  bool applied = true;
  for (const int call : kDeniedCalls) {
    // libseccomp leaves out, without an error, a call this architecture lacks.
    if (seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), call, 0) != 0) applied = false;
  }
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
  if (available.landlock_abi > 0) line += " landlock " + std::to_string(available.landlock_abi);
  if (available.seccomp) line += available.landlock_abi > 0 ? ", seccomp" : " seccomp";
  if (available.landlock_abi == 0 && !available.seccomp) line += " none";
  return line + "\n";
}

Confinement confine_run() {
  if (sandbox_switched_off()) return {};
  Confinement applied;
  applied.landlock_abi = apply_landlock();
  applied.seccomp = apply_seccomp();
  return applied;
}

}  // namespace common
