#include "args.h"

#include <string>

#include "failure.h"
#include "utf8_text.h"

const char kUsage[] =
    "usage: vorlasta-pack [--program <setup program>] --payload <folder|zip> [--move] [--skip-interpreter-checks]"
    " [--threads <n>] --output <setup file> | vorlasta-pack inspect [--password-stdin] [--skip-interpreter-checks] <setup file>"
    " | vorlasta-pack move [--from <installation>] [--program <setup program>] [--progress]"
    " [--encrypt [--password-stdin]] [--skip-interpreter-checks] [--threads <n>] --output <setup file>";

namespace {

constexpr char kSkipInterpreterChecks[] = "--skip-interpreter-checks";
constexpr char kPasswordStdin[] = "--password-stdin";

Command ParseInspect(const std::vector<std::string>& args) {
    Command command;
    command.kind = Command::Inspect;
    size_t i = 1;
    for (; i + 1 < args.size(); ++i) {
        bool& flag = args[i] == kPasswordStdin ? command.inspectPasswordStdin : command.skipInterpreterChecks;
        if ((args[i] != kPasswordStdin && args[i] != kSkipInterpreterChecks) || flag) break;
        flag = true;
    }
    if (i + 1 != args.size()) throw UsageError("inspect takes exactly one setup file");
    command.inspectFile = args.back();
    return command;
}

// Takes the value of "--key value" or "--key=value" at args[i] into the
// target that `targets` names for the key; false when the key is not there.
bool TakeValue(const std::vector<std::string>& args, size_t& i,
               const std::vector<std::pair<const char*, std::string*>>& targets) {
    const std::string& name = args[i];
    const size_t equals = name.find('=');
    const std::string key = name.substr(0, equals);
    std::string* target = nullptr;
    for (const auto& [known, where] : targets) {
        if (key == known) target = where;
    }
    if (target == nullptr) return false;
    std::string value;
    if (equals != std::string::npos) {
        value = name.substr(equals + 1);
    } else if (i + 1 < args.size()) {
        value = args[++i];
    } else {
        throw UsageError(key + " needs a value");
    }
    if (!target->empty()) throw UsageError(key + " given twice");
    if (value.empty()) throw UsageError(key + " needs a value");
    *target = value;
    return true;
}

// The value of --threads: a whole number from 1 to 256.
unsigned ParseThreads(const std::string& text) {
    const bool digits = !text.empty() && text.size() <= 3 && text.find_first_not_of("0123456789") == std::string::npos;
    const unsigned long threads = digits ? std::stoul(text) : 0;
    if (threads < 1 || threads > 256) throw UsageError("--threads takes a whole number from 1 to 256");
    return static_cast<unsigned>(threads);
}

Command ParseMove(const std::vector<std::string>& args) {
    Command command;
    command.kind = Command::Move;
    MoveOptions& move = command.move;
    std::string threads;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            command.kind = Command::Help;
            return command;
        }
        if (args[i] == "--progress") {
            move.progressLines = true;
        } else if (args[i] == "--encrypt") {
            move.encrypt = true;
        } else if (args[i] == kPasswordStdin) {
            move.passwordStdin = true;
        } else if (args[i] == kSkipInterpreterChecks) {
            command.skipInterpreterChecks = true;
        } else if (!TakeValue(args, i, {{"--from", &move.from}, {"--program", &move.program}, {"--output", &move.output},
                                      {"--threads", &threads}})) {
            throw UsageError("unknown argument '" + args[i] + "'");
        }
    }
    if (move.output.empty()) throw UsageError("missing --output");
    if (!threads.empty()) move.threads = ParseThreads(threads);
    if (move.passwordStdin && !move.encrypt) throw UsageError("--password-stdin goes with --encrypt");
    // Only the built-in setup program opens a sealed payload.
    if (move.encrypt && !move.program.empty()) throw UsageError("--encrypt cannot go with --program");
    return command;
}

}  // namespace

Command ParseArgs(const std::vector<std::string>& args) {
    // Text that is not Unicode would become another name, or none, on the other system.
    for (const std::string& arg : args) {
        if (Utf16Length(arg) < 0) Refuse("argument \"" + Printable(arg) + "\" is not valid Unicode text; give it in Unicode");
    }
    if (!args.empty() && args[0] == "inspect") return ParseInspect(args);
    if (!args.empty() && args[0] == "move") return ParseMove(args);

    Command command;
    PackOptions& pack = command.pack;
    std::string threads;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        if (name == "--help" || name == "-h") {
            command.kind = Command::Help;
            return command;
        }
        if (name == "--move") {
            pack.move = true;
            continue;
        }
        if (name == kSkipInterpreterChecks) {
            command.skipInterpreterChecks = true;
            continue;
        }
        if (!TakeValue(args, i, {{"--program", &pack.program}, {"--payload", &pack.payload}, {"--output", &pack.output},
                                      {"--threads", &threads}})) {
            throw UsageError("unknown argument '" + name + "'");
        }
    }
    if (pack.payload.empty()) throw UsageError("missing --payload");
    if (pack.output.empty()) throw UsageError("missing --output");
    if (!threads.empty()) pack.threads = ParseThreads(threads);
    return command;
}

std::optional<int64_t> LatestEntryTime(const char* value) {
    if (value == nullptr) return std::nullopt;
    int64_t seconds = 0;
    bool valid = *value != '\0';
    for (const char* c = value; valid && *c != '\0'; ++c) {
        valid = *c >= '0' && *c <= '9' && seconds <= (INT64_MAX - 9) / 10;
        if (valid) seconds = seconds * 10 + (*c - '0');
    }
    // A reproducible build asked for but not done would pass unnoticed.
    if (!valid) Refuse("SOURCE_DATE_EPOCH is \"" + Printable(value) + "\", not a whole number of seconds since 1970; correct it or unset it");
    return seconds;
}
