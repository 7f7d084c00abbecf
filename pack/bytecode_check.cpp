#include "bytecode_check.h"

#include <utility>

#include "zip_writer.h"

namespace {

constexpr std::string_view kCache = "__pycache__/", kSuffix = ".pyc";

uint32_t Uint32At(const std::vector<uint8_t>& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

// The folder part of `path` (up to and with its last '/') and the name.
std::pair<std::string_view, std::string_view> Split(std::string_view path) {
    const size_t slash = path.rfind('/') + 1;  // npos + 1 == 0: no folder
    return {path.substr(0, slash), path.substr(slash)};
}

// "pkg/mod.py" for "pkg/__pycache__/mod.cpython-312.pyc" (or ".opt-1.pyc"),
// as importlib finds a cached module's source.
std::string SourceOf(std::string_view path) {
    const auto [folder, name] = Split(path);
    return std::string(folder.substr(0, folder.size() - kCache.size())) + std::string(name.substr(0, name.find('.'))) + ".py";
}

}  // namespace

bool IsCachedBytecode(std::string_view path) {
    const auto [folder, name] = Split(path);
    const size_t cacheAt = folder.size() - kCache.size();
    const bool inCache = folder.size() >= kCache.size() && folder.substr(cacheAt) == kCache &&
                         (cacheAt == 0 || folder[cacheAt - 1] == '/');
    // NAME.TAG.pyc: a module name has no dot, the tag follows the first one.
    const size_t dot = name.find('.');
    return inCache && dot != 0 && dot + kSuffix.size() < name.size() &&
           name.substr(name.size() - kSuffix.size()) == kSuffix;
}

size_t CountStaleBytecode(const std::vector<PayloadEntry>& entries,
                          const std::map<std::string, std::vector<uint8_t>>& headers, std::optional<int64_t> latest) {
    std::map<std::string_view, const PayloadEntry*> files;
    for (const PayloadEntry& entry : entries) {
        if (entry.kind == EntryKind::File) files.emplace(entry.path, &entry);
    }
    size_t stale = 0;
    for (const auto& [path, header] : headers) {
        if (!IsCachedBytecode(path) || header.size() < kBytecodeHeaderSize || Uint32At(header, 4) != 0) continue;
        const auto source = files.find(SourceOf(path));
        if (source == files.end()) continue;
        // Python compares the low 32 bits of both, as the header holds them.
        const uint32_t time = static_cast<uint32_t>(PackedTime(source->second->mtime, latest));
        stale += Uint32At(header, 8) != time || Uint32At(header, 12) != static_cast<uint32_t>(source->second->size);
    }
    return stale;
}

std::string StaleBytecodeWarning(size_t count) {
    const bool one = count == 1;
    return "warning: " + std::to_string(count) + (one ? " compiled module (.pyc) does not match its source" :
                                                        " compiled modules (.pyc) do not match their sources") +
           " and will be recompiled on first start; compile " + (one ? "it" : "them") +
           " with python -m compileall --invalidation-mode unchecked-hash";
}
