#include "tool/protected_paths.h"

#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

namespace tool::filesystem_internal {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// XDG_*_DIR="$HOME/..." or "/abs/..." lines of user-dirs.dirs.
void AddUserDirs(const std::string& home, const std::string& file, ProtectedPaths& set) {
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    std::size_t eq = line.find('=');
    if (line.rfind("XDG_", 0) != 0 || eq == std::string::npos) continue;
    std::string value = line.substr(eq + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    if (value.rfind("$HOME", 0) == 0) {
      if (home.empty()) continue;
      value = home + value.substr(5);
    }
    if (!value.empty() && value[0] == '/') set.exact.insert(NormalisePath(value));
  }
}

}  // namespace

std::string HomeOfProcess() {
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') return home;
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
      found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return std::string();
}

std::string NormalisePath(const std::string& path) {
  std::filesystem::path p(path);
  if (p.is_relative()) {
    std::error_code error;
    p = std::filesystem::absolute(p, error);
    if (error) return path;
  }
  std::string text = p.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

ProtectedPaths BuildProtectedPaths(const std::string& home, const std::string& xdg_config_home,
                                   const std::string& xdg_data_home) {
  ProtectedPaths set;
  for (const char* folder :
       {"/",    "/bin",  "/boot", "/dev", "/etc",  "/home", "/lib", "/lib32", "/lib64", "/libx32",  "/media",    "/mnt",
        "/opt", "/proc", "/root", "/run", "/sbin", "/srv",  "/sys", "/tmp",   "/var",   "/var/lib", "/usr/local"}) {
    set.exact.insert(folder);
  }
  set.subtrees.insert("/usr");
  if (!home.empty() && home[0] == '/') {
    const std::string h = NormalisePath(home);
    set.exact.insert(h);
    for (const char* below : {"/.config", "/.local/share", "/Desktop", "/Documents", "/Downloads", "/Music",
                              "/Pictures", "/Public", "/Templates", "/Videos"}) {
      set.exact.insert(NormalisePath(h + below));
    }
    AddUserDirs(h, h + "/.config/user-dirs.dirs", set);
  }
  for (const std::string& folder : {xdg_config_home, xdg_data_home}) {
    if (!folder.empty() && folder[0] == '/') set.exact.insert(NormalisePath(folder));
  }
  if (!xdg_config_home.empty() && xdg_config_home[0] == '/') {
    AddUserDirs(home, NormalisePath(xdg_config_home) + "/user-dirs.dirs", set);
  }
  return set;
}

const ProtectedPaths& ProcessProtectedPaths() {
  static const ProtectedPaths set = BuildProtectedPaths(HomeOfProcess(), Env("XDG_CONFIG_HOME"), Env("XDG_DATA_HOME"));
  return set;
}

namespace {

bool Matches(const ProtectedPaths& set, const std::string& normal) {
  if (set.exact.count(normal)) return true;
  for (const std::string& top : set.subtrees) {
    if (normal == top ||
        (normal.size() > top.size() && normal.compare(0, top.size(), top) == 0 && normal[top.size()] == '/')) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool IsProtectedPath(const ProtectedPaths& set, const std::string& path) {
  std::string normal = NormalisePath(path);
  if (Matches(set, normal)) return true;
  char resolved[PATH_MAX];
  return ::realpath(normal.c_str(), resolved) != nullptr && Matches(set, NormalisePath(resolved));
}

}  // namespace tool::filesystem_internal
