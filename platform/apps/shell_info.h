// Pictures and names of programs: the icon of an executable (SHGetFileInfo
// with SHGFI_ICON) and its version resource (GetFileVersionInfo,
// VerQueryValue). Linux executables carry neither, so both come from the
// program's .desktop file when one matches: an entry (not Hidden) whose Exec
// program or TryExec has the executable's file name. The icon is the entry's
// Icon; the version resource holds one translation, 0409 / 04B0, whose
// FileDescription is the entry's Name. Without a match the icon is the
// generic program icon and there is no version resource.
//
// .desktop files are looked for in $XDG_DATA_HOME/applications (else
// ~/.local/share/applications), then in each $XDG_DATA_DIRS folder's
// applications (else /usr/local/share and /usr/share).
//
// Icons are handles this layer counts: 32 x 32 pictures, hot spot in the
// middle, as a program's icon is.
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace platform::apps {

using HICON = uint32_t;  // 0 is none

struct IconInfo {
  uint32_t xHotspot;
  uint32_t yHotspot;
};

// The icon of a file; 0 for an empty path.
HICON GetFileIcon(const std::string& path);
// False for an unknown or destroyed icon (last error set), or a failure
// injected as "apps.GetIconInfo".
bool GetIconInfo(HICON icon, IconInfo* info);
bool DestroyIcon(HICON icon);
// The icon's theme name or file ("firefox", "application-x-executable").
std::string IconName(HICON icon);
// Icons made and not yet destroyed (tests check that none is left behind).
int LiveIconCount();

struct VersionInfo {
  std::vector<std::pair<uint16_t, uint16_t>> translations;  // language, code page
  std::map<std::string, std::string> strings;               // "\StringFileInfo\040904B0\FileDescription" -> text
};
// False when the file has no version resource.
bool GetFileVersionInfo(const std::string& path, VersionInfo* info);

struct DesktopEntry {
  std::string name;
  std::string icon;
};
// The .desktop entry of the executable at `executablePath`.
bool FindDesktopEntry(const std::string& executablePath, DesktopEntry* entry);
// Testing: the folders searched for .desktop files (empty: the XDG folders).
void SetDesktopEntryFolders(std::vector<std::string> folders);

}  // namespace platform::apps
