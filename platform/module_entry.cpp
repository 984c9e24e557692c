// The library's entry point. Compiled into the shared library itself (not
// the static engine library), so that the linker always keeps it.
#include "platform/module_entry.h"

#ifdef _WIN32
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) veltor::OnLibraryAttach(module);
  return TRUE;  // the library never refuses to load
}

#else

namespace {

// Any object inside the library tells the loader which module we are.
const char moduleAnchor = 0;

__attribute__((constructor)) void AttachLibrary() { veltor::OnLibraryAttach(&moduleAnchor); }

}  // namespace

#endif
