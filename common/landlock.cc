// SPDX-License-Identifier: Apache-2.0
#include "common/landlock.h"

#include <dirent.h>
#include <eccodes.h>
#include <fcntl.h>
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

// Applies the ruleset to every thread of the process (ABI 8).
constexpr unsigned kRestrictEveryThread = 1U << 3;

// The folders ecCodes is told of by its environment; only then are their
// symbolic links followed (the packaged folders are taken as they stand).
constexpr const char* kFolderVariables[] = {
    "ECCODES_DEFINITION_PATH", "ECCODES_EXTRA_DEFINITION_PATH", "GRIB_DEFINITION_PATH",
    "ECCODES_SAMPLES_PATH",    "ECCODES_EXTRA_SAMPLES_PATH",    "GRIB_SAMPLES_PATH",
};

// The look for links stops after this many folder entries: a full copy of
// ecCodes' definitions holds about 19 000, and a variable that names a whole
// system folder (/usr: 200 000 entries, seconds) must not hold up every run.
constexpr std::size_t kWalkEntryBound = 50000;

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

  bool bound_reached() const { return entries_ >= kWalkEntryBound; }

 private:
  // Looks through a folder for links that may lead out of it: those whose
  // target is absolute or climbs with "..". A folder reached through a link
  // is looked through once (links may make loops); its real subfolders need
  // no such check.
  void walk(const std::string& folder, const struct stat& status) {
    for (const auto& [device, inode] : walked_) {
      if (device == status.st_dev && inode == status.st_ino) return;
    }
    walked_.emplace_back(status.st_dev, status.st_ino);
    walk_below(folder);
  }

  void walk_below(const std::string& folder) {
    DIR* entries = ::opendir(folder.c_str());
    if (entries == nullptr) return;
    while (!bound_reached()) {
      const dirent* entry = ::readdir(entries);
      if (entry == nullptr) break;
      ++entries_;
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      unsigned char type = entry->d_type;
      struct stat entry_status {};
      if (type == DT_UNKNOWN && ::fstatat(::dirfd(entries), entry->d_name, &entry_status,
                                          AT_SYMLINK_NOFOLLOW) == 0) {
        type = S_ISLNK(entry_status.st_mode) ? DT_LNK : S_ISDIR(entry_status.st_mode) ? DT_DIR : DT_REG;
      }
      if (type == DT_DIR) {
        walk_below(folder + "/" + std::string(name));
      } else if (type == DT_LNK && leads_out(::dirfd(entries), entry->d_name)) {
        allow(folder + "/" + std::string(name));
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
  std::size_t entries_ = 0;
  std::vector<std::pair<dev_t, ino_t>> walked_;
};

bool folders_named_by_environment() {
  for (const char* variable : kFolderVariables) {
    if (std::getenv(variable) != nullptr) return true;
  }
  return false;
}

}  // namespace

int landlock_abi() {
  const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, kCreateRulesetVersion);
  return abi > 0 ? static_cast<int>(abi) : 0;
}

int apply_landlock(std::string& note, std::string& failure) {
  const int abi = landlock_abi();
  if (abi == 0) return 0;
  RulesetAttr attr{handled_fs_rights(abi), kNetBindTcp | kNetConnectTcp,
                   kScopeAbstractUnixSocket | kScopeSignal};
  const std::size_t attr_size = abi >= kFirstScopeAbi ? sizeof attr
                                : abi >= kFirstNetAbi ? 2 * sizeof(std::uint64_t)
                                                      : sizeof(std::uint64_t);
  const long ruleset = ::syscall(SYS_landlock_create_ruleset, &attr, attr_size, 0U);
  if (ruleset < 0) {
    failure = std::string("landlock_create_ruleset: ") + std::strerror(errno);
    return 0;
  }
  const int ruleset_fd = static_cast<int>(ruleset);
  codes_context* context = codes_context_get_default();
  ReadRules rules(ruleset_fd, folders_named_by_environment());
  rules.allow_each(codes_definition_path(context));
  rules.allow_each(codes_samples_path(context));
  if (rules.bound_reached()) {
    note = "confinement: stopped looking for links after " + std::to_string(kWalkEntryBound) +
           " entries of the folders that ecCodes' path variables name; files reached through "
           "links further on are refused";
  }
  const unsigned flags = abi >= kLandlockEveryThreadAbi ? kRestrictEveryThread : 0U;
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    failure = std::string("no_new_privs: ") + std::strerror(errno);
  } else if (::syscall(SYS_landlock_restrict_self, ruleset_fd, flags) != 0) {
    failure = std::string("landlock_restrict_self: ") + std::strerror(errno);
  }
  ::close(ruleset_fd);
  return failure.empty() ? abi : 0;
}

}  // namespace common
