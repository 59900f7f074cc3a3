#include "platform/core/modules.h"

#include <dlfcn.h>

#include <cstdint>
#include <mutex>
#include <set>

#include "common/ascii_case.h"
#include "platform/core/os_version.h"

namespace platform {

namespace {

struct PseudoModule {
  std::map<std::string, void*> entries;
  std::set<std::string> hiddenEntries;
  bool hidden = false;
};

struct Loaded {
  std::string name;    // pseudo-module key, empty for a real library
  void* dl = nullptr;  // dlopen handle for a real library
  int references = 0;
};

struct Modules {
  std::mutex mutex;
  // Keys are lower-case: module names are compared without regard to case.
  std::map<std::string, PseudoModule> pseudo;
  std::map<uintptr_t, Loaded> loaded;
  std::map<std::string, uintptr_t> byName;
  uintptr_t nextId = 1;

  Modules() { pseudo["ntdll.dll"].entries["RtlGetVersion"] = reinterpret_cast<void*>(&RtlGetVersion); }
};

Modules& modules() {
  static Modules* instance = new Modules;
  return *instance;
}

std::string key(const std::string& name) { return qel::asciiLowerCopy(name); }

}  // namespace

ModuleHandle LoadModule(const std::string& name) {
  Modules& m = modules();
  std::lock_guard<std::mutex> lock(m.mutex);
  const std::string k = key(name);
  if (auto it = m.byName.find(k); it != m.byName.end()) {
    ++m.loaded[it->second].references;
    return reinterpret_cast<ModuleHandle>(it->second);
  }
  Loaded entry;
  if (auto p = m.pseudo.find(k); p != m.pseudo.end()) {
    if (p->second.hidden) return nullptr;
    entry.name = k;
  } else {
    entry.dl = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (entry.dl == nullptr) return nullptr;
  }
  entry.references = 1;
  const uintptr_t id = m.nextId++;
  m.loaded[id] = std::move(entry);
  m.byName[k] = id;
  return reinterpret_cast<ModuleHandle>(id);
}

void* GetModuleEntry(ModuleHandle module, const std::string& entry) {
  Modules& m = modules();
  std::lock_guard<std::mutex> lock(m.mutex);
  auto it = m.loaded.find(reinterpret_cast<uintptr_t>(module));
  if (it == m.loaded.end()) return nullptr;
  if (it->second.dl != nullptr) return ::dlsym(it->second.dl, entry.c_str());
  auto p = m.pseudo.find(it->second.name);
  if (p == m.pseudo.end() || p->second.hidden || p->second.hiddenEntries.count(entry) != 0) return nullptr;
  auto e = p->second.entries.find(entry);
  return e == p->second.entries.end() ? nullptr : e->second;
}

bool FreeModule(ModuleHandle module) {
  Modules& m = modules();
  std::lock_guard<std::mutex> lock(m.mutex);
  auto it = m.loaded.find(reinterpret_cast<uintptr_t>(module));
  if (it == m.loaded.end()) return false;
  if (--it->second.references > 0) return true;
  if (it->second.dl != nullptr) ::dlclose(it->second.dl);
  for (auto n = m.byName.begin(); n != m.byName.end(); ++n) {
    if (n->second == it->first) {
      m.byName.erase(n);
      break;
    }
  }
  m.loaded.erase(it);
  return true;
}

void RegisterPseudoModule(const std::string& name, const std::map<std::string, void*>& entries) {
  Modules& m = modules();
  std::lock_guard<std::mutex> lock(m.mutex);
  PseudoModule& p = m.pseudo[key(name)];
  p.entries = entries;
}

void SetPseudoModuleHidden(const std::string& name, bool hidden) {
  Modules& m = modules();
  std::lock_guard<std::mutex> lock(m.mutex);
  if (auto p = m.pseudo.find(key(name)); p != m.pseudo.end()) p->second.hidden = hidden;
}

void SetModuleEntryHidden(const std::string& name, const std::string& entry, bool hidden) {
  Modules& m = modules();
  std::lock_guard<std::mutex> lock(m.mutex);
  auto p = m.pseudo.find(key(name));
  if (p == m.pseudo.end()) return;
  if (hidden) {
    p->second.hiddenEntries.insert(entry);
  } else {
    p->second.hiddenEntries.erase(entry);
  }
}

void ShowAllModules() {
  Modules& m = modules();
  std::lock_guard<std::mutex> lock(m.mutex);
  for (auto& [name, p] : m.pseudo) {
    p.hidden = false;
    p.hiddenEntries.clear();
  }
}

int LoadedModuleCount() {
  Modules& m = modules();
  std::lock_guard<std::mutex> lock(m.mutex);
  return static_cast<int>(m.loaded.size());
}

}  // namespace platform
