// The part of the packer's platform layer that both systems share, built on
// the calls each system's file implements.
#include <filesystem>

#include "platform.h"

namespace fs = std::filesystem;

namespace platform {

bool LiesInFolder(const std::string& path, const std::string& folder) {
    FileId wanted, id;
    if (!IdentifyFile(folder, wanted)) return false;
    // The nearest part of the path that exists, as the system resolves it.
    // Absolute first, so a bare name is judged by the current folder.
    std::error_code error;
    fs::path existing = fs::absolute(fs::u8path(path), error);
    if (error) return false;
    std::string at;
    while (!FinalPath(existing.u8string(), at)) {
        if (!existing.has_relative_path()) return false;
        existing = existing.parent_path();
    }
    // Then it and every folder above it, by the system's own path for each.
    for (fs::path up = fs::u8path(at);; up = up.parent_path()) {
        if (IdentifyFile(up.u8string(), id) && id == wanted) return true;
        if (!up.has_relative_path()) return false;
    }
}

std::string ProgramRunningFrom(const std::string& folder) {
    std::string final;
    if (!FinalPath(folder, final)) return "";
    for (const std::string& image : OtherRunningPrograms()) {
        if (!LiesInFolder(image, folder)) continue;
        const fs::path below = fs::u8path(image).lexically_relative(fs::u8path(final));
        return below.empty() || *below.begin() == ".." ? image : below.u8string();
    }
    return "";
}

}  // namespace platform
