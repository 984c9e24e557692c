// The shared object's load-time hook: the dynamic loader runs constructors
// when it maps the library, as Windows runs DllMain's process attach.
#include "engine/platform/module_entry.h"

namespace {

// Any address inside the library identifies it to the loader.
const char LibraryAnchor = 0;

__attribute__((constructor)) void AttachLibrary() { veltor::platform::OnLibraryAttach(&LibraryAnchor); }

}  // namespace
