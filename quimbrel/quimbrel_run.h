// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace quimbrel {

// One whole run of `quimbrel filein fileout NSKIP`; returns the exit status,
// throws common::FatalError on a fatal failure.
int run(int argc, const char* const* argv);

}  // namespace quimbrel
