// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <span>

namespace common {

// ecCodes' GRIB reader begins a message at one of four-byte words ("GRIB",
// and the pseudo-GRIB "BUDG", "DIAG", "TIDE"); a word and its 3-byte length
// make a header.
constexpr std::size_t kWordBytes = 4;
constexpr std::size_t kHeaderBytes = kWordBytes + 3;

// Where a scan of some bytes stopped: at a whole message word, or where the
// bytes end in the first part of one (more bytes decide), or at their end.
struct WordScan {
  std::size_t at = 0;
  bool whole = false;
};

// The first message word in `bytes`, as ecCodes' reader would meet it reading
// one byte at a time; bytes before `at` can never begin a message.
WordScan find_message_word(std::span<const unsigned char> bytes);

// True when `bytes` begin with "GRIB" (not a pseudo-GRIB word).
bool starts_with_grib(std::span<const unsigned char> bytes);

// True for a pseudo-GRIB header whose length is below 3: ecCodes then reads
// the rest of the input into a 32-byte array on its stack.
bool overruns_eccodes(std::span<const unsigned char, kHeaderBytes> header);

}  // namespace common
