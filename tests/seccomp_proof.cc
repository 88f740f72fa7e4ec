// SPDX-License-Identifier: Apache-2.0
// Proves the seccomp program of this architecture against what the tools
// really call here: reads system call logs of qemu-user (QEMU_STRACE=1), and
// runs every call logged after the run confined itself through the program
// built for this architecture, as the kernel would. Any call the program does
// not allow, or cannot be judged (a call or argument value this proof does
// not know), fails. qemu-user offers no seccomp (the run asks, and goes on
// without that layer), so the program is never loaded there: this is where
// it meets the calls it must allow.
//
//   seccomp_proof LOG...     status 0 when every logged call is allowed
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/seccomp_placeholders.h"

namespace {

const sock_filter kProgram[] = {
#include "seccomp_filter.inc"
};

// The symbols qemu prints for the argument values the program looks at, with
// this architecture's values; other arguments may stay unknown.
#define SYMBOL(name) {#name, static_cast<std::uint64_t>(name)}
const std::map<std::string, std::uint64_t> kSymbols = {
    SYMBOL(O_RDONLY),      SYMBOL(O_WRONLY),      SYMBOL(O_RDWR),         SYMBOL(O_CREAT),
    SYMBOL(O_EXCL),        SYMBOL(O_NOCTTY),      SYMBOL(O_TRUNC),        SYMBOL(O_APPEND),
    SYMBOL(O_NONBLOCK),    SYMBOL(O_DIRECTORY),   SYMBOL(O_NOFOLLOW),     SYMBOL(O_CLOEXEC),
    SYMBOL(O_PATH),        SYMBOL(O_LARGEFILE),   SYMBOL(O_DIRECT),       SYMBOL(O_SYNC),
    SYMBOL(PROT_NONE),     SYMBOL(PROT_READ),     SYMBOL(PROT_WRITE),     SYMBOL(PROT_EXEC),
    SYMBOL(MAP_SHARED),    SYMBOL(MAP_PRIVATE),   SYMBOL(MAP_FIXED),      SYMBOL(MAP_ANONYMOUS),
    SYMBOL(MAP_DENYWRITE), SYMBOL(MAP_NORESERVE), SYMBOL(MAP_STACK),      SYMBOL(MAP_POPULATE),
    SYMBOL(MADV_NORMAL),   SYMBOL(MADV_RANDOM),   SYMBOL(MADV_SEQUENTIAL), SYMBOL(MADV_WILLNEED),
    SYMBOL(MADV_DONTNEED), SYMBOL(MADV_FREE),     SYMBOL(MADV_REMOVE),    SYMBOL(MADV_HUGEPAGE),
    SYMBOL(MADV_NOHUGEPAGE), SYMBOL(MADV_DONTDUMP), SYMBOL(MADV_DODUMP),
    SYMBOL(F_DUPFD),       SYMBOL(F_GETFD),       SYMBOL(F_SETFD),        SYMBOL(F_GETFL),
    SYMBOL(F_SETFL),       SYMBOL(F_SETLK),       SYMBOL(F_SETOWN),       SYMBOL(F_SETSIG),
    SYMBOL(F_SETLEASE),    SYMBOL(F_DUPFD_CLOEXEC), SYMBOL(TCGETS),       SYMBOL(TIOCGWINSZ),
    SYMBOL(TIOCSTI),       SYMBOL(FIONREAD),      SYMBOL(SEEK_SET),       SYMBOL(SEEK_CUR),
    SYMBOL(SEEK_END),      SYMBOL(PR_GET_SECCOMP),
#ifdef TCGETS2
    SYMBOL(TCGETS2),
#endif
};
#undef SYMBOL

struct Call {
  std::string text;
  seccomp_data data{};
  bool known[6] = {};  // whether argument i has a value
};

// The arguments between the outer parentheses, split at top-level commas.
std::vector<std::string> split_arguments(const std::string& inside) {
  std::vector<std::string> arguments;
  std::string current;
  int depth = 0;
  bool quoted = false;
  for (std::size_t at = 0; at < inside.size(); ++at) {
    const char c = inside[at];
    if (quoted) {
      if (c == '\\' && at + 1 < inside.size()) current += inside[at++];
      if (c == '"') quoted = false;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '{' || c == '[' || c == '(') {
      ++depth;
    } else if (c == '}' || c == ']' || c == ')') {
      --depth;
    } else if (c == ',' && depth == 0) {
      arguments.push_back(current);
      current.clear();
      continue;
    }
    current += c;
  }
  if (!current.empty()) arguments.push_back(current);
  return arguments;
}

// An argument's value: a number, NULL, a pointer (string or structure), or
// symbols joined by '|'.
std::optional<std::uint64_t> argument_value(const std::string& text) {
  if (text.empty()) return std::nullopt;
  if (text == "NULL") return 0;
  if (text[0] == '"' || text[0] == '{' || text[0] == '[') return 1;  // a pointer
  std::uint64_t value = 0;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t bar = text.find('|', start);
    const std::string part = text.substr(start, bar == std::string::npos ? bar : bar - start);
    char* end = nullptr;
    const long long number = std::strtoll(part.c_str(), &end, 0);
    if (!part.empty() && *end == '\0') {
      value |= static_cast<std::uint64_t>(number);
    } else {
      const auto found = kSymbols.find(part);
      if (found == kSymbols.end()) return std::nullopt;
      value |= found->second;
    }
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  return value;
}

// One logged call, or nothing for lines that are not calls.
std::optional<Call> parse_call(const std::string& line, std::uint32_t arch, std::string& problem) {
  const std::size_t space = line.find(' ');
  if (space == std::string::npos) return std::nullopt;
  const std::string rest = line.substr(space + 1);
  Call call;
  call.text = rest;
  call.data.arch = arch;
  if (rest.rfind("Unknown syscall ", 0) == 0) {
    call.data.nr = std::atoi(rest.c_str() + 16);
    return call;
  }
  const std::size_t open = rest.find('(');
  const std::size_t close = rest.rfind(')');
  if (open == std::string::npos || close == std::string::npos || open == 0) return std::nullopt;
  const std::string name = rest.substr(0, open);
  if (name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != std::string::npos) {
    return std::nullopt;
  }
  // libseccomp names the calls of the architecture it was built for.
  call.data.nr = seccomp_syscall_resolve_name(name.c_str());
  if (call.data.nr == __NR_SCMP_ERROR) {
    problem = "no number known for the call";
    return call;
  }
  const std::vector<std::string> arguments = split_arguments(rest.substr(open + 1, close - open - 1));
  for (std::size_t at = 0; at < arguments.size() && at < 6; ++at) {
    const std::optional<std::uint64_t> value = argument_value(arguments[at]);
    call.known[at] = value.has_value();
    if (value) call.data.args[at] = *value;
  }
  return call;
}

// The program's verdict on a call, as the kernel reaches it; `problem` set
// when the program reads an argument whose value the log does not give.
std::uint32_t run_program(const std::vector<sock_filter>& program, const Call& call,
                          std::string& problem) {
  std::uint32_t a = 0, x = 0, memory[BPF_MEMWORDS] = {};
  unsigned char data[sizeof(seccomp_data)];
  std::memcpy(data, &call.data, sizeof data);
  for (std::size_t pc = 0; pc < program.size(); ++pc) {
    const sock_filter& at = program[pc];
    switch (at.code) {
      case BPF_LD | BPF_W | BPF_ABS: {
        const std::size_t offset = at.k;
        const std::size_t args = offsetof(seccomp_data, args);
        if (offset >= args && offset < sizeof data && !call.known[(offset - args) / 8]) {
          problem = "argument " + std::to_string((offset - args) / 8) + " has no value known";
          return SECCOMP_RET_KILL_PROCESS;
        }
        std::memcpy(&a, data + offset, sizeof a);
        break;
      }
      case BPF_LD | BPF_MEM: a = memory[at.k]; break;
      case BPF_LDX | BPF_MEM: x = memory[at.k]; break;
      case BPF_ST: memory[at.k] = a; break;
      case BPF_STX: memory[at.k] = x; break;
      case BPF_ALU | BPF_AND | BPF_K: a &= at.k; break;
      case BPF_ALU | BPF_OR | BPF_K: a |= at.k; break;
      case BPF_MISC | BPF_TAX: x = a; break;
      case BPF_MISC | BPF_TXA: a = x; break;
      case BPF_JMP | BPF_JA: pc += at.k; break;
      case BPF_JMP | BPF_JEQ | BPF_K: pc += a == at.k ? at.jt : at.jf; break;
      case BPF_JMP | BPF_JGT | BPF_K: pc += a > at.k ? at.jt : at.jf; break;
      case BPF_JMP | BPF_JGE | BPF_K: pc += a >= at.k ? at.jt : at.jf; break;
      case BPF_JMP | BPF_JSET | BPF_K: pc += (a & at.k) != 0 ? at.jt : at.jf; break;
      case BPF_RET | BPF_K: return at.k;
      default:
        problem = "instruction " + std::to_string(at.code) + " unknown to this proof";
        return SECCOMP_RET_KILL_PROCESS;
    }
  }
  problem = "the program ran off its end";
  return SECCOMP_RET_KILL_PROCESS;
}

// Checks one log, adding to `checked` the calls judged; prints what fails.
// Returns the number of failures.
int prove(const std::string& path, int& checked) {
  std::ifstream log(path);
  if (!log) {
    std::cout << path << ": cannot be read\n";
    return 1;
  }
  // The architecture the program checks first: ld [4]; jeq ARCH.
  const std::uint32_t arch = kProgram[1].k;
  std::vector<sock_filter> program;
  int output = -1, failures = 0;
  std::string line;
  while (std::getline(log, line)) {
    std::string problem;
    const std::optional<Call> call = parse_call(line, arch, problem);
    if (!call) continue;
    if (program.empty()) {
      // Before confinement: the output is the last file opened for writing.
      const std::size_t result = call->text.rfind(" = ");
      if (call->text.rfind("openat(", 0) == 0 && call->known[2] && (call->data.args[2] & O_WRONLY) &&
          result != std::string::npos) {
        output = std::atoi(call->text.c_str() + result + 3);
      }
      // The run installs its program with seccomp(); where the kernel (here,
      // qemu) answers that it offers no seccomp at all, the run goes on
      // without that layer from its question on, and the proof starts there.
      const bool not_offered = call->text.rfind("prctl(", 0) == 0 && call->known[0] &&
                               call->data.args[0] == PR_GET_SECCOMP && result != std::string::npos &&
                               call->text.compare(result, 5, " = -1") == 0;
      if (call->text.rfind("seccomp(", 0) == 0 || not_offered) {
        const long pid = std::atol(line.c_str());
        for (sock_filter each : kProgram) {
          if (each.k == common::kOutputPlaceholder) each.k = static_cast<std::uint32_t>(output);
          if (each.k == common::kProcessPlaceholder) each.k = static_cast<std::uint32_t>(pid);
          program.push_back(each);
        }
      }
      continue;
    }
    ++checked;
    const std::uint32_t action =
        problem.empty() ? run_program(program, *call, problem) : SECCOMP_RET_KILL_PROCESS;
    if (action != SECCOMP_RET_ALLOW) {
      ++failures;
      if (problem.empty()) {
        problem = (action & SECCOMP_RET_ACTION_FULL) == SECCOMP_RET_ERRNO
                      ? std::string("refused: ") + std::strerror(static_cast<int>(action & SECCOMP_RET_DATA))
                      : "ends the process";
      }
      std::cout << path << ": " << call->text << ": " << problem << "\n";
    }
  }
  if (program.empty()) {
    std::cout << path << ": the run never confined itself\n";
    return 1;
  }
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: seccomp_proof LOG...\n";
    return 2;
  }
  int failures = 0, checked = 0;
  for (int at = 1; at < argc; ++at) failures += prove(argv[at], checked);
  std::cout << "seccomp_proof: " << argc - 1 << " runs, " << checked
            << " calls after confinement, " << failures << " not allowed\n";
  return failures == 0 ? 0 : 1;
}
