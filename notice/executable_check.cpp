#include <elf.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "notice/self_update.h"

namespace varnelo {
namespace {

#if defined(__x86_64__)
constexpr unsigned kMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr unsigned kMachine = EM_AARCH64;
#elif defined(__i386__)
constexpr unsigned kMachine = EM_386;
#elif defined(__arm__)
constexpr unsigned kMachine = EM_ARM;
#elif defined(__riscv)
constexpr unsigned kMachine = EM_RISCV;
#elif defined(__powerpc64__)
constexpr unsigned kMachine = EM_PPC64;
#elif defined(__s390x__)
constexpr unsigned kMachine = EM_S390;
#else
#error "the machine code of this architecture is not known here"
#endif

constexpr unsigned char kClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
constexpr unsigned char kData =
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;

using Header = std::conditional_t<sizeof(void*) == 8, Elf64_Ehdr, Elf32_Ehdr>;
using ProgramHeader = std::conditional_t<sizeof(void*) == 8, Elf64_Phdr, Elf32_Phdr>;

struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileClose>;

bool ReadAt(std::FILE* file, long offset, void* into, size_t size) {
    return std::fseek(file, offset, SEEK_SET) == 0 && std::fread(into, 1, size, file) == size;
}

bool HeaderFits(const Header& header) {
    return std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 && header.e_ident[EI_CLASS] == kClass &&
           header.e_ident[EI_DATA] == kData && header.e_ident[EI_VERSION] == EV_CURRENT &&
           (header.e_type == ET_EXEC || header.e_type == ET_DYN) && header.e_machine == kMachine &&
           header.e_entry != 0 && header.e_phentsize == sizeof(ProgramHeader);
}

// Every table and every loaded segment must lie inside the file: a download cut off at any point
// past the header loses the section table, which sits at the end.
bool TablesInside(std::FILE* file, const Header& header, unsigned long long size) {
    unsigned long long programTableEnd =
        header.e_phoff + static_cast<unsigned long long>(header.e_phnum) * header.e_phentsize;
    unsigned long long sectionTableEnd =
        header.e_shoff + static_cast<unsigned long long>(header.e_shnum) * header.e_shentsize;
    if (header.e_phnum == 0 || programTableEnd > size) return false;
    if (header.e_shnum != 0 && sectionTableEnd > size) return false;
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        ProgramHeader segment{};
        if (!ReadAt(file, static_cast<long>(header.e_phoff + i * sizeof segment), &segment,
                    sizeof segment)) {
            return false;
        }
        if (segment.p_type == PT_LOAD &&
            static_cast<unsigned long long>(segment.p_offset) + segment.p_filesz > size) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool IsExecutableForThisMachine(const std::string& path) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file || std::fseek(file.get(), 0, SEEK_END) != 0) return false;
    long size = std::ftell(file.get());
    Header header{};
    if (size < static_cast<long>(sizeof header) || !ReadAt(file.get(), 0, &header, sizeof header)) {
        return false;
    }
    return HeaderFits(header) &&
           TablesInside(file.get(), header, static_cast<unsigned long long>(size));
}

}  // namespace varnelo
