#include "platform/apps/packages.h"

#include <map>
#include <mutex>

namespace platform::apps {

namespace {

struct Package {
  std::string fullName;
  std::string location;
  std::string aumid;
};

std::mutex packagesMutex;
std::map<uint32_t, Package> byProcess;

}  // namespace

void SetProcessPackage(uint32_t pid, const std::string& fullName, const std::string& location,
                       const std::string& applicationUserModelId) {
  std::lock_guard<std::mutex> lock(packagesMutex);
  byProcess[pid] = Package{fullName, location, applicationUserModelId};
}

void ClearPackages() {
  std::lock_guard<std::mutex> lock(packagesMutex);
  byProcess.clear();
}

bool GetPackageFullName(uint32_t pid, std::string& fullName) {
  std::lock_guard<std::mutex> lock(packagesMutex);
  auto it = byProcess.find(pid);
  if (it == byProcess.end()) return false;
  fullName = it->second.fullName;
  return true;
}

bool GetApplicationUserModelId(uint32_t pid, std::string& id) {
  std::lock_guard<std::mutex> lock(packagesMutex);
  auto it = byProcess.find(pid);
  if (it == byProcess.end()) return false;
  id = it->second.aumid;
  return true;
}

bool GetPackageInstalledLocation(const std::string& fullName, std::string& location) {
  std::lock_guard<std::mutex> lock(packagesMutex);
  for (const auto& [pid, package] : byProcess) {
    if (package.fullName == fullName) {
      location = package.location;
      return true;
    }
  }
  return false;
}

}  // namespace platform::apps
