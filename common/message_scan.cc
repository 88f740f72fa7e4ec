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

// Where `letter` next occurs in `bytes` from `from` on; bytes.size() when nowhere.
std::size_t next_letter(std::span<const unsigned char> bytes, std::size_t from, char letter) {
  const void* found = std::memchr(bytes.data() + from, letter, bytes.size() - from);
  return found == nullptr
             ? bytes.size()
             : static_cast<std::size_t>(static_cast<const unsigned char*>(found) - bytes.data());
}

}  // namespace

WordScan find_message_word(std::span<const unsigned char> bytes) {
  // The next place of each word's first letter, looked for at memory speed and
  // again only once the scan has passed it, so every byte is looked at once.
  std::array<std::size_t, kMessageWords.size()> next_first{};
  for (std::size_t word = 0; word < kMessageWords.size(); ++word) {
    next_first[word] = next_letter(bytes, 0, kMessageWords[word][0]);
  }
  for (;;) {
    const auto nearest = std::min_element(next_first.begin(), next_first.end());
    const std::size_t at = *nearest;
    if (at == bytes.size()) return {at, false};
    const std::string_view rest = as_text(bytes.subspan(at, std::min(kWordBytes, bytes.size() - at)));
    for (const std::string_view word : kMessageWords) {
      if (word.starts_with(rest)) return {at, rest.size() == kWordBytes};
    }
    *nearest = next_letter(bytes, at + 1, kMessageWords[static_cast<std::size_t>(nearest - next_first.begin())][0]);
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
