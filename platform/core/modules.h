// Run-time modules: libraries looked up by name while the program runs, and
// their entries by name. Names the system knows from its original platform
// ("ntdll.dll", ...) are pseudo-modules served by this layer; any other name is
// a real shared library opened with dlopen. Tests hide a pseudo-module or one of
// its entries to exercise the callers' fallbacks.
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <map>
#include <string>

namespace platform {

// An id the layer validates; never dereferenced.
struct ModuleTag;
using ModuleHandle = ModuleTag*;

// Loads (or references again) a module; null when there is none by that name.
ModuleHandle LoadModule(const std::string& name);
// The address of a named entry; null for an unknown handle or entry.
void* GetModuleEntry(ModuleHandle module, const std::string& entry);
// Drops one reference; false for an unknown handle.
bool FreeModule(ModuleHandle module);

// Adds (or replaces) a pseudo-module with its entries.
void RegisterPseudoModule(const std::string& name, const std::map<std::string, void*>& entries);
// Hides or shows a whole pseudo-module, or one of its entries (tests).
void SetPseudoModuleHidden(const std::string& name, bool hidden);
void SetModuleEntryHidden(const std::string& name, const std::string& entry, bool hidden);
// Shows everything that was hidden.
void ShowAllModules();

// Modules currently loaded through LoadModule and not freed (handles).
int LoadedModuleCount();

}  // namespace platform
