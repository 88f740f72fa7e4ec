// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace dorvel {

// One whole run of `dorvel filein fileout`; returns the exit status, throws
// common::FatalError on a fatal failure.
int run(int argc, const char* const* argv);

}  // namespace dorvel
