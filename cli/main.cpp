#include <cstdio>

#include "cli.h"

int main(int argc, char** argv) { return kv::RunCli(argc, argv, stdout, stderr); }
