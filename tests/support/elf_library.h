// A library file as the linker lays it out, cut to what the loader's
// search reads: the header, one segment holding the file, and the dynamic
// section with the named entries (DT_NEEDED, DT_RUNPATH, DT_RPATH and
// their texts). Enough for the trust check, which reads the names without
// loading the file, and as the seed of the reader's fuzz target.
#pragma once

#include <elf.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

using ElfNames = std::vector<std::pair<std::int64_t, std::string>>;

inline std::vector<std::uint8_t> ElfLibrary(const ElfNames& names) {
  constexpr std::size_t kHeaders = sizeof(Elf64_Ehdr) + 2 * sizeof(Elf64_Phdr);
  const std::size_t dynamic_size = (names.size() + 3) * sizeof(Elf64_Dyn);
  std::string strings(1, '\0');
  std::vector<Elf64_Dyn> dynamic;
  for (const auto& [tag, text] : names) {
    dynamic.push_back({tag, {strings.size()}});
    strings += text + '\0';
  }
  dynamic.push_back({DT_STRTAB, {kHeaders + dynamic_size}});
  dynamic.push_back({DT_STRSZ, {strings.size()}});
  dynamic.push_back({DT_NULL, {0}});
  const std::size_t size = kHeaders + dynamic_size + strings.size();
  Elf64_Ehdr header{};
  std::memcpy(header.e_ident, ELFMAG, SELFMAG);
  header.e_ident[EI_CLASS] = ELFCLASS64;
  header.e_ident[EI_DATA] = ELFDATA2LSB;
  header.e_ident[EI_VERSION] = EV_CURRENT;
  header.e_type = ET_DYN;
  header.e_machine = EM_X86_64;
  header.e_version = EV_CURRENT;
  header.e_phoff = sizeof header;
  header.e_ehsize = sizeof header;
  header.e_phentsize = sizeof(Elf64_Phdr);
  header.e_phnum = 2;
  Elf64_Phdr segments[2] = {};
  segments[0].p_type = PT_LOAD;
  segments[0].p_flags = PF_R;
  segments[0].p_filesz = segments[0].p_memsz = size;
  segments[0].p_align = 0x1000;
  segments[1].p_type = PT_DYNAMIC;
  segments[1].p_flags = PF_R;
  segments[1].p_offset = segments[1].p_vaddr = kHeaders;
  segments[1].p_filesz = segments[1].p_memsz = dynamic_size;
  segments[1].p_align = 8;
  std::vector<std::uint8_t> bytes(size);
  std::memcpy(bytes.data(), &header, sizeof header);
  std::memcpy(bytes.data() + sizeof header, segments, sizeof segments);
  std::memcpy(bytes.data() + kHeaders, dynamic.data(), dynamic_size);
  std::memcpy(bytes.data() + kHeaders + dynamic_size, strings.data(), strings.size());
  return bytes;
}

}  // namespace testsupport
