// The pure parts of the packaged-app metadata: resource strings of a package,
// the best-scaled logo file and folder listings.
//
// Thread safety: reentrant.
#pragma once

#include <string>
#include <vector>

namespace qelrec {

// "ms-resource:<key>" resolved through the platform's indirect strings
// ("@{<full name>?ms-resource:///resources/<key>}", or "ms-resource://<key>"
// for a key starting with "/"); empty for any other value or a failed look-up.
std::wstring ResolveResourceString(const std::wstring& packageFullName, const std::wstring& value);

// The logo file of the largest scale next to `logoValue` ("Assets\Logo.png"
// looks for Assets/Logo.scale-<n>.png under `installedLocation`); false when
// none has a scale above 0.
bool ChooseLogoFile(const std::wstring& installedLocation, const std::wstring& logoValue, std::wstring& path);

// Files (not folders, not names starting with '.') in `folder` matching the
// wildcard `pattern` ('*' and '?'), as folder + "/" + name, in name order.
std::vector<std::wstring> ListFolderFiles(const std::wstring& folder, const std::wstring& pattern);

}  // namespace qelrec
