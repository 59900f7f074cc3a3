#include "recorder_host/recorder_library.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>

namespace qelhost {

namespace {

std::atomic<void*> library{nullptr};

}  // namespace

std::string ProgramFolder() {
  char buffer[PATH_MAX + 1];
  const ssize_t got = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (got <= 0) return std::string();
  const std::string path(buffer, static_cast<size_t>(got));
  return path.substr(0, path.find_last_of('/') + 1);
}

unsigned LoadErrorCode(const std::string& path, const std::string& loaderMessage) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return kErrorModNotFound;
  // A library it needs is missing (the loader names that one, not `path`).
  if (loaderMessage.find("cannot open shared object file") != std::string::npos) return kErrorModNotFound;
  if (loaderMessage.find("undefined symbol") != std::string::npos) return kErrorProcNotFound;
  return kErrorBadExeFormat;
}

unsigned LoadRecorderLibrary(const std::string& path) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    const std::string message = why != nullptr ? why : "";
    std::fprintf(stderr, "%s\n", message.c_str());
    return LoadErrorCode(path, message);
  }
  library = handle;
  return 0;
}

bool RecorderLibraryLoaded() { return library.load() != nullptr; }

void* FindRecorderExport(const char* name) {
  void* handle = library.load();
  if (handle == nullptr) return nullptr;
  return ::dlsym(handle, name);
}

}  // namespace qelhost
