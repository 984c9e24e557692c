#pragma once
// Text forms of what `veltor scan` prints: strings made safe for a terminal
// line or a JSON string. (Names are turned from the database's Windows-1252
// into UTF-8 by text/windows1252.h.)
#include <string>
#include <string_view>

namespace veltor::scanning {

// For one line of text output: valid UTF-8 is kept, control characters (C0,
// DEL and C1) and bytes that are not UTF-8 become \xNN, so that no name or
// path can break a line or steer the terminal.
std::string DisplayText(std::string_view text);

// DisplayText for a path: on POSIX systems a backslash, which a name may
// hold, is also escaped (as \\), so that \xNN in a path always stands for
// one byte. On Windows a backslash is the separator and stays as it is.
std::string DisplayPath(std::string_view path);

// The bytes as lowercase hexadecimal digits, two per byte.
std::string HexBytes(std::string_view bytes);

// A JSON string literal, quotes included. Bytes that are not UTF-8 become
// U+FFFD; control characters are escaped.
std::string JsonString(std::string_view text);

}  // namespace veltor::scanning
