// CAppxPackage: what the recorder knows of a packaged application: the
// package's names and installed location, the manifest's package properties
// and, per application, the 18 values the manifest gives it.
//
// Thread safety: a package object is used by one thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace qelrec {

struct AppxApplicationInfo {
  // "Description", "DisplayName", "EntryPoint", "Executable", "Id", "Logo",
  // "SmallLogo", "StartPage", "Square150x150Logo", "Square30x30Logo",
  // "BackgroundColor", "ForegroundText", "WideLogo", "Wide310x310Logo",
  // "ShortName", "Square310x310Logo", "Square70x70Logo", "MinWidth" (empty
  // when the manifest has none).
  std::map<std::wstring, std::wstring> values;
  std::wstring Get(const std::wstring& name) const;
};

class CAppxPackage {
 public:
  virtual ~CAppxPackage() = default;

  // The package of a process (null when it is not packaged or its
  // information cannot be read); only on systems new enough for packages.
  static std::unique_ptr<CAppxPackage> FromProcess(uint32_t pid);
  static std::unique_ptr<CAppxPackage> FromFullName(const std::wstring& fullName);

  // A package property of the manifest ("DisplayName", "Logo", ...).
  std::wstring GetManifestProperty(const std::wstring& name) const;

  std::wstring m_fullName;
  std::wstring m_installedLocation;
  std::wstring m_applicationUserModelId;
  std::wstring m_logo;
  std::wstring m_displayName;
  std::wstring m_description;
  std::wstring m_publisherDisplayName;
  bool m_framework = false;
  std::vector<AppxApplicationInfo> m_applications;

 private:
  std::map<std::wstring, std::wstring> m_properties;
};

}  // namespace qelrec
