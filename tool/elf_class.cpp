#include "tool/elf_class.h"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace tool::process_internal {

ElfClass ReadElfClass(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return ElfClass::Unknown;
  unsigned char ident[EI_NIDENT] = {};
  const ssize_t got = ::pread(fd, ident, sizeof ident, 0);
  ::close(fd);
  if (got != static_cast<ssize_t>(sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0) return ElfClass::Unknown;
  switch (ident[EI_CLASS]) {
    case ELFCLASS32: return ElfClass::Bits32;
    case ELFCLASS64: return ElfClass::Bits64;
    default: return ElfClass::Unknown;
  }
}

}  // namespace tool::process_internal
