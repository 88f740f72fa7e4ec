// SPDX-License-Identifier: Apache-2.0
#include "common/run_tool.h"
#include "dorvel/dorvel_run.h"

int main(int argc, char** argv) { return common::run_tool("dorvel", argc, argv, dorvel::run); }
