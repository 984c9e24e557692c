// A stand-in for the engine's shared library: it links the module entry and
// records what the entry hook saw, so that the test can check the path a
// library learns about itself while it is being loaded.
#include "engine/platform/module_entry.h"
#include "engine/platform/platform.h"

namespace {

char attachedPath[1024];
int attachCount = 0;

}  // namespace

void veltor::platform::OnLibraryAttach(const void* module) noexcept {
  ++attachCount;
  ModuleFileName(module, attachedPath, sizeof attachedPath);
}

extern "C" const char* ProbeAttachedPath() { return attachedPath; }
extern "C" int ProbeAttachCount() { return attachCount; }
extern "C" const void* ProbeAddress() { return &attachCount; }
