// Understanding the one-line scripts the setup program hands to PowerShell:
// the command line, single-quoted literals, the three scripts it sends and
// the -like wildcard match the stop script relies on.
#pragma once

#include <string>
#include <vector>

namespace standin {

enum class ScriptKind { Stop, Expand, Shortcuts };
const wchar_t* KindName(ScriptKind kind);

// argv[1..5] must be -NoProfile -NonInteractive -ExecutionPolicy Bypass
// -Command; the script is what follows, joined with single spaces.
bool ScriptFromCommandLine(const wchar_t* commandLine, std::wstring& script, std::wstring& error);

// A script cut at its single-quoted literals: texts[i] precedes literals[i],
// and texts has one element more than literals.
struct ScriptParts {
    std::vector<std::wstring> texts;
    std::vector<std::wstring> literals;  // decoded
};
// PowerShell's rules: any of ' ‘ ’ ‚ ‛ opens and closes a literal, two of
// them in a row stand for the second one, nothing else is special inside.
bool SplitScript(const std::wstring& script, ScriptParts& parts, std::wstring& error);

// The script with <DIR> and <ARCHIVE> where the folder and archive go.
std::wstring ScriptTemplate(ScriptKind kind);

struct RecognisedScript {
    ScriptKind kind = ScriptKind::Stop;
    std::vector<std::wstring> literals;
    std::wstring dir;      // the same in every place it appears
    std::wstring archive;  // expand only
    std::wstring pattern;  // stop only: the -like pattern, "<DIR>\*"
};
// Matches the script against the three templates: text outside literals
// character for character, literals after decoding.
bool RecogniseScript(const std::wstring& script, RecognisedScript& recognised, std::wstring& error);

// PowerShell's -like: case-insensitive, the whole text, with * ? [set] and
// backtick escapes. False (with a reason) for a pattern PowerShell rejects.
bool CheckLikePattern(const std::wstring& pattern, std::wstring& error);
bool LikeMatch(const std::wstring& text, const std::wstring& pattern);

}  // namespace standin
