// SPDX-License-Identifier: Apache-2.0
#include "common/args_console.h"
#include "quimbrel/quimbrel_run.h"

int main(int argc, char** argv) { return common::run_tool("quimbrel", argc, argv, quimbrel::run); }
