#include "python_script.h"

#include "standin_common.h"

namespace standin {

bool ParseDirectives(const std::string& script, std::vector<Directive>& directives, std::wstring& error) {
    directives.clear();
    std::string text = script;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    size_t start = 0;
    for (int number = 1; start < text.size(); ++number) {
        size_t stop = text.find('\n', start);
        if (stop == std::string::npos) stop = text.size();
        std::string line = text.substr(start, stop - start);
        start = stop + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::wstring where = L"line " + std::to_wstring(number) + L": ";
        if (line.empty() || line[0] == '#') continue;

        const size_t space = line.find(' ');
        const std::string word = line.substr(0, space);
        const std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
        std::wstring wideRest;
        if (!FromUtf8(rest, wideRest)) {
            error = where + L"not UTF-8";
            return false;
        }
        Directive directive;
        if (word == "sleep" || word == "exit") {
            directive.kind = word == "sleep" ? Directive::Sleep : Directive::Exit;
            if (!ParseInteger(wideRest, directive.number) || (word == "sleep" && directive.number < 0)) {
                error = where + L"'" + wideRest + L"' is not a valid " + (word == "sleep" ? L"time" : L"status");
                return false;
            }
        } else if (word == "write") {
            directive.kind = Directive::Write;
            const size_t gap = rest.find(' ');
            if (gap == std::string::npos || gap == 0) {
                error = where + L"write needs a path and a text";
                return false;
            }
            FromUtf8(rest.substr(0, gap), directive.path);
            directive.text = rest.substr(gap + 1);
            if (directive.path[0] == L'\\' || directive.path[0] == L'/' ||
                directive.path.find(L':') != std::wstring::npos) {
                error = where + L"'" + directive.path + L"' is not a relative path";
                return false;
            }
        } else {
            std::wstring wideWord;
            FromUtf8(word, wideWord);
            error = where + L"unknown directive '" + wideWord + L"'";
            return false;
        }
        directives.push_back(std::move(directive));
    }
    return true;
}

}  // namespace standin
