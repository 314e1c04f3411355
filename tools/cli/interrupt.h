#pragma once
// Ctrl-C for a station run. The first SIGINT (or SIGTERM) only makes a pipe
// readable: the run then stops every session at its next safe point and
// cleans up. A second one exits at once, after unlinking the temporary
// paths registered here (unlink and rmdir are safe in a signal handler).
#include <string>

namespace vantrel::cli::interrupt {

void Install();
void Uninstall();
// Readable once the first signal has arrived.
int Fd();
bool Requested();
// Files (then directories, in the order given) removed on a second signal.
void AddCleanupPath(const std::string& path, bool directory = false);
void ClearCleanupPaths();

}  // namespace vantrel::cli::interrupt
