// Internal: the word size an executable was built for, from the class byte of
// its ELF identification. A process runs with the word size of the program it
// executes, so /proc/<pid>/exe answers whether the process is 32- or 64-bit.
//
// Thread safety: stateless.
#pragma once

#include <string>

namespace tool::process_internal {

enum class ElfClass { Unknown, Bits32, Bits64 };

// The class of the ELF file at `path`; Unknown when it cannot be read, is no
// ELF file, or names a class this reader does not know.
ElfClass ReadElfClass(const std::string& path);

}  // namespace tool::process_internal
