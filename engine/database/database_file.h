#pragma once
#include "engine/database/signature_library.h"

namespace veltor {

// Reads a database file whole, checks the envelope magic, decrypts the body
// and parses it, or shares the library already loaded from identical bytes
// (ShareDatabaseBody), so a changed file gives its new contents. Null on any
// failure (missing, short, foreign or corrupt file, wrong key, out of
// memory); the file is closed on every path.
SignatureLibraryPtr LoadDatabaseFile(const char* path) noexcept;

}  // namespace veltor
