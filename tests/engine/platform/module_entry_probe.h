#pragma once
// What the probe library (module_entry_probe.cpp) exports.
extern "C" {
// The path ModuleFileName gave the entry hook while the library was loaded.
const char* ProbeAttachedPath();
// How often the entry hook ran.
int ProbeAttachCount();
// An address inside the probe library.
const void* ProbeAddress();
}
