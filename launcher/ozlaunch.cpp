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

#include "protocol/wire.h"
#include "session/ozlan.h"

namespace {

constexpr uint16_t kDefaultRelayPort = 3669;
constexpr int kDefaultTimeoutSeconds = 10;

const char kUsage[] =
    "usage: ozlaunch --relay HOST[:PORT][,HOST[:PORT]...] --session NAME [--timeout SECONDS]\n"
    "                [--password TEXT] [--log FILE] -- GAME.EXE [ARGS...]\n"
    "Joins SESSION on the relay service (default port 3669), starts the game with the\n"
    "Winsock proxy in its folder, and ends the session when the game exits.\n"
    "With several relays (a list, or a name with several addresses) every player of a\n"
    "session picks the same one; a lost relay is joined again, or the next one, by itself.\n"
    "--password (or OZLAN_PASSWORD in the environment, out of process lists) makes the\n"
    "session private: only players with the same password join it.\n"
    "--log FILE keeps this launcher's and the session library's lines in FILE, for a\n"
    "bug report.\n"
    "Exit code: the game's, or 2 for a bad command line, 3 when the relay service\n"
    "cannot be reached, 4 when the session cannot be prepared, 5 when the game cannot start,\n"
    "6 when the session refuses the join (password) or the relay does not keep it private.\n";

struct Options {
    std::string relay;  // one HOST[:PORT] or a comma-separated list
    uint16_t relay_port = kDefaultRelayPort;
    std::string session;
    int timeout_seconds = kDefaultTimeoutSeconds;
    std::string log;
    std::string password;
    std::string game;
    std::vector<std::string> game_args;
};

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

// What is wrong with "HOST[:PORT],..." (in the session library's words), or nothing.
std::string RelayListProblem(const std::string& list) {
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        std::string entry =
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        size_t colon = entry.rfind(':');
        if (entry.empty()) return "empty entry in the relay list '" + list + "'";
        if (colon == 0) return "bad relay address '" + entry + "'";
        if (colon != std::string::npos) {
            char* end = nullptr;
            long port = std::strtol(entry.c_str() + colon + 1, &end, 10);
            if (colon + 1 == entry.size() || *end || port < 1 || port > 65535) {
                return "bad relay port in '" + entry + "'";
            }
        }
        if (comma == std::string::npos) return "";
        start = comma + 1;
    }
}

bool ParseArguments(int argc, char** argv, Options* o, bool* help) {
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
        } else if (arg == "--password" && value) {
            o->password = value;
            ++i;
        } else if (arg == "--log" && value) {
            o->log = value;
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
    if (o->relay.empty() || o->session.empty() || o->game.empty()) {
        Fail(2, "%s", "--relay, --session and a game after -- are required (see --help)");
        return false;
    }
    if (o->session.size() > 63) {
        Fail(2, "%s", "the session name has at most 63 characters");
        return false;
    }
    return true;
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// True when another process holds the file open (a game has loaded it).
bool InUse(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

// True when the file is a copy of the proxy (every build carries the marker).
bool IsProxyCopy(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::string bytes;
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0 && bytes.size() < (64u << 20)) {
        bytes.append(chunk, got);
    }
    std::fclose(f);
    return bytes.find(OZLAN_PROXY_MARKER) != std::string::npos;
}

void DispatchMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// Wine reads DLL overrides from its own environment, not from the one a Windows
// process hands to its child; its registry holds them per program as well. The
// game's program gets "wsock32: native, then builtin" while it runs.
std::string OverrideKey(const std::string& game_path) {
    size_t slash = game_path.find_last_of("\\/");
    return "Software\\Wine\\AppDefaults\\" + game_path.substr(slash + 1) + "\\DllOverrides";
}

void PreferGameWinsock(const std::string& game_path, bool prefer) {
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, OverrideKey(game_path).c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    if (prefer) {
        const char value[] = "native,builtin";
        RegSetValueExA(key, "wsock32", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                       sizeof value);
    } else {
        RegDeleteValueA(key, "wsock32");
    }
    RegCloseKey(key);
}

std::string Quote(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string quoted(1, '"');
    for (char c : arg) {
        if (c == '"') quoted.push_back('\\');
        quoted.push_back(c);
    }
    quoted.push_back('"');
    return quoted;
}

// The launcher's environment with its folder first on PATH (the proxy finds
// QUILLET.DLL there) and, under Wine, the game's own wsock32.dll preferred.
std::vector<char> GameEnvironment(const std::string& launcher_folder) {
    std::vector<std::string> entries;
    std::string path = launcher_folder;
    char* block = GetEnvironmentStringsA();
    for (char* e = block; *e; e += std::strlen(e) + 1) {
        std::string entry = e;
        if (_strnicmp(e, "PATH=", 5) == 0) {
            path.push_back(';');
            path.append(e + 5);
        } else if (_strnicmp(e, "WINEDLLOVERRIDES=", 17) != 0) {
            entries.push_back(entry);
        }
    }
    FreeEnvironmentStringsA(block);
    entries.push_back("PATH=" + path);
    if (RunningUnderWine()) entries.push_back("WINEDLLOVERRIDES=wsock32=n,b");
    std::vector<char> result;
    for (const auto& entry : entries) result.insert(result.end(), entry.begin(), entry.end() + 1);
    result.push_back(0);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    bool help = false;
    if (!ParseArguments(argc, argv, &o, &help)) return 2;
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!o.log.empty() && !StartLog(o.log))
        return Fail(2, "cannot write the log file %s", o.log.c_str());
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string folder = FolderOf(self);
    char game_full[MAX_PATH];
    if (!GetFullPathNameA(o.game.c_str(), MAX_PATH, game_full, nullptr) || !Exists(game_full)) {
        return Fail(5, "game not found: %s", o.game.c_str());
    }
    std::string game_folder = FolderOf(game_full);
    if (!Exists(folder + "\\ozws.dll")) return Fail(4, "ozws.dll is missing beside %s", self);

    HMODULE ozlan = LoadLibraryA((folder + "\\OZLAN.dll").c_str());
    if (!ozlan) return Fail(4, "cannot load %s\\OZLAN.dll", folder.c_str());
    auto bind = [&](const char* name) {
        return reinterpret_cast<void*>(GetProcAddress(ozlan, name));
    };
    auto init = reinterpret_cast<OZLanInitSessionFn>(bind("OZLanInitSession"));
    auto pre_launch = reinterpret_cast<OZLanPreLaunchFn>(bind("OZLanPreLaunch"));
    auto end_session = reinterpret_cast<OZLanEndSessionFn>(bind("OZLanEndSession"));
    auto is_joined = reinterpret_cast<OZLanIsJoinedFn>(bind("OZLanIsJoined"));
    auto set_password = reinterpret_cast<OZLanSetPasswordFn>(bind("OZLanSetPassword"));
    auto join_status = reinterpret_cast<OZLanJoinStatusFn>(bind("OZLanJoinStatus"));
    if (!init || !pre_launch || !end_session || !is_joined || !set_password || !join_status)
        return Fail(4, "%s", "OZLAN.dll is incomplete");

    if (o.password.empty()) {
        char from_environment[256] = {};
        DWORD n =
            GetEnvironmentVariableA("OZLAN_PASSWORD", from_environment, sizeof from_environment);
        if (n > 0 && n < sizeof from_environment) o.password = from_environment;
    }
    if (!set_password(o.password.c_str())) {
        return Fail(2, "%s", "the password has at most 127 characters");
    }
    Say("ozlaunch: joining %ssession '%s' on %s\n", o.password.empty() ? "" : "private ",
        o.session.c_str(), o.relay.c_str());
    if (!init(o.relay.c_str(), o.relay_port, o.session.c_str())) {
        return Fail(3, "cannot reach the relay service at %s (bad address?)", o.relay.c_str());
    }
    DWORD deadline = GetTickCount() + DWORD(o.timeout_seconds) * 1000;
    while (!is_joined() && int(deadline - GetTickCount()) > 0) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        DispatchMessages();
    }
    if (!is_joined()) {
        end_session();
        return Fail(3, "the relay service at %s did not answer", o.relay.c_str());
    }
    Say("ozlaunch: joined\n");

    // A copy of the proxy must be writable into the game folder; a wsock32.dll of the
    // player's waits aside meanwhile.
    std::string saved = game_folder + "\\" OZLAN_SAVED_NAME;
    bool had_winsock = Exists(game_folder + "\\wsock32.dll"), had_saved = Exists(saved);
    if (!pre_launch(game_folder.c_str(), o.session.c_str())) {
        end_session();
        std::string copy = game_folder + "\\wsock32.dll";
        if (IsProxyCopy(copy) && InUse(copy)) {
            // A launcher that died left its game running: our copy is in use.
            return Fail(4, "%s",
                        "the game from an earlier session still runs and uses OZLAN's copy: "
                        "close it first");
        }
        if (had_winsock && had_saved && Exists(saved)) {
            std::string why = game_folder + " holds both a wsock32.dll of its own and " +
                              OZLAN_SAVED_NAME +
                              " (kept from an earlier session); neither was touched. Keep the "
                              "one you want as wsock32.dll, move the other away, and start again";
            return Fail(4, "%s", why.c_str());
        }
        return Fail(4, "cannot place the proxy into %s (folder not writable?)",
                    game_folder.c_str());
    }
    // The relay service's word on the join: a private session is played only on a relay
    // that keeps it private, and a refusal says why.
    DWORD answer_deadline = GetTickCount() + DWORD(o.timeout_seconds) * 1000;
    uint32_t status = join_status();
    while (status == OZLAN_JOIN_PENDING && int(answer_deadline - GetTickCount()) > 0) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        DispatchMessages();
        status = join_status();
    }
    const char* session = o.session.c_str();
    if (status != OZLAN_JOIN_DELIVERED && status != OZLAN_JOIN_ACCEPTED_PRIVATE) {
        end_session();
        char why[320];
        if (status == OZLAN_JOIN_WRONG_PASSWORD) {
            std::snprintf(why, sizeof why, "wrong password for session '%s'", session);
        } else if (status == OZLAN_JOIN_NEEDS_PASSWORD) {
            std::snprintf(why, sizeof why, "session '%s' needs a password", session);
        } else if (status == OZLAN_JOIN_SESSION_IS_OPEN) {
            std::snprintf(why, sizeof why, "session '%s' is open: start without a password",
                          session);
        } else if (!o.password.empty()) {
            std::snprintf(why, sizeof why,
                          "the relay service at %s does not confirm private sessions: not "
                          "joining '%s' there",
                          o.relay.c_str(), session);
        } else {
            std::snprintf(why, sizeof why, "the relay service at %s did not take the join",
                          o.relay.c_str());
        }
        return Fail(6, "%s", why);
    }
    if (status == OZLAN_JOIN_ACCEPTED_PRIVATE) Say("ozlaunch: in private session '%s'\n", session);
    bool kept = Exists(saved);
    if (kept) {
        Say("ozlaunch: kept your wsock32.dll (as %s); it will be put back when the game ends\n",
            OZLAN_SAVED_NAME);
    }
    std::string command = Quote(game_full);
    for (const auto& a : o.game_args) {
        command.push_back(' ');
        command.append(Quote(a));
    }
    std::vector<char> environment = GameEnvironment(folder);
    bool wine = RunningUnderWine();
    if (wine) PreferGameWinsock(game_full, true);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(game_full, command.data(), nullptr, nullptr, TRUE, 0, environment.data(),
                        game_folder.c_str(), &startup, &process)) {
        if (wine) PreferGameWinsock(game_full, false);
        end_session();
        return Fail(5, "cannot start the game %s", game_full);
    }
    CloseHandle(process.hThread);
    Say("ozlaunch: game started\n");
    // The link is watched while the game runs: the session library joins again by
    // itself, and the player learns what happens meanwhile.
    DWORD lost_at = 0;
    bool lost = false, said_still = false;
    for (;;) {
        DWORD woke = MsgWaitForMultipleObjects(1, &process.hProcess, FALSE, 250, QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0) break;
        DispatchMessages();
        bool joined = is_joined() != 0;
        if (!lost && !joined) {
            lost = true;
            said_still = false;
            lost_at = GetTickCount();
            Say("ozlaunch: relay lost; reconnecting (the game goes on; other players see it again "
                "once the session is rejoined)\n");
        } else if (lost && joined) {
            lost = false;
            Say("ozlaunch: rejoined session '%s' after %.1f s\n", o.session.c_str(),
                double(GetTickCount() - lost_at) / 1000.0);
        } else if (lost && !said_still &&
                   GetTickCount() - lost_at >= DWORD(o.timeout_seconds) * 1000) {
            said_still = true;
            Say("ozlaunch: the relay service has not answered for %d s; still trying\n",
                o.timeout_seconds);
        }
    }
    DWORD exit_code = 1;
    GetExitCodeProcess(process.hProcess, &exit_code);
    CloseHandle(process.hProcess);
    if (wine) PreferGameWinsock(game_full, false);
    end_session();
    if (kept) {
        if (Exists(saved)) {
            Say("ozlaunch: your wsock32.dll is still kept as %s (the game folder's copy was in "
                "use); it goes back at the next start\n",
                OZLAN_SAVED_NAME);
        } else {
            Say("ozlaunch: your wsock32.dll is back in place\n");
        }
    }
    Say("ozlaunch: game ended with exit code %lu\n", exit_code);
    return int(exit_code);
}
