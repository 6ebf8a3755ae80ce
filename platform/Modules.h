// Loading plug-in libraries (shared objects) and finding their exports.
#pragma once

namespace vorn::platform {

// An opaque handle of a loaded shared object; null means none.
using ModuleHandle = void*;

// Loads a shared object with every symbol bound at once and kept private to
// it (its exports do not satisfy other libraries' references). Loading the
// same file again returns the same handle and adds a reference. Null on
// failure, with the loader's text in LastErrorText().
ModuleHandle LoadModule(const char* path);

// The address of an exported symbol, null when it is missing (the loader's
// text, which names the symbol, is in LastErrorText()).
void* ModuleSymbol(ModuleHandle module, const char* name);

// Drops one reference taken by LoadModule; the object is unmapped with its
// last reference. False with LastErrorText() set on failure.
bool UnloadModule(ModuleHandle module);

// The handle of the loaded object that contains an address: the main
// program's handle when the address lies in the executable. Like a module
// handle looked up by name, it holds no reference of its own: it stays valid
// while that object stays loaded, and must not be given to UnloadModule.
// Null when no loaded object contains the address.
ModuleHandle ModuleContaining(const void* address);

// The handle of the object this layer is linked into: the host, whether that
// is an executable or a shared library. Same rules as ModuleContaining.
ModuleHandle HostModule();

// The handle of the main program (what the host passes when it was not told
// which module it is).
ModuleHandle MainProgramModule();

} // namespace vorn::platform
