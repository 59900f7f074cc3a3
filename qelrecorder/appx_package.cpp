#include "qelrecorder/appx_package.h"

#include <tinyxml.h>

#include <cstring>

#include "common/text_convert.h"
#include "platform/apps/packages.h"
#include "platform/core/os_version.h"

namespace qelrec {

namespace {

const wchar_t* const kApplicationValues[] = {L"Description",
                                             L"DisplayName",
                                             L"EntryPoint",
                                             L"Executable",
                                             L"Id",
                                             L"Logo",
                                             L"SmallLogo",
                                             L"StartPage",
                                             L"Square150x150Logo",
                                             L"Square30x30Logo",
                                             L"BackgroundColor",
                                             L"ForegroundText",
                                             L"WideLogo",
                                             L"Wide310x310Logo",
                                             L"ShortName",
                                             L"Square310x310Logo",
                                             L"Square70x70Logo",
                                             L"MinWidth"};

// Element names carry namespace prefixes ("uap:VisualElements"): compare the
// local part.
bool localNameIs(const TiXmlElement* e, const char* name) {
  const char* value = e->Value();
  const char* colon = std::strrchr(value, ':');
  return std::strcmp(colon != nullptr ? colon + 1 : value, name) == 0;
}

const TiXmlElement* child(const TiXmlElement* parent, const char* name) {
  if (parent == nullptr) return nullptr;
  for (const TiXmlElement* e = parent->FirstChildElement(); e != nullptr; e = e->NextSiblingElement()) {
    if (localNameIs(e, name)) return e;
  }
  return nullptr;
}

}  // namespace

std::wstring AppxApplicationInfo::Get(const std::wstring& name) const {
  auto it = values.find(name);
  return it == values.end() ? std::wstring() : it->second;
}

std::wstring CAppxPackage::GetManifestProperty(const std::wstring& name) const {
  auto it = m_properties.find(name);
  return it == m_properties.end() ? std::wstring() : it->second;
}

std::unique_ptr<CAppxPackage> CAppxPackage::FromProcess(uint32_t pid) {
  if (!platform::IsOsVersionAtLeast(6, 2)) return nullptr;
  std::string fullName;
  if (!platform::apps::GetPackageFullName(pid, fullName) || fullName.empty()) return nullptr;
  std::unique_ptr<CAppxPackage> package = FromFullName(qel::utf8ToWide(fullName));
  if (package) {
    std::string id;
    if (platform::apps::GetApplicationUserModelId(pid, id)) package->m_applicationUserModelId = qel::utf8ToWide(id);
  }
  return package;
}

std::unique_ptr<CAppxPackage> CAppxPackage::FromFullName(const std::wstring& fullName) {
  std::string location;
  if (!platform::apps::GetPackageInstalledLocation(qel::wideToUtf8(fullName), location)) return nullptr;
  auto package = std::make_unique<CAppxPackage>();
  package->m_fullName = fullName;
  package->m_installedLocation = qel::utf8ToWide(location);
  TiXmlDocument manifest;
  // A manifest that cannot be read leaves the package without its values.
  if (!manifest.LoadFile((location + "/AppXManifest.xml").c_str())) return package;
  const TiXmlElement* root = manifest.RootElement();
  if (const TiXmlElement* properties = child(root, "Properties")) {
    for (const TiXmlElement* p = properties->FirstChildElement(); p != nullptr; p = p->NextSiblingElement()) {
      const char* value = p->Value();
      const char* colon = std::strrchr(value, ':');
      package->m_properties[qel::utf8ToWide(colon != nullptr ? colon + 1 : value)] =
          qel::utf8ToWide(p->GetText() != nullptr ? p->GetText() : "");
    }
  }
  package->m_displayName = package->GetManifestProperty(L"DisplayName");
  package->m_description = package->GetManifestProperty(L"Description");
  package->m_logo = package->GetManifestProperty(L"Logo");
  package->m_publisherDisplayName = package->GetManifestProperty(L"PublisherDisplayName");
  package->m_framework = package->GetManifestProperty(L"Framework") == L"true";
  if (const TiXmlElement* apps = child(root, "Applications")) {
    for (const TiXmlElement* app = apps->FirstChildElement(); app != nullptr; app = app->NextSiblingElement()) {
      if (!localNameIs(app, "Application")) continue;
      AppxApplicationInfo info;
      const TiXmlElement* visual = child(app, "VisualElements");
      for (const wchar_t* name : kApplicationValues) {
        const std::string key = qel::wideToUtf8(name);
        const char* value = app->Attribute(key.c_str());
        if (value == nullptr && visual != nullptr) value = visual->Attribute(key.c_str());
        info.values[name] = value != nullptr ? qel::utf8ToWide(value) : std::wstring();
      }
      package->m_applications.push_back(std::move(info));
    }
  }
  return package;
}

}  // namespace qelrec
