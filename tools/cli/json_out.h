#pragma once
// --json output: one object a line on standard output, every line valid
// JSON whatever bytes a path or the phone's text holds, and the run always
// ending with one {"event":"result",...} object, also when it ended before
// any phone started (a usage error) or without its summary.
#include <string>

#include <nlohmann/json.hpp>

namespace vantrel::cli::json_out {

// `text` as valid UTF-8: each byte that is not part of a valid UTF-8
// character becomes the four characters \xHH (its value in hex).
std::string ValidUtf8(const std::string& text);

// The object as one line (no newline), every string in it made valid.
std::string Line(const nlohmann::json& object);

// The run was asked for --json: it ends with a result object.
void Enable();
bool Enabled();

// Writes a line on standard output; false when the stream is closed (a
// reader that went away), which ends the run as Ctrl-C does.
bool Write(const std::string& line);

// The run's final object: {"event":"result","result":CLASS,"exit":N,
// "message":TEXT} plus `extra`'s fields. Written once; a later call does
// nothing.
void WriteResult(int exit_code, const std::string& message, const nlohmann::json& extra = nlohmann::json::object());
bool ResultWritten();

}  // namespace vantrel::cli::json_out
