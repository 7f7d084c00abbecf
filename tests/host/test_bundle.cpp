#include "test_bundle.h"

#include <string.h>

namespace {

void Put(std::string& bytes, size_t at, uint32_t value, int size) {
    for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

}  // namespace

std::string MakePe(const PeShape& shape) {
    const bool plus = shape.machine != 0x14C;
    const size_t optional = 0x58, optionalSize = plus ? 240 : 224, section = optional + optionalSize;
    const uint32_t rva = 0x1000, raw = 0x200;
    std::string table((shape.imports.size() + 1) * 20, '\0');  // descriptors, then the names
    for (size_t i = 0; i < shape.imports.size(); ++i) {
        Put(table, i * 20 + 12, rva + static_cast<uint32_t>(table.size()), 4);
        table += shape.imports[i] + '\0';
    }
    std::string pe(raw, '\0');
    memcpy(&pe[0], "MZ", 2), Put(pe, 0x3C, 0x40, 4), memcpy(&pe[0x40], "PE\0\0", 4);
    Put(pe, 0x44, shape.machine, 2), Put(pe, 0x46, 1, 2), Put(pe, 0x54, optionalSize, 2);
    Put(pe, 0x56, shape.dll ? 0x2022 : 0x22, 2);
    Put(pe, optional, plus ? 0x20B : 0x10B, 2), Put(pe, optional + 68, shape.subsystem, 2);
    const size_t directories = optional + (plus ? 112 : 96);
    Put(pe, directories - 4, 16, 4), Put(pe, directories + 8, rva, 4), Put(pe, directories + 12, table.size(), 4);
    memcpy(&pe[section], ".idata", 6), Put(pe, section + 8, table.size(), 4), Put(pe, section + 12, rva, 4);
    Put(pe, section + 16, table.size(), 4), Put(pe, section + 20, raw, 4);
    return pe + table;
}

std::map<std::string, std::string> GoodBundle() {
    return {{"Vorlasta.exe", MakePe({0x8664, 2, {"KERNEL32.dll", "USER32.dll"}})},
            {"python/pythonw.exe", MakePe({0x8664, 2, {"python312.dll", "KERNEL32.dll", "VCRUNTIME140.dll"}})},
            {"python/python312.dll", MakePe({0x8664, 3, {"KERNEL32.dll", "VCRUNTIME140_1.dll", "vcruntime140.dll"}, true})},
            {"python/vcruntime140.dll", "c runtime"},
            {"python/vcruntime140_1.dll", "c runtime"},
            {"python/python312._pth", "python312.zip\r\n.\r\n..\\app\r\n\r\n# Uncomment to run site.main()\r\nimport site\r\n"},
            {"app/main.py", "print('shop')\n"}};
}
