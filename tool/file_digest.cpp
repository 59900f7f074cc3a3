#include "tool/file_digest.h"

#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>

#include "tool/file_system.h"
#include "tool/logger.h"
#include "tool/md5.h"
#include "tool/string_util.h"

namespace tool {

using filesystem_internal::FileCloser;
using filesystem_internal::FileSystem;
using filesystem_internal::ScopedFile;

namespace {

constexpr uint64_t kChunk = 1048576;

}  // namespace

std::string MD5HashFile(const std::string& path, int length) {
  if (length <= 0) return std::string();
  FileSystem* fs = FileSystem::Instance();
  if (!fs) return std::string();
  ScopedFile file(fs->OpenFile(path, 1), FileCloser{fs});
  if (!file) {
    DebugLog(4, "MD5HashFile '%s' failed, the file can't be opened", path.c_str());
    return std::string();
  }
  std::unique_ptr<char[]> chunk(new (std::nothrow) char[kChunk]);
  if (!chunk) {
    DebugLog(4, "MD5HashFile '%s' failed, while alloc tmp buffer", path.c_str());
    return std::string();
  }
  text_internal::Md5 md5;
  for (;;) {
    const uint64_t got = fs->ReadFile(file.get(), chunk.get(), kChunk);
    if (got == 0) {
      // The layer answers 0 both at the end and for a failed read; only the
      // failure leaves an error behind.
      if (errno != 0) {
        DebugLog(4, "MD5HashFile '%s' failed, %s", path.c_str(), PrettyLastError().c_str());
        return std::string();
      }
      break;
    }
    md5.Update(chunk.get(), static_cast<std::size_t>(got));
  }
  return text_internal::Md5Text(md5.Final(), length);
}

}  // namespace tool
