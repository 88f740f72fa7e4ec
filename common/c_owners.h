// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <eccodes.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace common {

// Safety nets for unwinding; where the outcome matters use release() and
// OutputFile::close(), which check it.
struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

struct HandleDeleter {
  void operator()(codes_handle* handle) const noexcept { codes_handle_delete(handle); }
};
using GribHandle = std::unique_ptr<codes_handle, HandleDeleter>;

// Bytes from malloc: pages that are never written cost no memory.
struct BytesDeleter {
  void operator()(unsigned char* bytes) const noexcept { std::free(bytes); }
};
using MessageBytes = std::unique_ptr<unsigned char, BytesDeleter>;

}  // namespace common
