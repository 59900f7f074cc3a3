#include "qelrecorder/output_names.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "common/text_convert.h"
#include "platform/core/local_time.h"
#include "qelrecorder/recorder_log.h"
#include "qelrecorder/text16.h"

namespace qelrec {

namespace {

bool exists(const std::wstring& path, struct stat* info = nullptr) {
  struct stat local {};
  return ::stat(qel::wideToUtf8(path).c_str(), info ? info : &local) == 0;
}

std::wstring parentOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L'/');
  if (slash == std::wstring::npos) return std::wstring();
  if (slash == 0) return L"/";
  return path.substr(0, slash);
}

}  // namespace

std::wstring GetModuleDirectory() {
  char buffer[PATH_MAX + 1];
  const ssize_t got = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (got <= 0) return std::wstring();
  std::wstring path = qel::utf8ToWide(std::string(buffer, static_cast<size_t>(got)));
  const size_t slash = path.find_last_of(L'/');
  if (slash == std::wstring::npos) return std::wstring();
  path.resize(slash + 1);
  if (U16UnitsOf(path) > 260) return std::wstring();
  return path;
}

std::wstring SanitizeFileNamePart(const std::wstring& name) {
  std::wstring out = name;
  for (wchar_t& c : out) {
    const auto cp = static_cast<char32_t>(c);
    if (cp < 0x20 || cp == 0x7F || std::wstring_view(L"<>:\"/\\|?*").find(c) != std::wstring_view::npos) c = L'_';
  }
  return out;
}

bool MakeOutputFileName(const RecordConfig& config, std::wstring& path, const std::wstring& extension) {
  const platform::SystemTime t = platform::GetLocalTime();
  const std::wstring candidate =
      FormatW(L"%s/%s-%d%02d%02d-%02d%02d%02d%01d%s.%s", config.outputFolder, SanitizeFileNamePart(config.processName),
              t.year, t.month, t.day, t.hour, t.minute, t.second, t.milliseconds / 100, config.fileSuffix, extension);
  if (U16UnitsOf(candidate) > kMaxOutputPathUnits) {
    LogErrorW("MakeOutputFileName", L"Output path longer than %d characters, not used: %s", kMaxOutputPathUnits,
              candidate);
    path.clear();
    return false;
  }
  path = candidate;
  return true;
}

void CreateDirectoryRecursive(std::wstring folder) {
  if (!folder.empty() && folder.back() == L'/') folder.pop_back();
  if (folder.empty() || exists(folder)) return;
  const size_t slash = folder.find_last_of(L'/');
  if (slash != std::wstring::npos && slash > 0) CreateDirectoryRecursive(folder.substr(0, slash));
  ::mkdir(qel::wideToUtf8(folder).c_str(), 0777);
}

std::wstring VolumeRootOf(const std::wstring& folder) {
  std::wstring at = folder;
  while (at.size() > 1 && at.back() == L'/') at.pop_back();
  struct stat info {};
  while (!at.empty() && !exists(at, &info)) at = parentOf(at);
  if (at.empty()) return std::wstring();
  // Walk up while the parent lives on the same file system.
  while (at != L"/") {
    const std::wstring parent = parentOf(at);
    struct stat up {};
    if (parent.empty() || !exists(parent, &up) || up.st_dev != info.st_dev) break;
    at = parent;
  }
  return at;
}

}  // namespace qelrec
