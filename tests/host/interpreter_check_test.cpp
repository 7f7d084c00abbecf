#include <gtest/gtest.h>

#include "interpreter_check.h"
#include "setup/trailer.h"
#include "test_bundle.h"

namespace {

using Files = std::map<std::string, std::string>;
const std::string kGone = "\x01 removed";

std::string Check(const Files& files) {
    std::vector<PayloadEntry> entries;
    std::map<std::string, std::vector<uint8_t>> contents;
    for (const auto& [path, content] : files) {
        entries.push_back({path, EntryKind::File, content.size()});
        if (NeedsInterpreterContent(path)) contents[path].assign(content.begin(), content.end());
    }
    entries.push_back({"python", EntryKind::Directory, 0});
    return CheckInterpreter(entries, contents);
}

std::string Pth(const std::string& lines) {
    return "python312.zip\n.\n" + lines;
}

// The good launcher with one byte changed.
std::string Launcher(size_t at, char value) {
    std::string pe = GoodBundle()["Vorlasta.exe"];
    pe[at] = value;
    return pe;
}

std::string SetupFile() {
    uint8_t trailer[kTrailerSize];
    EncodeTrailer(512, 0, trailer);
    return GoodBundle()["Vorlasta.exe"] + std::string(trailer, trailer + kTrailerSize);
}

// Each row changes the good bundle; "" means it must still pass.
TEST(CheckInterpreter, RefusesWhatCannotStartAndAcceptsWhatCan) {
    const PeShape x86Pythonw{0x14C, 2, {"python312.dll"}};
    const struct {
        const char* what;
        Files changes;
        std::string fault;
    } cases[] = {
        {"good bundle", {}, ""},
        {"x86 interpreter and DLL", {{"python/pythonw.exe", MakePe(x86Pythonw)},
                                     {"python/python312.dll", MakePe({0x14C, 2, {}, true})}}, ""},
        {"no ._pth: Python is not isolated", {{"python/python312._pth", kGone}}, ""},
        {"no C runtime needed", {{"python/pythonw.exe", MakePe({0x8664, 2, {"python312.dll"}})},
                                 {"python/python312.dll", MakePe({0x8664, 2, {}, true})},
                                 {"python/vcruntime140.dll", kGone}, {"python/vcruntime140_1.dll", kGone}}, ""},
        {"names in another case", {{"python/python312.dll", kGone}, {"python/vcruntime140_1.dll", kGone},
                                   {"python/PYTHON312.DLL", GoodBundle()["python/python312.dll"]},
                                   {"python/VCRuntime140_1.DLL", "rt"}}, ""},
        {"../app/", {{"python/python312._pth", Pth("../app/")}}, ""},
        {"..\\APP\\ with spaces", {{"python/python312._pth", Pth("  ..\\APP\\  ")}}, ""},
        {"a way round", {{"python/python312._pth", Pth(".\\..\\python\\..\\app")}}, ""},
        {"BOM and no final newline", {{"python/python312._pth", "\xEF\xBB\xBF..\\app"}}, ""},
        {"._pth without ..\\app", {{"python/python312._pth", Pth("import site\n")}},
         "python/python312._pth: no line puts the app folder on Python's path, so app\\main.py cannot import its own "
         "modules; add the line ..\\app"},
        {"commented out", {{"python/python312._pth", Pth("# \\..\\..\\app\n")}}, "python312._pth: no line puts"},
        {"app inside python/", {{"python/python312._pth", Pth("app\n")}}, "python312._pth: no line puts"},
        {"a folder inside app", {{"python/python312._pth", Pth("..\\app\\lib\n")}}, "python312._pth: no line puts"},
        {"above the installation", {{"python/python312._pth", Pth("..\\..\\app\n")}}, "python312._pth: no line puts"},
        {"from the drive's root", {{"python/python312._pth", Pth("\\..\\app\n")}}, "python312._pth: no line puts"},
        {"on a drive", {{"python/python312._pth", Pth("C:\\..\\..\\app\n")}}, "python312._pth: no line puts"},
        {"a second ._pth", {{"python/PythonW._PTH", "."}}, "python/PythonW._PTH: no line puts"},
        {"launcher missing", {{"Vorlasta.exe", kGone}}, "Vorlasta.exe: not in the payload"},
        {"launcher not a program", {{"Vorlasta.exe", "launcher"}}, "Vorlasta.exe: not a Windows program (no MZ header); "
                                                                   "put the launcher built by this project there"},
        {"launcher for x86", {{"Vorlasta.exe", MakePe({0x14C, 2, {}})}}, "Vorlasta.exe: a program for x86, not x86-64"},
        {"launcher for ARM64", {{"Vorlasta.exe", MakePe({0xAA64, 2, {}})}}, "machine 0xAA64, not x86-64 or x86"},
        {"launcher for the console", {{"Vorlasta.exe", MakePe({0x8664, 3, {}})}}, "not a Windows GUI program (subsystem 3)"},
        {"launcher a DLL", {{"Vorlasta.exe", MakePe({0x8664, 2, {}, true})}}, "Vorlasta.exe: a DLL, not a program"},
        {"optional header too short", {{"Vorlasta.exe", Launcher(0x54, 112)}}, "Vorlasta.exe: a damaged PE program (optional header)"},
        {"no import table slot", {{"Vorlasta.exe", Launcher(0x58 + 108, 1)}}, "Vorlasta.exe: a damaged PE program (optional header)"},
        {"launcher a setup file", {{"Vorlasta.exe", SetupFile()}}, "Vorlasta.exe: a setup file, not the launcher"},
        {"pythonw.exe not PE", {{"python/pythonw.exe", "MZ"}}, "python/pythonw.exe: not a Windows PE program (no PE header); "
                                                               "use the one from the Windows embeddable Python"},
        {"pythonw.exe for the console", {{"python/pythonw.exe", MakePe({0x8664, 3, {"python312.dll"}})}},
         "python/pythonw.exe: not a Windows GUI program"},
        {"pythonw.exe not Python", {{"python/pythonw.exe", MakePe({0x8664, 2, {"KERNEL32.dll"}})}},
         "python/pythonw.exe: imports no python3*.dll, so it is not a Python interpreter"},
        {"DLL missing", {{"python/python312.dll", kGone}}, "python/pythonw.exe needs python312.dll, which is not in "
                                                          "python/; copy python312.dll from the same Python distribution"},
        {"DLL damaged", {{"python/python312.dll", "MZ"}}, "python/python312.dll: not a Windows PE program"},
        {"DLL for x86", {{"python/python312.dll", MakePe({0x14C, 2, {}, true})}},
         "python/python312.dll: a DLL for x86 but pythonw.exe is for x86-64"},
        {"C runtime missing", {{"python/vcruntime140.dll", kGone}},
         "python/pythonw.exe needs vcruntime140.dll, which is not in python/, and a PC without the Visual C++ runtime "
         "cannot start Python; copy vcruntime140.dll"},
        {"second C runtime missing", {{"python/vcruntime140_1.dll", kGone}},
         "python/python312.dll needs vcruntime140_1.dll, which is not in python/"},
    };
    for (const auto& c : cases) {
        Files files = GoodBundle();
        for (const auto& [path, content] : c.changes) {
            if (content == kGone) files.erase(path); else files[path] = content;
        }
        const std::string fault = Check(files);
        if (c.fault.empty()) {
            EXPECT_EQ(fault, "") << c.what;
        } else {
            EXPECT_NE(fault.find(c.fault), std::string::npos) << c.what << " gave: " << fault;
            EXPECT_EQ(fault.find('\n'), std::string::npos) << fault;
        }
    }
}

// Every cut of a good program is refused, never read past its end.
TEST(CheckInterpreter, RefusesEveryTruncatedProgram) {
    for (const std::string path : {"Vorlasta.exe", "python/pythonw.exe"}) {
        const std::string whole = GoodBundle()[path];
        for (size_t size = 0; size < whole.size(); ++size) {
            Files files = GoodBundle();
            files[path] = whole.substr(0, size);
            EXPECT_EQ(Check(files).rfind(path + ": ", 0), 0u) << path << " cut at " << size;
        }
    }
}

}  // namespace
