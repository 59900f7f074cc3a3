#include "tool/path_util.h"

#include <filesystem>
#include <system_error>

#include "tool/string_util.h"

namespace tool {

std::string AppendingPathComponent(const std::string& base, const std::string& component,
                                   const std::string& separator) {
  if (base.empty()) return component;
  std::string rest = component;
  if (!separator.empty() && rest.compare(0, separator.size(), separator) == 0) rest.erase(0, 1);
  std::size_t last = separator.empty() ? std::string::npos : base.rfind(separator);
  if (last != std::string::npos && last == base.size() - 1) return base + rest;
  return base + separator + rest;
}

std::string GetPathBaseName(const std::string& path, const std::string& separator) {
  if (separator.empty()) return std::string();
  std::size_t last = path.rfind(separator);
  if (last == std::string::npos) return std::string();
  return path.substr(last + 1);
}

std::string GetPathDirName(const std::string& path, const std::string& separator) {
  if (separator.empty()) return std::string();
  std::size_t last = path.rfind(separator);
  if (last == std::string::npos || last == 0) return std::string();
  return path.substr(0, last);
}

std::string GetPathExtension(const std::string& path, const std::string& separator) {
  std::string base = GetPathBaseName(path, separator);
  std::size_t dot = base.rfind('.');
  if (dot == std::string::npos) return std::string();
  return base.substr(dot);
}

std::string GetPathTitle(const std::string& path, const std::string& separator) {
  std::string base = GetPathBaseName(path, separator);
  return base.substr(0, base.size() - GetPathExtension(path, separator).size());
}

std::string ToLocalPath(const std::string& path) { return ReplaceAll(path, "/", "\\"); }

std::string ToDevicePath(const std::string& path) { return ReplaceAll(path, "\\", "/"); }

std::string ToFileSystemUniquePath(const std::string& path) {
  if (path.compare(0, 2, "\\\\") == 0) return path;
  return "\\\\?\\" + path;
}

std::string GetFullPath(const std::string& path) {
  if (path.empty()) return std::string();
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(ToDevicePath(path), error);
  if (error) return std::string();
  return absolute.lexically_normal().string();
}

}  // namespace tool
