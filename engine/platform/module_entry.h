#pragma once
// The library's entry hook. When the library is loaded into a process, the
// platform calls OnLibraryAttach once, before any export can run: from
// DllMain's process attach on Windows (DllMain returns TRUE for every reason
// and does nothing else), from a load-time constructor elsewhere. `module`
// identifies the library for ModuleFileName.
//
// The library's boundary defines OnLibraryAttach; the shared library links
// the object library veltor_module_entry, which supplies the entry point.
// Nothing else links it: an executable has no module entry of this kind.
namespace veltor::platform {

void OnLibraryAttach(const void* module) noexcept;

}  // namespace veltor::platform
