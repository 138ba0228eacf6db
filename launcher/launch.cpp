// One session for the console launcher and the players' window alike.
#include "launcher/launch.h"
#include "launcher/proxy_way.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protocol/wire.h"
#include "session/ozlan.h"

namespace ozlan {
namespace {

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
std::vector<char> GameEnvironment(const std::string& launcher_folder, bool prefer_game_winsock) {
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
    if (prefer_game_winsock && RunningUnderWine()) {
        entries.push_back("WINEDLLOVERRIDES=wsock32=n,b");
    }
    std::vector<char> result;
    for (const auto& entry : entries) result.insert(result.end(), entry.begin(), entry.end() + 1);
    result.push_back(0);
    return result;
}

// The password asked for: the option, else OZLAN_PASSWORD (kept out of process lists).
std::string EffectivePassword(const LaunchOptions& o) {
    if (!o.password.empty()) return o.password;
    char from_environment[256] = {};
    DWORD n = GetEnvironmentVariableA("OZLAN_PASSWORD", from_environment, sizeof from_environment);
    return n > 0 && n < sizeof from_environment ? from_environment : "";
}

// The player's name as the join will carry it, and how long it is once cleaned
// (without the 23-byte cut).
size_t CleanedLength(const std::string& name) {
    std::string kept;
    for (char c : name) {
        if (uint8_t(c) >= 32 && uint8_t(c) != 127) kept.push_back(c);
    }
    size_t first = kept.find_first_not_of(' '), last = kept.find_last_not_of(' ');
    return first == std::string::npos ? 0 : last - first + 1;
}

// Lines for the player, in printf form.
class Reporter {
  public:
    explicit Reporter(const LaunchReport& report) : report_(report) {}
    void Say(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        Send(false, format, args);
        va_end(args);
    }
    int Fail(int code, const char* format, ...) __attribute__((format(printf, 3, 4))) {
        va_list args;
        va_start(args, format);
        Send(true, format, args);
        va_end(args);
        return code;
    }
    // The session library's lines about players, and its member list when it changed.
    void Presence(OZLanNextEventFn next_event, OZLanMembersFn members) {
        char line[512];
        while (next_event && next_event(line, sizeof line)) {
            if (report_.line) report_.line(report_.context, false, line);
        }
        if (!members || !report_.members) return;
        char list[8192];
        members(list, sizeof list);
        if (list == last_members_) return;
        last_members_ = list;
        report_.members(report_.context, list);
    }

  private:
    void Send(bool failure, const char* format, va_list args) {
        char text[1024];
        std::vsnprintf(text, sizeof text, format, args);
        if (report_.line) report_.line(report_.context, failure, text);
    }
    const LaunchReport& report_;
    std::string last_members_;
};

}  // namespace

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

std::string OptionsProblem(const LaunchOptions& o) {
    if (o.relay.empty() || o.session.empty() || o.game.empty()) {
        return "--relay, --session and a game after -- are required (see --help)";
    }
    std::string problem = RelayListProblem(o.relay);
    if (!problem.empty()) return problem + " (HOST[:PORT], several separated by commas)";
    if (o.session.size() > 63) return "the session name has at most 63 characters";
    if (EffectivePassword(o).size() > 127) return "the password has at most 127 characters";
    if (!o.player_name.empty()) {
        size_t length = CleanedLength(o.player_name);
        if (length == 0) return "the player's name is empty";
        if (length > kMaxPlayerName) return "the player's name has at most 23 characters";
    }
    return "";
}

std::string DefaultPlayerName() {
    char user[256] = {};
    DWORD size = sizeof user;
    char cleaned[kJoinPlayerField] = {};
    if (GetUserNameA(user, &size)) CleanPlayerName(user, cleaned);
    return cleaned[0] ? cleaned : "player";
}

int RunLaunch(const LaunchOptions& o, const LaunchReport& report) {
    Reporter r(report);
    std::string problem = OptionsProblem(o);
    if (!problem.empty()) return r.Fail(2, "%s", problem.c_str());
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string folder = FolderOf(self);
    char game_full[MAX_PATH];
    if (!GetFullPathNameA(o.game.c_str(), MAX_PATH, game_full, nullptr) || !Exists(game_full)) {
        return r.Fail(5, "game not found: %s", o.game.c_str());
    }
    std::string game_folder = FolderOf(game_full);
    if (!Exists(folder + "\\ozws.dll")) return r.Fail(4, "ozws.dll is missing beside %s", self);
    // Refused before anything starts when the game cannot get the proxy.
    ProxyWay way = ChooseProxyWay(o.inside, game_full, game_folder);
    if (!way.refusal.empty()) return r.Fail(5, "%s", way.refusal.c_str());

    HMODULE ozlan = LoadLibraryA((folder + "\\OZLAN.dll").c_str());
    if (!ozlan) return r.Fail(4, "cannot load %s\\OZLAN.dll", folder.c_str());
    auto bind = [&](const char* name) {
        return reinterpret_cast<void*>(GetProcAddress(ozlan, name));
    };
    auto init = reinterpret_cast<OZLanInitSessionFn>(bind("OZLanInitSession"));
    auto pre_launch = reinterpret_cast<OZLanPreLaunchFn>(bind("OZLanPreLaunch"));
    auto end_session = reinterpret_cast<OZLanEndSessionFn>(bind("OZLanEndSession"));
    auto is_joined = reinterpret_cast<OZLanIsJoinedFn>(bind("OZLanIsJoined"));
    auto set_password = reinterpret_cast<OZLanSetPasswordFn>(bind("OZLanSetPassword"));
    auto join_status = reinterpret_cast<OZLanJoinStatusFn>(bind("OZLanJoinStatus"));
    // Names and presence: a library without them plays on, without either.
    auto set_name = reinterpret_cast<OZLanSetPlayerNameFn>(bind("OZLanSetPlayerName"));
    auto next_event = reinterpret_cast<OZLanNextEventFn>(bind("OZLanNextEvent"));
    auto members = reinterpret_cast<OZLanMembersFn>(bind("OZLanMembers"));
    auto pre_launch_inside = reinterpret_cast<OZLanPreLaunchInsideFn>(bind("OZLanPreLaunchInside"));
    auto take_over = reinterpret_cast<OZLanTakeOverProcessFn>(bind("OZLanTakeOverProcess"));
    if (!init || !pre_launch || !end_session || !is_joined || !set_password || !join_status ||
        (way.inside && (!pre_launch_inside || !take_over)))
        return r.Fail(4, "%s", "OZLAN.dll is incomplete");

    std::string password = EffectivePassword(o);
    if (!set_password(password.c_str())) {
        return r.Fail(2, "%s", "the password has at most 127 characters");
    }
    std::string player = o.player_name.empty() ? DefaultPlayerName() : o.player_name;
    if (set_name && !set_name(player.c_str())) return r.Fail(2, "%s", "the player's name is empty");
    r.Say("joining %ssession '%s' on %s as %s", password.empty() ? "" : "private ",
          o.session.c_str(), o.relay.c_str(), player.c_str());
    if (!init(o.relay.c_str(), o.relay_port, o.session.c_str())) {
        return r.Fail(3, "cannot reach the relay service at %s (bad address?)", o.relay.c_str());
    }
    DWORD deadline = GetTickCount() + DWORD(o.timeout_seconds) * 1000;
    while (!is_joined() && int(deadline - GetTickCount()) > 0) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        DispatchMessages();
    }
    if (!is_joined()) {
        end_session();
        return r.Fail(3, "the relay service at %s did not answer", o.relay.c_str());
    }
    // "joined" waits for the relay's word on the join, below: a session may refuse it.

    r.Say("%s", way.line.c_str());
    std::string saved = game_folder + "\\" OZLAN_SAVED_NAME;
    if (way.inside) {
        if (!pre_launch_inside(o.session.c_str())) {
            end_session();
            return r.Fail(4, "%s", "cannot prepare the session");
        }
    } else {
        // A copy of the proxy must be writable into the game folder; a wsock32.dll of the
        // player's waits aside meanwhile.
        bool had_winsock = Exists(game_folder + "\\wsock32.dll"), had_saved = Exists(saved);
        if (!pre_launch(game_folder.c_str(), o.session.c_str())) {
            end_session();
            std::string copy = game_folder + "\\wsock32.dll";
            if (IsProxyCopy(copy) && InUse(copy)) {
                // A launcher that died left its game running: our copy is in use.
                return r.Fail(4, "%s",
                              "the game from an earlier session still runs and uses OZLAN's copy: "
                              "close it first");
            }
            if (had_winsock && had_saved && Exists(saved)) {
                std::string why = game_folder + " holds both a wsock32.dll of its own and " +
                                  OZLAN_SAVED_NAME +
                                  " (kept from an earlier session); neither was touched. Keep the "
                                  "one you want as wsock32.dll, move the other away, and start again";
                return r.Fail(4, "%s", why.c_str());
            }
            return r.Fail(4, "cannot place the proxy into %s (folder not writable?)",
                          game_folder.c_str());
        }
    }
    // The relay service's word on the join: a private session is played only on a relay
    // that keeps it private, and a refusal says why.
    DWORD answer_deadline = GetTickCount() + DWORD(o.timeout_seconds) * 1000;
    uint32_t status = join_status();
    while (status == OZLAN_JOIN_PENDING && int(answer_deadline - GetTickCount()) > 0) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        DispatchMessages();
        r.Presence(next_event, members);
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
        } else if ((status & 0xFF) == OZLAN_JOIN_TOO_MANY_TRIES) {
            std::snprintf(why, sizeof why,
                          "too many refused joins came from this address: the relay service at "
                          "%s takes none for %u s; try again then",
                          o.relay.c_str(), unsigned(status >> 8));
        } else if (!password.empty()) {
            std::snprintf(why, sizeof why,
                          "the relay service at %s does not confirm private sessions: not "
                          "joining '%s' there",
                          o.relay.c_str(), session);
        } else {
            std::snprintf(why, sizeof why, "the relay service at %s did not take the join",
                          o.relay.c_str());
        }
        return r.Fail(6, "%s", why);
    }
    r.Say("joined");
    if (status == OZLAN_JOIN_ACCEPTED_PRIVATE) r.Say("in private session '%s'", session);
    bool kept = !way.inside && Exists(saved);
    if (kept) {
        r.Say("kept your wsock32.dll (as %s); it will be put back when the game ends",
              OZLAN_SAVED_NAME);
    }
    std::string command = Quote(game_full);
    for (const auto& a : o.game_args) {
        command.push_back(' ');
        command.append(Quote(a));
    }
    if (!o.game_arguments.empty()) command += " " + o.game_arguments;
    std::vector<char> environment = GameEnvironment(folder, !way.inside);
    bool wine = RunningUnderWine() && !way.inside;
    if (wine) PreferGameWinsock(game_full, true);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // Inside: the game waits, unrun, until the proxy has taken over its Winsock calls.
    DWORD creation = way.inside ? CREATE_SUSPENDED : 0;
    if (!CreateProcessA(game_full, command.data(), nullptr, nullptr, TRUE, creation,
                        environment.data(), game_folder.c_str(), &startup, &process)) {
        if (wine) PreferGameWinsock(game_full, false);
        end_session();
        return r.Fail(5, "cannot start the game %s", game_full);
    }
    if (way.inside) {
        if (!take_over(process.hProcess)) {
            TerminateProcess(process.hProcess, 5);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
            end_session();
            return r.Fail(5,
                          "cannot take the proxy into %s: its process refused it or could not "
                          "start (a protected process, or a DLL of the game's missing or "
                          "damaged); it was stopped before it ran",
                          game_full);
        }
        ResumeThread(process.hThread);
    }
    CloseHandle(process.hThread);
    r.Say("game started");
    // The link is watched while the game runs: the session library joins again by
    // itself, and the player learns what happens meanwhile.
    DWORD lost_at = 0;
    bool lost = false, said_still = false;
    for (;;) {
        DWORD woke = MsgWaitForMultipleObjects(1, &process.hProcess, FALSE, 250, QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0) break;
        DispatchMessages();
        r.Presence(next_event, members);
        bool joined = is_joined() != 0;
        if (!lost && !joined) {
            lost = true;
            said_still = false;
            lost_at = GetTickCount();
            r.Say(
                "relay lost; reconnecting (the game goes on; other players see it again "
                "once the session is rejoined)");
        } else if (lost && joined) {
            lost = false;
            r.Say("rejoined session '%s' after %.1f s", o.session.c_str(),
                  double(GetTickCount() - lost_at) / 1000.0);
        } else if (lost && !said_still &&
                   GetTickCount() - lost_at >= DWORD(o.timeout_seconds) * 1000) {
            said_still = true;
            r.Say("the relay service has not answered for %d s; still trying", o.timeout_seconds);
        }
    }
    DWORD exit_code = 1;
    GetExitCodeProcess(process.hProcess, &exit_code);
    CloseHandle(process.hProcess);
    if (wine) PreferGameWinsock(game_full, false);
    end_session();
    if (kept) {
        if (Exists(saved)) {
            r.Say(
                "your wsock32.dll is still kept as %s (the game folder's copy was in "
                "use); it goes back at the next start",
                OZLAN_SAVED_NAME);
        } else {
            r.Say("your wsock32.dll is back in place");
        }
    }
    r.Say("game ended with exit code %lu", exit_code);
    return int(exit_code);
}

}  // namespace ozlan
