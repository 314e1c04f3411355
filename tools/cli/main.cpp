// vantrel: the command-line host. It loads the plug-in through its six
// exports, as the real host does, and bundles the simulated phone and the
// package tools; all of it lives in the CLI's core library.
#include "tools/cli/app.h"

int main(int argc, char** argv) { return vantrel::cli::RunCli(argc, argv); }
