// dlopen / dlsym and the defined global functions of the shared object's dynamic symbol table.

#include <dlfcn.h>
#include <elf.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "library_loader.h"

namespace quillon::testing {

void* LoadQuillonLibrary() { return dlopen(QUILLON_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL); }

void* LibrarySymbol(void* library, const char* name) { return dlsym(library, name); }

std::vector<std::string> ExportedNames(void*) {
  std::vector<std::string> names;
  std::ifstream in(QUILLON_LIBRARY_FILE, std::ios::binary);
  const std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (file.size() < sizeof(Elf64_Ehdr)) return names;
  Elf64_Ehdr eh;
  std::memcpy(&eh, file.data(), sizeof(eh));
  if (eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_shoff + std::uint64_t{eh.e_shnum} * sizeof(Elf64_Shdr) > file.size())
    return names;
  std::vector<Elf64_Shdr> sections(eh.e_shnum);
  std::memcpy(sections.data(), file.data() + eh.e_shoff, eh.e_shnum * sizeof(Elf64_Shdr));
  for (const Elf64_Shdr& s : sections) {
    if (s.sh_type != SHT_DYNSYM || s.sh_link >= sections.size()) continue;
    const Elf64_Shdr& strings = sections[s.sh_link];
    for (std::uint64_t off = s.sh_offset; off + sizeof(Elf64_Sym) <= s.sh_offset + s.sh_size; off += sizeof(Elf64_Sym)) {
      Elf64_Sym sym;
      std::memcpy(&sym, file.data() + off, sizeof(sym));
      if (sym.st_shndx == SHN_UNDEF || ELF64_ST_BIND(sym.st_info) != STB_GLOBAL ||
          ELF64_ST_TYPE(sym.st_info) != STT_FUNC || strings.sh_offset + sym.st_name >= file.size())
        continue;
      names.emplace_back(file.data() + strings.sh_offset + sym.st_name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace quillon::testing
