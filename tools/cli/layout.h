#pragma once
// The station's lines laid out for a width: the live line of a phone on a
// terminal, the plain line of a stage off one, and the summary table. A
// line never wraps, since the live block is redrawn by counting lines: when
// the width is short the port label is shortened first, then detail goes,
// down to 60 columns. Width 0: no limit (a log file keeps everything).
#include <cstddef>
#include <string>
#include <vector>

#include "tools/cli/phone_state.h"

namespace vantrel::cli {

// "1.2 MB", "189 kB", "0:42".
std::string FormatBytes(double bytes);
// printf into a string (up to 511 characters).
std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatDuration(double seconds);

// "/dev/ttyACM0 (COM40)": the port as given and its COM number, or the
// COM name alone when that is what was given.
std::string PhoneHead(const PhoneState& s);

// The column the heads of these phones want: the longest head, at least 20.
size_t HeadWidth(const std::vector<PhoneState>& phones);

// One phone's live line, at most `width - 1` columns (the last column is
// left free, where some terminals wrap).
std::string LiveLine(const PhoneState& s, size_t width, size_t head_width);

// A stage as a plain line: "[PORT] FS image 2 (image 6 of 6)".
std::string StageLine(const PhoneState& s);

// The table at the end (phone, result, time, bytes), then one line for
// each phone whose end has more to say than "flashed". Every row of the
// table fits in `width - 1` columns.
std::string SummaryTable(const std::vector<PhoneState>& phones, size_t width);

// Columns a UTF-8 text takes (a byte that does not continue a character
// counts one), and the text cut to `columns` with "..." in front, keeping
// its end, where ports differ (".../usb-0:2:1.0").
size_t Columns(const std::string& text);
std::string KeepEnd(const std::string& text, size_t columns);

}  // namespace vantrel::cli
