#pragma once
// Checks every loaded library must pass, whatever body it came from.
#include "engine/database/signature_library.h"

namespace veltor::fuzz {

// Aborts unless both arrays are sorted by id, present exactly when their
// count is not 0, and every buffer is present exactly when its length is
// not 0 and ends in its zero terminators. Reading every byte also lets the
// address sanitizer see each buffer whole.
void CheckLibrary(const SignatureLibrary& library);

// Aborts unless the two libraries hold the same header and the same records
// (for records of equal id, in any order).
void CheckSameLibrary(const SignatureLibrary& a, const SignatureLibrary& b);

}  // namespace veltor::fuzz
