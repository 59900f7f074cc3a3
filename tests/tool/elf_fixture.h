// A 32-bit x86 program written at test time, for the bitness questions: the
// ELF header, one loadable segment, and three instructions that wait in
// pause() until a signal ends the process. No 32-bit toolchain or library is
// needed to make it; a 64-bit kernel runs it when its 32-bit support is on.
#pragma once

#include <elf.h>

#include <cstring>
#include <string>

namespace tool_test {

inline std::string I386WaitingProgram() {
  // again: mov eax, 29 (pause); int 0x80; jmp again
  const unsigned char code[] = {0xB8, 0x1D, 0x00, 0x00, 0x00, 0xCD, 0x80, 0xEB, 0xF7};
  constexpr Elf32_Addr kBase = 0x08048000;
  Elf32_Ehdr header{};
  std::memcpy(header.e_ident, ELFMAG, SELFMAG);
  header.e_ident[EI_CLASS] = ELFCLASS32;
  header.e_ident[EI_DATA] = ELFDATA2LSB;
  header.e_ident[EI_VERSION] = EV_CURRENT;
  header.e_type = ET_EXEC;
  header.e_machine = EM_386;
  header.e_version = EV_CURRENT;
  header.e_entry = kBase + sizeof(Elf32_Ehdr) + sizeof(Elf32_Phdr);
  header.e_phoff = sizeof(Elf32_Ehdr);
  header.e_ehsize = sizeof(Elf32_Ehdr);
  header.e_phentsize = sizeof(Elf32_Phdr);
  header.e_phnum = 1;
  Elf32_Phdr segment{};
  segment.p_type = PT_LOAD;
  segment.p_vaddr = segment.p_paddr = kBase;
  segment.p_filesz = segment.p_memsz = sizeof(Elf32_Ehdr) + sizeof(Elf32_Phdr) + sizeof code;
  segment.p_flags = PF_R | PF_X;
  segment.p_align = 0x1000;
  std::string image(reinterpret_cast<const char*>(&header), sizeof header);
  image.append(reinterpret_cast<const char*>(&segment), sizeof segment);
  image.append(reinterpret_cast<const char*>(code), sizeof code);
  return image;
}

}  // namespace tool_test
