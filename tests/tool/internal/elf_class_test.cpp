// The class byte of an executable's ELF identification, read from files
// written by the test (this machine need not run a 32-bit program).
#include <elf.h>

#include <string>

#include <gtest/gtest.h>

#include "support/test_support.h"
#include "tool/elf_class.h"
#include "tool/elf_fixture.h"

namespace {

using tool::process_internal::ElfClass;
using tool::process_internal::ReadElfClass;

// An ELF identification of `elfClass`, padded to a whole header's length.
std::string Ident(unsigned char elfClass) {
  std::string ident(ELFMAG, SELFMAG);
  ident += static_cast<char>(elfClass);
  ident += std::string(64 - ident.size(), '\1');
  return ident;
}

TEST(ElfClass, ClassByteOfTheHeader) {
  qel::test::TempDir dir;
  const struct {
    const char* what;
    std::string content;
    ElfClass expected;
  } cases[] = {
      {"32-bit program", tool_test::I386WaitingProgram(), ElfClass::Bits32},
      {"64-bit header", Ident(ELFCLASS64), ElfClass::Bits64},
      {"no class", Ident(ELFCLASSNONE), ElfClass::Unknown},
      {"unknown class", Ident(3), ElfClass::Unknown},
      {"magic only", std::string(ELFMAG, SELFMAG), ElfClass::Unknown},
      {"script", "#!/bin/sh\nexec true\n", ElfClass::Unknown},
      {"empty", "", ElfClass::Unknown},
  };
  for (const auto& c : cases) {
    const std::string path = dir.file(c.what);
    qel::test::writeFile(path, c.content);
    EXPECT_EQ(ReadElfClass(path), c.expected) << c.what;
  }
  EXPECT_EQ(ReadElfClass(dir.file("missing")), ElfClass::Unknown);
  EXPECT_EQ(ReadElfClass("/proc/self/exe"), sizeof(void*) == 8 ? ElfClass::Bits64 : ElfClass::Bits32);
}

}  // namespace
