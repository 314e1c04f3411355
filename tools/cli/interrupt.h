#pragma once
// Stopping a station run. The first SIGINT (Ctrl-C), SIGTERM or SIGHUP (the
// terminal closed), or an output stream whose reader went away, only makes a
// pipe readable: the run then stops every session at its next safe point
// and cleans up. A second one exits at once, after unlinking the temporary
// paths registered here (unlink and rmdir are safe in a signal handler).
#include <string>

namespace vantrel::cli::interrupt {

// Also ignores SIGPIPE: a closed output shows as a failed write instead.
void Install();
void Uninstall();
// Readable once the first stop request has arrived.
int Fd();
bool Requested();
// A stop request from the program itself (`why` says what happened), as if
// the first signal had come. Safe from any thread.
void Request(const char* why);
// A pipe or socket on standard output or error whose reader has gone: a stop
// request, as a failed write would make one. Polled by the run's waits, so a
// run that prints nothing while it waits for its phone learns it too.
void CheckOutputs();
// What asked to stop: "Ctrl-C", "SIGTERM", ..., or Request's reason.
std::string Reason();
// Files (then directories, in the order given) removed on a second signal.
void AddCleanupPath(const std::string& path, bool directory = false);
void ClearCleanupPaths();
// Removes them now (async-signal-safe): for an exit that does not wait for
// the sessions still inside the library.
void RemoveCleanupPaths();
// A line written to standard output on a second signal, before the exit
// (--json's final object); an empty line disarms it. Kept in a fixed buffer
// that the signal handler writes with one write().
void SetExitLine(const std::string& line);

}  // namespace vantrel::cli::interrupt
