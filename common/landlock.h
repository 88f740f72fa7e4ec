// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

// The Landlock layer of a confined run (sandbox.h): reads beneath ecCodes'
// folders only, no TCP, and from ABI 6 no signal or abstract socket beyond
// the process.
namespace common {

// Landlock's ABI version on this kernel; 0 when it has none.
int landlock_abi();

// The ABIs that brought TCP rules, and the scoping of signals and abstract
// sockets.
constexpr int kFirstNetAbi = 4;
constexpr int kFirstScopeAbi = 6;
// From this ABI the kernel restricts every thread of the process at once.
constexpr int kLandlockEveryThreadAbi = 8;

// Restricts the process as the kernel allows: every thread from ABI 8, only
// the calling thread (and those it starts later) before. Returns the ABI
// applied, 0 for none. `note` gets a line for standard error when the look
// for links in the folders named by ecCodes' environment stopped at its bound;
// `failure` says why, when the kernel offers Landlock and refused to apply it
// (a caller already nested in as many layers as the kernel allows).
int apply_landlock(std::string& note, std::string& failure);

}  // namespace common
