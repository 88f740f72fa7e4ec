// SPDX-License-Identifier: Apache-2.0
// The floor of every run: a program that loads ecCodes and its libraries and
// does nothing else.
#include <eccodes.h>

int main(void) { return codes_get_api_version() > 0 ? 0 : 1; }
