#include "powershell_script.h"

#include <windows.h>

#include <utility>

#include "standin_common.h"

namespace standin {
namespace {

bool IsQuote(wchar_t c) { return c == L'\'' || c == 0x2018 || c == 0x2019 || c == 0x201A || c == 0x201B; }

const wchar_t kStopTemplate[] =
    LR"T(Get-Process pythonw,python -ErrorAction SilentlyContinue | Where-Object { $_.Path -like '<DIR>\*' } | Stop-Process -Force)T";

const wchar_t kExpandTemplate[] = LR"T(Expand-Archive -LiteralPath '<ARCHIVE>' -DestinationPath '<DIR>' -Force)T";

const wchar_t kShortcutsTemplate[] =
    LR"T($w=New-Object -ComObject WScript.Shell;)T"
    LR"T(foreach($d in @([Environment]::GetFolderPath('Desktop'),[Environment]::GetFolderPath('Programs'))){$s=$w.CreateShortcut((Join-Path $d 'Vorlasta.lnk'));)T"
    LR"T($s.TargetPath='<DIR>\Vorlasta.exe';)T"
    LR"T($s.WorkingDirectory='<DIR>';)T"
    LR"T($s.IconLocation='<DIR>\Vorlasta.exe,0';)T"
    LR"T($s.Description='Vorlasta by Morvenhale';)T"
    LR"T($s.Save()};)T"
    LR"T($k='HKCU:\Software\Microsoft\Windows\CurrentVersion\Uninstall\Vorlasta';)T"
    LR"T(New-Item -Path $k -Force | Out-Null;)T"
    LR"T(Set-ItemProperty $k DisplayName 'Vorlasta';)T"
    LR"T(Set-ItemProperty $k Publisher 'Morvenhale';)T"
    LR"T(Set-ItemProperty $k DisplayIcon '<DIR>\Vorlasta.exe';)T"
    LR"T(Set-ItemProperty $k InstallLocation '<DIR>';)T"
    LR"T(Set-ItemProperty $k UninstallString 'explorer.exe "<DIR>"';)T"
    LR"T(Set-ItemProperty $k NoModify 1)T";

// Fits a decoded literal to a template literal holding at most one
// placeholder; `name` and `value` receive the placeholder and what it stood for.
bool FitLiteral(const std::wstring& pattern, const std::wstring& literal, std::wstring& name, std::wstring& value) {
    name.clear();
    value.clear();
    size_t at = std::wstring::npos;
    for (const wchar_t* placeholder : {L"<DIR>", L"<ARCHIVE>"}) {
        at = pattern.find(placeholder);
        if (at != std::wstring::npos) {
            name = placeholder;
            break;
        }
    }
    if (at == std::wstring::npos) return literal == pattern;
    const std::wstring prefix = pattern.substr(0, at);
    const std::wstring suffix = pattern.substr(at + name.size());
    if (literal.size() <= prefix.size() + suffix.size()) return false;  // an empty folder fits nothing
    if (literal.compare(0, prefix.size(), prefix) != 0) return false;
    if (literal.compare(literal.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
    value = literal.substr(prefix.size(), literal.size() - prefix.size() - suffix.size());
    return true;
}

std::wstring FoldCase(const std::wstring& text) {
    if (text.empty()) return text;
    std::wstring folded(text.size(), L'\0');
    const int length = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, text.data(), static_cast<int>(text.size()),
                                     &folded[0], static_cast<int>(folded.size()), nullptr, nullptr, 0);
    if (length != static_cast<int>(text.size())) return text;
    return folded;
}

struct LikeElement {
    enum Type { Char, Any, Star, Set } type = Char;
    wchar_t c = 0;
    std::vector<std::pair<wchar_t, wchar_t>> ranges;

    bool Matches(wchar_t x) const {
        if (type == Any) return true;
        if (type == Char) return x == c;
        for (const auto& range : ranges) {
            if (x >= range.first && x <= range.second) return true;
        }
        return false;
    }
};

bool CompileLike(const std::wstring& pattern, std::vector<LikeElement>& elements, std::wstring& error) {
    elements.clear();
    const size_t n = pattern.size();
    // Reads one character at `i`, taking a backtick as escaping the next one.
    const auto take = [&](size_t& i) {
        if (pattern[i] == L'`' && i + 1 < n) {
            i += 2;
            return pattern[i - 1];
        }
        return pattern[i++];
    };
    for (size_t i = 0; i < n;) {
        LikeElement element;
        const wchar_t c = pattern[i];
        if (c == L'*') {
            ++i;
            if (!elements.empty() && elements.back().type == LikeElement::Star) continue;
            element.type = LikeElement::Star;
        } else if (c == L'?') {
            ++i;
            element.type = LikeElement::Any;
        } else if (c == L'[') {
            element.type = LikeElement::Set;
            size_t j = i + 1;
            while (j < n && pattern[j] != L']') {
                const wchar_t low = take(j);
                if (j + 1 < n && pattern[j] == L'-' && pattern[j + 1] != L']') {
                    ++j;
                    element.ranges.emplace_back(low, take(j));
                } else {
                    element.ranges.emplace_back(low, low);
                }
            }
            if (j >= n) {
                error = L"wildcard pattern '" + pattern + L"' has a [ without its ]";
                return false;
            }
            if (element.ranges.empty()) {
                error = L"wildcard pattern '" + pattern + L"' has an empty []";
                return false;
            }
            i = j + 1;
        } else {
            element.c = take(i);
        }
        elements.push_back(std::move(element));
    }
    return true;
}

}  // namespace

const wchar_t* KindName(ScriptKind kind) {
    switch (kind) {
        case ScriptKind::Stop: return L"stop";
        case ScriptKind::Expand: return L"expand";
        case ScriptKind::Shortcuts: return L"shortcuts";
    }
    return L"?";
}

bool ScriptFromCommandLine(const wchar_t* commandLine, std::wstring& script, std::wstring& error) {
    static const wchar_t* const kExpected[] = {L"-NoProfile", L"-NonInteractive", L"-ExecutionPolicy", L"Bypass",
                                               L"-Command"};
    const std::vector<std::wstring> args = SplitCommandLine(commandLine);
    for (size_t i = 0; i < 5; ++i) {
        if (i + 1 >= args.size() || args[i + 1] != kExpected[i]) {
            error = L"argument " + std::to_wstring(i + 1) + L" is not " + kExpected[i];
            return false;
        }
    }
    if (args.size() < 7) {
        error = L"no script after -Command";
        return false;
    }
    script.clear();
    for (size_t i = 6; i < args.size(); ++i) {
        if (i > 6) script += L' ';
        script += args[i];
    }
    return true;
}

bool SplitScript(const std::wstring& script, ScriptParts& parts, std::wstring& error) {
    parts.texts.assign(1, std::wstring());
    parts.literals.clear();
    const size_t n = script.size();
    for (size_t i = 0; i < n;) {
        if (!IsQuote(script[i])) {
            parts.texts.back() += script[i++];
            continue;
        }
        const size_t start = i++;
        std::wstring literal;
        for (;;) {
            if (i >= n) {
                error = L"unterminated string literal starting at character " + std::to_wstring(start + 1);
                parts.literals.clear();
                return false;
            }
            if (!IsQuote(script[i])) {
                literal += script[i++];
            } else if (i + 1 < n && IsQuote(script[i + 1])) {
                literal += script[i + 1];
                i += 2;
            } else {
                ++i;
                break;
            }
        }
        parts.literals.push_back(std::move(literal));
        parts.texts.emplace_back();
    }
    return true;
}

std::wstring ScriptTemplate(ScriptKind kind) {
    switch (kind) {
        case ScriptKind::Stop: return kStopTemplate;
        case ScriptKind::Expand: return kExpandTemplate;
        case ScriptKind::Shortcuts: return kShortcutsTemplate;
    }
    return std::wstring();
}

bool RecogniseScript(const std::wstring& script, RecognisedScript& recognised, std::wstring& error) {
    ScriptParts parts;
    if (!SplitScript(script, parts, error)) return false;
    for (ScriptKind kind : {ScriptKind::Stop, ScriptKind::Expand, ScriptKind::Shortcuts}) {
        ScriptParts shape;
        std::wstring ignored;
        SplitScript(ScriptTemplate(kind), shape, ignored);
        if (shape.texts != parts.texts) continue;

        RecognisedScript found;
        found.kind = kind;
        found.literals = parts.literals;
        bool haveDir = false;
        for (size_t i = 0; i < parts.literals.size(); ++i) {
            std::wstring name, value;
            if (!FitLiteral(shape.literals[i], parts.literals[i], name, value)) {
                error = std::wstring(KindName(kind)) + L" script: literal " + std::to_wstring(i + 1) + L" '" +
                        parts.literals[i] + L"' does not fit '" + shape.literals[i] + L"'";
                return false;
            }
            if (name == L"<ARCHIVE>") found.archive = value;
            if (name != L"<DIR>") continue;
            if (haveDir && value != found.dir) {
                error = std::wstring(KindName(kind)) + L" script names two folders: '" + found.dir + L"' and '" +
                        value + L"'";
                return false;
            }
            haveDir = true;
            found.dir = value;
        }
        if (kind == ScriptKind::Stop) found.pattern = parts.literals[0];
        recognised = std::move(found);
        return true;
    }
    error = L"unrecognised script";
    return false;
}

bool CheckLikePattern(const std::wstring& pattern, std::wstring& error) {
    std::vector<LikeElement> elements;
    return CompileLike(pattern, elements, error);
}

bool LikeMatch(const std::wstring& text, const std::wstring& pattern) {
    std::vector<LikeElement> elements;
    std::wstring error;
    if (!CompileLike(FoldCase(pattern), elements, error)) return false;
    const std::wstring folded = FoldCase(text);
    // Greedy with backtracking to the last star: each element takes one
    // character except the star.
    size_t t = 0, p = 0, starP = std::wstring::npos, starT = 0;
    while (t < folded.size()) {
        if (p < elements.size() && elements[p].type == LikeElement::Star) {
            starP = p++;
            starT = t;
        } else if (p < elements.size() && elements[p].Matches(folded[t])) {
            ++p;
            ++t;
        } else if (starP != std::wstring::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < elements.size() && elements[p].type == LikeElement::Star) ++p;
    return p == elements.size();
}

}  // namespace standin
