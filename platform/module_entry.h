#pragma once
// The library's entry point (DllMain on Windows, a loader constructor
// elsewhere) calls this once when the library is attached to a process,
// before any export can run. The exported interface defines it.
namespace veltor {

// `module` is the module handle on Windows and an address inside the
// library elsewhere: what platform::ModuleFileName takes.
void OnLibraryAttach(const void* module) noexcept;

}  // namespace veltor
