// SPDX-License-Identifier: Apache-2.0
#include "common/run_tool.h"
#include "quimbrel/quimbrel_run.h"

int main(int argc, char** argv) { return common::run_tool("quimbrel", argc, argv, quimbrel::run); }
