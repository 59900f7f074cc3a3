#include "platform/apps/shell_info.h"

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>

#include "common/text_edit.h"
#include "platform/core/faults.h"
#include "platform/core/last_error.h"

namespace platform::apps {

namespace {

constexpr const char* kGenericIcon = "application-x-executable";

struct Icons {
  std::mutex mutex;
  std::map<HICON, std::string> live;
  HICON next = 1;
  std::vector<std::string> folders;  // testing: replaces the XDG folders
};

// Never destroyed: the recorder's timer thread may ask after static destruction began.
Icons& icons() {
  static auto* instance = new Icons;
  return *instance;
}

std::vector<std::string> desktopFolders() {
  {
    Icons& i = icons();
    std::lock_guard<std::mutex> lock(i.mutex);
    if (!i.folders.empty()) return i.folders;
  }
  std::vector<std::string> out;
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  if (dataHome != nullptr && *dataHome != '\0') {
    out.push_back(std::string(dataHome) + "/applications");
  } else if (home != nullptr && *home != '\0') {
    out.push_back(std::string(home) + "/.local/share/applications");
  }
  const char* dataDirs = std::getenv("XDG_DATA_DIRS");
  for (const std::string& dir :
       qel::splitAt(dataDirs != nullptr && *dataDirs != '\0' ? dataDirs : "/usr/local/share:/usr/share", ':')) {
    if (!dir.empty()) out.push_back(dir + "/applications");
  }
  return out;
}

std::string baseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The program of an Exec line: its first word, quotes taken off.
std::string execProgram(const std::string& exec) {
  size_t i = exec.find_first_not_of(' ');
  if (i == std::string::npos) return std::string();
  if (exec[i] == '"') {
    const size_t end = exec.find('"', i + 1);
    return exec.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1);
  }
  const size_t end = exec.find(' ', i);
  return exec.substr(i, end == std::string::npos ? std::string::npos : end - i);
}

// The main group of one .desktop file, when it launches the program `wanted`.
bool readEntry(const std::string& file, const std::string& wanted, DesktopEntry* entry) {
  std::ifstream in(file);
  std::string line;
  bool inMain = false;
  std::string name, icon, exec, tryExec;
  bool hidden = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') {
      inMain = line == "[Desktop Entry]";
      continue;
    }
    const size_t eq = line.find('=');
    if (!inMain || eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    std::string value = line.substr(eq + 1);
    value.erase(0, value.find_first_not_of(' '));
    if (key == "Name") {
      name = value;
    } else if (key == "Icon") {
      icon = value;
    } else if (key == "Exec") {
      exec = value;
    } else if (key == "TryExec") {
      tryExec = value;
    } else if (key == "Hidden") {
      hidden = value == "true";
    }
  }
  // A Hidden entry counts as deleted.
  if (hidden || name.empty()) return false;
  if (baseName(execProgram(exec)) != wanted && (tryExec.empty() || baseName(tryExec) != wanted)) return false;
  entry->name = name;
  entry->icon = icon;
  return true;
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

bool FindDesktopEntry(const std::string& executablePath, DesktopEntry* entry) {
  const std::string wanted = baseName(executablePath);
  if (wanted.empty() || entry == nullptr) return false;
  for (const std::string& folder : desktopFolders()) {
    std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
    if (!dir) continue;
    while (const dirent* e = ::readdir(dir.get())) {
      const std::string file = e->d_name;
      if (file.size() <= 8 || file.compare(file.size() - 8, 8, ".desktop") != 0) continue;
      if (readEntry(folder + "/" + file, wanted, entry)) return true;
    }
  }
  return false;
}

void SetDesktopEntryFolders(std::vector<std::string> folders) {
  Icons& i = icons();
  std::lock_guard<std::mutex> lock(i.mutex);
  i.folders = std::move(folders);
}

HICON GetFileIcon(const std::string& path) {
  if (path.empty()) return 0;
  DesktopEntry entry;
  const std::string name = FindDesktopEntry(path, &entry) && !entry.icon.empty() ? entry.icon : kGenericIcon;
  Icons& i = icons();
  std::lock_guard<std::mutex> lock(i.mutex);
  if (i.next == 0) i.next = 1;  // 0 stays "none" after a wrap
  const HICON icon = i.next++;
  i.live[icon] = name;
  return icon;
}

bool GetIconInfo(HICON icon, IconInfo* info) {
  if (auto code = injectedFault("apps.GetIconInfo")) {
    SetLastError(*code);
    return false;
  }
  Icons& i = icons();
  std::lock_guard<std::mutex> lock(i.mutex);
  if (info == nullptr || i.live.count(icon) == 0) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  *info = IconInfo{16, 16};
  return true;
}

bool DestroyIcon(HICON icon) {
  Icons& i = icons();
  std::lock_guard<std::mutex> lock(i.mutex);
  return i.live.erase(icon) != 0;
}

std::string IconName(HICON icon) {
  Icons& i = icons();
  std::lock_guard<std::mutex> lock(i.mutex);
  auto it = i.live.find(icon);
  return it == i.live.end() ? std::string() : it->second;
}

int LiveIconCount() {
  Icons& i = icons();
  std::lock_guard<std::mutex> lock(i.mutex);
  return static_cast<int>(i.live.size());
}

bool GetFileVersionInfo(const std::string& path, VersionInfo* info) {
  DesktopEntry entry;
  if (info == nullptr || !FindDesktopEntry(path, &entry)) return false;
  info->translations = {{0x0409, 0x04B0}};
  info->strings = {{"\\StringFileInfo\\040904B0\\FileDescription", entry.name}};
  return true;
}

}  // namespace platform::apps
