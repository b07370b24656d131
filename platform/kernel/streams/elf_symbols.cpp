/*
 * The undefined dynamic symbols of a shared object, read from its ELF dynamic symbol table
 * (either class): the check that a kernel object imports only what the platform and the C
 * library's basics provide.
 */
#include "modules.h"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace platform::modules
{

namespace
{

template <class Ehdr, class Shdr, class Sym, unsigned char (*Bind)(unsigned char)>
bool collect(const std::vector<char> &f, std::vector<std::string> *out, std::string *error)
{
    auto fail = [&](const char *why) {
        if (error)
            *error = why;
        return false;
    };
    if (f.size() < sizeof(Ehdr))
        return fail("truncated ELF header");
    Ehdr eh;
    memcpy(&eh, f.data(), sizeof eh);
    if (eh.e_shentsize != sizeof(Shdr) || eh.e_shoff == 0 ||
        eh.e_shoff + static_cast<size_t>(eh.e_shnum) * sizeof(Shdr) > f.size())
        return fail("bad section header table");
    std::vector<Shdr> sh(eh.e_shnum);
    memcpy(sh.data(), f.data() + eh.e_shoff, sh.size() * sizeof(Shdr));
    for (const Shdr &s : sh) {
        if (s.sh_type != SHT_DYNSYM)
            continue;
        if (s.sh_link >= sh.size() || s.sh_offset + s.sh_size > f.size())
            return fail("bad dynamic symbol table");
        const Shdr &str = sh[s.sh_link];
        if (str.sh_offset + str.sh_size > f.size())
            return fail("bad string table");
        size_t n = s.sh_size / sizeof(Sym);
        for (size_t i = 1; i < n; ++i) {
            Sym sym;
            memcpy(&sym, f.data() + s.sh_offset + i * sizeof(Sym), sizeof sym);
            if (sym.st_shndx != SHN_UNDEF || Bind(sym.st_info) == STB_WEAK ||
                sym.st_name >= str.sh_size)
                continue;
            const char *name = f.data() + str.sh_offset + sym.st_name;
            size_t max = str.sh_size - sym.st_name;
            out->emplace_back(name, strnlen(name, max));
        }
        return true;
    }
    return fail("no dynamic symbol table");
}

unsigned char bind32(unsigned char info)
{
    return ELF32_ST_BIND(info);
}
unsigned char bind64(unsigned char info)
{
    return ELF64_ST_BIND(info);
}

} // namespace

std::vector<std::string> undefined_symbols(const std::string &path, std::string *error)
{
    std::vector<std::string> out;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error)
            *error = "cannot open " + path;
        return out;
    }
    std::vector<char> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (f.size() < EI_NIDENT || memcmp(f.data(), ELFMAG, SELFMAG) != 0) {
        if (error)
            *error = "not an ELF file";
        return out;
    }
    bool ok = f[EI_CLASS] == ELFCLASS64
                  ? collect<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym, bind64>(f, &out, error)
                  : collect<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym, bind32>(f, &out, error);
    if (!ok)
        out.clear();
    return out;
}

} // namespace platform::modules
