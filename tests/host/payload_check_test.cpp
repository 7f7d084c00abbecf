#include <gtest/gtest.h>
#include <locale.h>
#include <wctype.h>

#include "payload_check.h"
#include "utf8_text.h"

namespace {

PayloadEntry File(std::string path, uint64_t size = 1) {
    return {std::move(path), EntryKind::File, size};
}
PayloadEntry Folder(std::string path) {
    return {std::move(path), EntryKind::Directory, 0};
}

// The smallest payload the setup program accepts.
std::vector<PayloadEntry> Minimal() {
    return {File("Vorlasta.exe"), Folder("app"), File("app/main.py"), Folder("python"),
            File("python/pythonw.exe")};
}

std::vector<PayloadEntry> MinimalWith(const std::vector<PayloadEntry>& extra) {
    std::vector<PayloadEntry> entries = Minimal();
    entries.insert(entries.end(), extra.begin(), extra.end());
    return entries;
}

std::string Repeat(const std::string& unit, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += unit;
    return text;
}

TEST(Utf16Length, CountsUnitsAndRejectsMalformedUtf8) {
    const struct {
        const char* text;
        long units;
    } cases[] = {
        {"", 0},
        {"app/main.py", 11},
        {"Zo\xC3\xAB", 3},               // U+00EB: two bytes, one unit
        {"\xE6\x9D\x8E", 1},             // U+674E: three bytes, one unit
        {"\xF0\x9F\x98\x80", 2},         // U+1F600: a surrogate pair
        {"\xF4\x8F\xBF\xBF", 2},         // U+10FFFF, the last code point
        {"\xFF", -1},                    // never valid
        {"\xC0\xAF", -1},                // overlong '/'
        {"\xE0\x80\xAF", -1},            // overlong '/' in three bytes
        {"\xED\xA0\x80", -1},            // an encoded surrogate
        {"\xF4\x90\x80\x80", -1},        // past U+10FFFF
        {"\xE6\x9D", -1},                // cut short
        {"a\x80z", -1},                  // a stray continuation byte
    };
    for (const auto& c : cases) EXPECT_EQ(Utf16Length(c.text), c.units) << Printable(c.text);
    // From UTF-16: a pair is one character; an unpaired surrogate stays malformed, so the checks refuse it.
    EXPECT_EQ(Utf8FromWide(L"Zo\u00EB\u674E" + std::wstring{0xD83D, 0xDE00}), "Zo\xC3\xAB\xE6\x9D\x8E\xF0\x9F\x98\x80");
    EXPECT_EQ(Utf8FromWide(std::wstring{L'a', 0xD800, L'b'}), "a\xED\xA0\x80" "b");
}

TEST(Printable, EscapesWhatWouldBreakAOneLineMessage) {
    const struct {
        std::string text, shown;
    } cases[] = {
        {"app/Zo\xC3\xAB.py", "app/Zo\xC3\xAB.py"},
        {"a\nb", "a\\x0Ab"},
        {"a\x7F" "b", "a\\x7Fb"},
        {"a\xC2\x85z", "a\\xC2\\x85z"},  // U+0085, a C1 control
        {"bad\xFF.txt", "bad\\xFF.txt"},
        {"cut\xE6\x9D", "cut\\xE6\\x9D"},
    };
    for (const auto& c : cases) EXPECT_EQ(Printable(c.text), c.shown);
}

TEST(CheckPayload, AcceptsGoodPayloads) {
    const struct {
        const char* what;
        std::vector<PayloadEntry> entries;
        PackMode mode;
    } cases[] = {
        {"minimal", Minimal(), PackMode::Install},
        {"non-ASCII names",
         MinimalWith({File("app/Zo\xC3\xAB.py"), File("app/\xE6\x9D\x8E.txt"), File("app/\xF0\x9F\x98\x80.txt")}),
         PackMode::Install},
        {"dots and spaces inside names", MinimalWith({File("app/.hidden"), File("app/a b.c.py")}), PackMode::Install},
        {"names that only start like devices", MinimalWith({File("app/console.py"), File("app/com10.py"), File("app/auxiliary")}),
         PackMode::Install},
        {"largest file", MinimalWith({File("app/big.bin", kMaxFileSize - 1)}), PackMode::Install},
        {"shop data when moving", MinimalWith({Folder("data"), File("data/shop.db"), File("data/app.log")}), PackMode::Move},
        {"a folder merely named like data", MinimalWith({File("app/data/seed.csv"), File("database.txt")}), PackMode::Install},
    };
    for (const auto& c : cases) EXPECT_EQ(CheckPayload(c.entries, c.mode), "") << c.what;
}

TEST(CheckPayload, RefusesBadEntriesNamingThem) {
    const struct {
        PayloadEntry entry;
        const char* reason;
    } cases[] = {
        {File("/etc/passwd"), "/etc/passwd: absolute path"},
        {File("C:/x.py"), "C:/x.py: absolute path"},
        {File("\\\\server\\share"), "absolute path"},
        {File("app/../../evil.py"), "app/../../evil.py: \"..\" component would reach outside"},
        {File("../evil.py"), "\"..\" component"},
        {File("app/./x.py"), "\".\" component"},
        {File("app//x.py"), "empty path component"},
        {File("app/a<b"), "character '<' is not allowed"},
        {File("app/a>b"), "character '>' is not allowed"},
        {File("app/a:b"), "character ':' is not allowed"},
        {File("app/a\"b"), "character '\"' is not allowed"},
        {File("app/a|b"), "character '|' is not allowed"},
        {File("app/a?b"), "character '?' is not allowed"},
        {File("app/a*b"), "character '*' is not allowed"},
        {File("app\\evil.py"), "character '\\' is not allowed"},
        {File("app/a\nb.py"), "app/a\\x0Ab.py: control character"},
        {File("app/tab\t.py"), "control character"},
        {File("app/x."), "\"x.\" ends with a dot"},
        {File("app./x.py"), "\"app.\" ends with a dot"},
        {File("app/x "), "\"x \" ends with a space"},
        {File("app/con.py"), "\"con.py\" is a reserved device name"},
        {File("app/NUL"), "reserved device name"},
        {File("app/Lpt1.tar.gz"), "reserved device name"},
        {File("app/CONOUT$"), "\"CONOUT$\" is a reserved device name"},
        {File("app/\xFF.py"), "app/\\xFF.py: name is not valid UTF-8"},
        {File("app/\xED\xA0\x80.py"), "not valid UTF-8"},
        {{"app/link", EntryKind::Symlink, 0}, "app/link: symbolic link"},
        {{"app/fifo", EntryKind::Other, 0}, "app/fifo: not a regular file or folder"},
        {File("app/big.bin", kMaxFileSize), "app/big.bin: 2147483648 bytes; files of 2 GiB or more"},
        {File("data/shop.db"), "data/shop.db: the shop's data folder must not be in an install payload: an update "
                               "would overwrite the shop's data"},
        {Folder("data"), "data/: the shop's data folder"},
        {File("Data/shop.db"), "the shop's data folder"},
        {File("DATA"), "the shop's data folder"},
        {File("app/Main.py"), "app/Main.py: same name as app/main.py on Windows"},
        {File("app/main.py"), "app/main.py: appears twice"},
        {File("app/main.py/x"), "app/main.py/x: app/main.py is not a folder"},
        {{"", EntryKind::File, 1}, "payload has an entry with an empty name"},
    };
    for (const auto& c : cases) {
        const std::string fault = CheckPayload(MinimalWith({c.entry}), PackMode::Install);
        EXPECT_NE(fault.find(c.reason), std::string::npos) << Printable(c.entry.path) << " gave: " << fault;
        EXPECT_EQ(fault.find('\n'), std::string::npos) << fault;
    }
}

// Windows treats two names as one when their UTF-16 units match in simple
// uppercase; characters beyond the BMP are not folded.
TEST(CheckPayload, RefusesNamesWindowsTreatsAsOne) {
    const struct {
        const char *first, *second;
        bool refused;
    } cases[] = {
        {"app/readme.txt", "app/README.TXT", true},
        {"app/\xD0\xA4\xD0\xB0\xD0\xB9\xD0\xBB.txt", "app/\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB.txt", true},  // Файл, файл
        {"app/\xC3\x89.txt", "app/\xC3\xA9.txt", true},                                              // É, é
        {"app/\xCE\xA3", "app/\xCF\x83", true},                                                      // Σ, σ
        {"app/\xC3\x89/x.py", "app/\xC3\xA9", true},  // a folder and a file, one name on Windows
        {"app/\xF0\x90\x90\x80", "app/\xF0\x90\x90\xA8", false},  // Deseret capital and small letter
        {"app/e.txt", "app/\xC3\xA9.txt", false},
    };
    for (const auto& c : cases) {
        const std::string fault = CheckPayload(MinimalWith({File(c.first), File(c.second)}), PackMode::Install);
        EXPECT_EQ(fault.empty(), !c.refused) << c.first << " / " << c.second << ": " << fault;
        if (c.refused) EXPECT_NE(fault.find(c.second), std::string::npos) << fault;
    }
}

// The compiled-in table is glibc's simple uppercase, which its generator read,
// for every BMP unit: a fault in the generator's runs shows here.
TEST(SimpleUpper, AgreesWithGlibcOnEveryBmpUnit) {
    const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    ASSERT_NE(utf8, nullptr);
    for (uint32_t unit = 0; unit < 0x10000; ++unit) {
        ASSERT_EQ(SimpleUpper(static_cast<char16_t>(unit)), towupper_l(unit, utf8)) << std::hex << unit;
    }
    freelocale(utf8);
}

TEST(CheckPayload, NamesEveryMissingRequiredFile) {
    const struct {
        std::vector<PayloadEntry> entries;
        const char* reason;
    } cases[] = {
        {{File("app/main.py"), File("python/pythonw.exe")}, "payload lacks Vorlasta.exe (the launcher) at its top level"},
        {{File("Vorlasta.exe"), File("app/main.py")}, "payload lacks python/pythonw.exe (the Python interpreter) at"},
        {{File("Vorlasta.exe"), File("python/pythonw.exe")}, "payload lacks app/main.py (the application) at"},
        {{}, "payload lacks Vorlasta.exe (the launcher), python/pythonw.exe (the Python interpreter), "
             "app/main.py (the application) at its top level"},
        // Present only in name: a folder, another case, or one level too deep.
        {{Folder("Vorlasta.exe"), File("app/main.py"), File("python/pythonw.exe")}, "lacks Vorlasta.exe"},
        {{File("vorlasta.exe"), File("app/main.py"), File("python/pythonw.exe")}, "lacks Vorlasta.exe"},
        {{File("bin/Vorlasta.exe"), File("app/main.py"), File("python/pythonw.exe")}, "lacks Vorlasta.exe"},
        {{File("Vorlasta.exe"), File("app/main.py"), File("pythonw.exe")}, "lacks python/pythonw.exe"},
    };
    for (const auto& c : cases) {
        const std::string fault = CheckPayload(c.entries, PackMode::Move);
        EXPECT_NE(fault.find(c.reason), std::string::npos) << fault;
    }
}

// 60 units of %LOCALAPPDATA%\Vorlasta\ + the entry must stay within 259:
// 199 units fit, 200 do not, however many bytes or code points make them.
TEST(CheckPayload, PathLengthLimitCountsUtf16Units) {
    const std::string ascii = "a", han = "\xE6\x9D\x8E", emoji = "\xF0\x9F\x98\x80";
    const struct {
        std::string path;
        bool accepted;
    } cases[] = {
        {"app/" + Repeat(ascii, 195), true},  // 4 + 195 = 199
        {"app/" + Repeat(ascii, 196), false},
        {"app/" + Repeat(han, 195), true},  // 585 bytes, still 199 units
        {"app/" + Repeat(han, 196), false},
        {"app/" + Repeat(emoji, 97) + ascii, true},  // 4 + 2 * 97 + 1 = 199
        {"app/" + Repeat(emoji, 98), false},         // 200: pairs count twice
        {"app/" + Repeat(Repeat(ascii, 19) + "/", 9) + Repeat(ascii, 15), true},  // 4 + 180 + 15 = 199
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Utf16Length(c.path), c.accepted ? 199 : 200);
        const std::string fault = CheckPayload(MinimalWith({File(c.path)}), PackMode::Install);
        if (c.accepted) {
            EXPECT_EQ(fault, "") << c.path;
        } else {
            EXPECT_NE(fault.find("path is 200 UTF-16 units"), std::string::npos) << fault;
            EXPECT_NE(fault.find("at most 199"), std::string::npos) << fault;
        }
    }
}

}  // namespace
