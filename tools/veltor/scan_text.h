#pragma once
// Text forms of what `veltor scan` prints: rule names turned from the
// database's Windows-1252 into UTF-8, and strings made safe for a terminal
// line or a JSON string.
#include <string>
#include <string_view>

namespace veltor::cli {

// The UTF-8 form of a Windows-1252 name. The five bytes the code page leaves
// undefined become the control characters of the same value, as the Windows
// converter maps them.
std::string Utf8FromWindows1252(std::string_view name);

// For one line of text output: valid UTF-8 is kept, control characters (C0,
// DEL and C1) and bytes that are not UTF-8 become \xNN, so that no name or
// path can break a line or steer the terminal.
std::string DisplayText(std::string_view text);

// DisplayText for a path: on POSIX systems a backslash, which a name may
// hold, is also escaped (as \\), so that \xNN in a path always stands for
// one byte. On Windows a backslash is the separator and stays as it is.
std::string DisplayPath(std::string_view path);

// Whether the bytes are well-formed UTF-8.
bool IsUtf8(std::string_view text);

// The bytes as lowercase hexadecimal digits, two per byte.
std::string HexBytes(std::string_view bytes);

// A JSON string literal, quotes included. Bytes that are not UTF-8 become
// U+FFFD; control characters are escaped.
std::string JsonString(std::string_view text);

}  // namespace veltor::cli
