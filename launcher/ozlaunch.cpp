// ozlaunch: the reference launcher. Joins a session on the relay service through
// OZLAN.dll, starts the game with the Winsock proxy in its folder, and keeps the
// session going until the game exits.
#include <windows.h>

#include <io.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "launcher/launch.h"
#include "session/ozlan.h"

using namespace ozlan;

namespace {

const char kUsage[] =
    "usage: ozlaunch --relay HOST[:PORT][,HOST[:PORT]...] --session NAME [--timeout SECONDS]\n"
    "                [--password TEXT] [--name NAME] [--log FILE] [--inside]\n"
    "                -- GAME.EXE [ARGS...]\n"
    "Joins SESSION on the relay service (default port 3669), starts the game with the\n"
    "Winsock proxy in its folder, and ends the session when the game exits.\n"
    "With several relays (a list, or a name with several addresses) every player of a\n"
    "session picks the same one; a lost relay is joined again, or the next one, by itself.\n"
    "--password (or OZLAN_PASSWORD in the environment, out of process lists) makes the\n"
    "session private: only players with the same password join it.\n"
    "--name NAME is how the other players see you (at most 23 characters; default: your\n"
    "Windows user name). The launcher says who joins and leaves the session.\n"
    "--log FILE keeps this launcher's and the session library's lines in FILE, for a\n"
    "bug report; without it the session library's diagnostic lines go to\n"
    "ozlaunch-diagnostics.log in the temporary folder.\n"
    "Exit code: the game's, or 2 for a bad command line, 3 when the relay service\n"
    "cannot be reached, 4 when the session cannot be prepared, 5 when the game cannot start,\n"
    "6 when the session refuses the join (password) or the relay does not keep it private.\n"
    "--inside starts the game with the proxy inside its process and writes nothing into\n"
    "its folder; the launcher does so by itself for games that use Winsock 2 (ws2_32.dll)\n"
    "and for game folders it cannot write to.\n";

// With --log, standard output goes to the log file (the session library writes its
// lines there too) and the player's own lines also to the console, kept here.
FILE* g_console = nullptr;

// One line for the player (and the log).
void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (g_console) {
        va_list copy;
        va_copy(copy, args);
        std::vfprintf(g_console, format, copy);
        va_end(copy);
        std::fflush(g_console);
    }
    std::vfprintf(stdout, format, args);
    std::fflush(stdout);
    va_end(args);
}

int Fail(int code, const char* format, const char* detail = "") {
    std::fprintf(stderr, "ozlaunch: ");
    std::fprintf(stderr, format, detail);
    std::fprintf(stderr, "\n");
    if (g_console) {  // the log keeps why it ended
        std::fprintf(stdout, "ozlaunch: ");
        std::fprintf(stdout, format, detail);
        std::fprintf(stdout, "\n");
        std::fflush(stdout);
    }
    return code;
}

// Sends standard output to `path`, keeping the console for Say; false when the file
// cannot be written.
bool StartLog(const std::string& path) {
    int console = _dup(_fileno(stdout));
    if (console < 0) return false;
    if (!std::freopen(path.c_str(), "w", stdout)) {
        _close(console);
        return false;
    }
    g_console = _fdopen(console, "w");
    return g_console != nullptr;
}

bool ParseArguments(int argc, char** argv, LaunchOptions* o, bool* help, std::string* log) {
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--") {
            ++i;
            break;
        } else if (arg == "--help" || arg == "-h") {
            *help = true;
            return true;
        } else if (arg == "--relay" && value) {
            o->relay = value;
            std::string problem = RelayListProblem(o->relay);
            if (!problem.empty()) {
                Fail(2, "%s (HOST[:PORT], several separated by commas)", problem.c_str());
                return false;
            }
            ++i;
        } else if (arg == "--session" && value) {
            o->session = value;
            ++i;
        } else if (arg == "--name" && value) {
            o->player_name = value;
            ++i;
        } else if (arg == "--password" && value) {
            o->password = value;
            ++i;
        } else if (arg == "--inside") {
            o->inside = true;
        } else if (arg == "--log" && value) {
            *log = value;
            ++i;
        } else if (arg == "--timeout" && value) {
            char* end = nullptr;
            long seconds = std::strtol(value, &end, 10);
            if (*end || seconds < 1 || seconds > 3600) {
                Fail(2, "--timeout needs a number of seconds from 1 to 3600, got '%s'", value);
                return false;
            }
            o->timeout_seconds = int(seconds);
            ++i;
        } else {
            Fail(2, "unknown or incomplete argument '%s' (see --help)", arg.c_str());
            return false;
        }
    }
    if (i < argc) o->game = argv[i++];
    for (; i < argc; ++i) o->game_args.push_back(argv[i]);
    std::string problem = OptionsProblem(*o);
    if (!problem.empty()) {
        Fail(2, "%s", problem.c_str());
        return false;
    }
    return true;
}

// Without --log the session library's diagnostic lines go to a file in the temporary
// folder, named to the player, so that the console shows the launcher's lines only
// (between the game's own). Where there is no such file they stay on the console.
void KeepDiagnosticsAside() {
    char folder[MAX_PATH];
    DWORD n = GetTempPathA(MAX_PATH, folder);
    if (n == 0 || n >= MAX_PATH) return;
    std::string path = std::string(folder) + "ozlaunch-diagnostics.log";
    FILE* file = std::fopen(path.c_str(), "w");  // this session's lines only
    if (!file) return;
    std::fclose(file);
    if (!SetEnvironmentVariableA(OZLAN_DIAGNOSTICS_FILE_VARIABLE, path.c_str())) return;
    Say("ozlaunch: diagnostic lines go to %s (--log FILE chooses the file)\n", path.c_str());
}

// The session's lines: "ozlaunch: " and the text, on standard output (and the console
// with --log); a failure on standard error (and in the log).
void Report(void*, bool failure, const char* text) {
    if (failure) {
        Fail(1, "%s", text);
    } else {
        Say("ozlaunch: %s\n", text);
    }
}

}  // namespace

int main(int argc, char** argv) {
    LaunchOptions o;
    bool help = false;
    std::string log;
    if (!ParseArguments(argc, argv, &o, &help, &log)) return 2;
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!log.empty() && !StartLog(log)) return Fail(2, "cannot write the log file %s", log.c_str());
    if (log.empty()) KeepDiagnosticsAside();
    LaunchReport report;
    report.line = Report;
    return RunLaunch(o, report);
}
