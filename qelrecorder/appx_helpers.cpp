#include "qelrecorder/appx_helpers.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

#include "common/text_convert.h"
#include "platform/apps/render_processes.h"

namespace qelrec {

std::wstring ResolveResourceString(const std::wstring& packageFullName, const std::wstring& value) {
  const std::wstring prefix = L"ms-resource:";
  if (value.compare(0, prefix.size(), prefix) != 0) return std::wstring();
  const std::wstring key = value.substr(prefix.size());
  const std::wstring uri = key.empty() || key[0] != L'/' ? prefix + L"///resources/" + key : prefix + L"//" + key;
  std::string loaded;
  if (!platform::apps::LoadIndirectString(qel::wideToUtf8(L"@{" + packageFullName + L"?" + uri + L"}"), loaded)) {
    return std::wstring();
  }
  return qel::utf8ToWide(loaded);
}

std::vector<std::wstring> ListFolderFiles(const std::wstring& folder, const std::wstring& pattern) {
  std::vector<std::wstring> out;
  const std::string dirPath = qel::wideToUtf8(folder);
  DIR* dir = ::opendir(dirPath.c_str());
  if (dir == nullptr) return out;
  const std::string glob = qel::wideToUtf8(pattern);
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.empty() || name[0] == '.' || ::fnmatch(glob.c_str(), name.c_str(), 0) != 0) continue;
    struct stat info {};
    if (::stat((dirPath + "/" + name).c_str(), &info) != 0 || S_ISDIR(info.st_mode)) continue;
    names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) out.push_back(folder + L"/" + qel::utf8ToWide(name));
  return out;
}

bool ChooseLogoFile(const std::wstring& installedLocation, const std::wstring& logoValue, std::wstring& path) {
  // The manifest writes the value with either separator.
  std::wstring value = logoValue;
  std::replace(value.begin(), value.end(), L'\\', L'/');
  const size_t slash = value.find_last_of(L'/');
  const std::wstring directory = slash == std::wstring::npos ? L"" : value.substr(0, slash + 1);
  const std::wstring file = slash == std::wstring::npos ? value : value.substr(slash + 1);
  const size_t dot = file.find_last_of(L'.');
  const std::wstring name = dot == std::wstring::npos ? file : file.substr(0, dot);
  const std::wstring extension = dot == std::wstring::npos ? L"" : file.substr(dot);
  const std::wstring folder = installedLocation + L"/" + directory;
  long best = 0;
  for (const std::wstring& found : ListFolderFiles(folder, name + L".scale-*" + extension)) {
    const size_t at = found.rfind(L".scale-");
    const long scale = std::wcstol(found.c_str() + at + 7, nullptr, 10);
    if (scale > best) best = scale;
  }
  if (best <= 0) return false;
  path = folder + name + L".scale-" + std::to_wstring(best) + extension;
  return true;
}

}  // namespace qelrec
