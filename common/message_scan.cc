// SPDX-License-Identifier: Apache-2.0
#include "common/message_scan.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace common {
namespace {

constexpr std::array<std::string_view, 4> kMessageWords = {"GRIB", "BUDG", "DIAG", "TIDE"};

std::string_view as_text(std::span<const unsigned char> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The first look covers this many bytes, each further one twice as many.
constexpr std::size_t kFirstWindowBytes = 256;

// Where `letter` first occurs in bytes[from, to); `to` when nowhere.
std::size_t next_letter(std::span<const unsigned char> bytes, std::size_t from, std::size_t to,
                        char letter) {
  const void* found = std::memchr(bytes.data() + from, letter, to - from);
  return found == nullptr
             ? to
             : static_cast<std::size_t>(static_cast<const unsigned char*>(found) - bytes.data());
}

}  // namespace

WordScan find_message_word(std::span<const unsigned char> bytes) {
  // Each word's first letter is looked for at memory speed within a window
  // that doubles while none is found, and again only once the scan has passed
  // its last place: a word right at the start costs no look at the rest (the
  // reader scans again after every message), and however far the word is,
  // each byte is looked at about once per letter.
  constexpr std::size_t kWords = kMessageWords.size();
  std::array<std::size_t, kWords> place{};    // where the letter is, when `found`
  std::array<std::size_t, kWords> reached{};  // not before here, when not `found`
  std::array<bool, kWords> found{};
  std::size_t limit = std::min(bytes.size(), kFirstWindowBytes);
  for (;;) {
    std::size_t nearest = kWords;
    for (std::size_t word = 0; word < kWords; ++word) {
      if (!found[word] && reached[word] < limit) {
        place[word] = next_letter(bytes, reached[word], limit, kMessageWords[word][0]);
        found[word] = place[word] < limit;
        reached[word] = limit;
      }
      if (found[word] && (nearest == kWords || place[word] < place[nearest])) nearest = word;
    }
    if (nearest == kWords) {
      if (limit == bytes.size()) return {limit, false};
      limit = std::min(bytes.size(), 2 * limit);
      continue;
    }
    const std::size_t at = place[nearest];
    const std::string_view rest = as_text(bytes.subspan(at, std::min(kWordBytes, bytes.size() - at)));
    for (const std::string_view word : kMessageWords) {
      if (word.starts_with(rest)) return {at, rest.size() == kWordBytes};
    }
    found[nearest] = false;
    reached[nearest] = at + 1;
  }
}

bool starts_with_grib(std::span<const unsigned char> bytes) {
  return as_text(bytes).starts_with(kMessageWords[0]);
}

bool overruns_eccodes(std::span<const unsigned char, kHeaderBytes> header) {
  const unsigned length = (unsigned{header[4]} << 16) | (unsigned{header[5]} << 8) | header[6];
  return !starts_with_grib(header) && length < 3;
}

}  // namespace common
