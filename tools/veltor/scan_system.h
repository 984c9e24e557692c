#pragma once
// The few operating-system services `veltor scan` needs beyond the standard
// library.
#include <cstdio>
#include <filesystem>
#include <string>

namespace veltor::cli {

// True when standard error is a terminal (a progress line makes sense).
bool StandardErrorIsTerminal();

// Standard input is read and standard output and error written as bytes,
// with no newline translation: the scanned bytes and the lines written stay
// as they are, the same on every system.
void SetStandardStreamsBinary();

// Opens a file for reading bytes, whatever characters its name holds; null
// with errno set on failure.
std::FILE* OpenForReading(const std::filesystem::path& path);

// The full path of the QZVeltor library this process loaded, or "" when it
// cannot be told.
std::string LoadedLibraryPath();

}  // namespace veltor::cli
