// Placing the proxy into the game folder as wsock32.dll, removing it at session end,
// and registering it for removal at the next start of Windows.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "session/session.h"
#include "protocol/wire.h"

namespace ozlan {
namespace {

// "%s\%s" into a 260-byte path; false if it does not fit.
bool JoinPath(char* out, const char* folder, const char* file) {
    int n = std::snprintf(out, kPathSize, "%s\\%s", folder, file);
    return n > 0 && size_t(n) < kPathSize;
}

bool IsRenameHeader(const char* line) {
    return _strnicmp(line, "[rename]", 8) == 0;
}

bool Exists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// The whole file, or false when it cannot be read (or is larger than any Winsock).
bool ReadWhole(const char* path, std::vector<char>* out) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    out->clear();
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        out->insert(out->end(), chunk, chunk + got);
        if (out->size() > (64u << 20)) break;
    }
    bool ok = !std::ferror(f) && out->size() <= (64u << 20);
    std::fclose(f);
    return ok;
}

// Puts a player's saved wsock32.dll back in place of our copy; false when a file
// that is not ours stands in the way (nothing is changed then).
bool RestoreSaved(const char* target, const char* saved, const char* source) {
    if (!Exists(saved)) return true;
    if (Exists(target)) {
        if (!IsProxyCopy(target, source)) return false;
        SetFileAttributesA(target, FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileA(target)) return false;  // in use: the game still runs
    }
    return MoveFileA(saved, target) != 0;
}

// The [rename] line of a restart move, without its line end.
std::string RestartLine(const char* existing_path, const char* new_path) {
    return std::string(new_path ? new_path : "NUL") + "=" + existing_path;
}

// The list's lines as they stand, line ends kept; none when it cannot be read.
std::vector<std::string> ListLines(const char* list_path) {
    std::vector<char> bytes;
    std::vector<std::string> lines;
    if (!ReadWhole(list_path, &bytes)) return lines;
    std::string line;
    for (char c : bytes) {
        line.push_back(c);
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

bool SameLine(const std::string& a, const std::string& b) {
    return a.size() == b.size() && _strnicmp(a.c_str(), b.c_str(), a.size()) == 0;
}

// Whether a line of the list (with its line end) is the given entry.
bool IsListEntry(std::string line, const std::string& entry) {
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return SameLine(line, entry);
}

// The platform's own list of moves at restart (pairs of NT paths; an empty second
// one deletes), as the registry holds it.
const char kSessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char kPendingRenames[] = "PendingFileRenameOperations";

std::vector<std::string> PendingRenames() {
    std::vector<std::string> entries;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return entries;
    }
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, kPendingRenames, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        type == REG_MULTI_SZ && size > 0) {
        std::vector<char> data(size + 2, 0);
        if (RegQueryValueExA(key, kPendingRenames, nullptr, &type,
                             reinterpret_cast<BYTE*>(data.data()), &size) == ERROR_SUCCESS) {
            // Pairs: an empty string is a value here, so the list's end is counted out.
            const char* p = data.data();
            const char* end = data.data() + size;
            while (p < end && !(entries.size() % 2 == 0 && *p == 0)) {
                entries.emplace_back(p);
                p += std::strlen(p) + 1;
            }
        }
    }
    RegCloseKey(key);
    return entries;
}

// Where the pair (existing, new) stands in the list (the index of its first string),
// or -1.
int FindPendingRename(const std::vector<std::string>& entries, const char* existing_path,
                      const char* new_path) {
    std::string from = std::string("\\??\\") + existing_path;
    std::string to = new_path ? std::string("!\\??\\") + new_path : std::string();
    for (size_t i = 0; i + 1 < entries.size(); i += 2) {
        if (!SameLine(entries[i], from)) continue;
        const std::string& second = entries[i + 1];
        bool same_target =
            new_path ? (SameLine(second, to) || SameLine(second, to.substr(1))) : second.empty();
        if (same_target) return int(i);
    }
    return -1;
}

// Takes our pair out of the platform's list where it is there and writable.
void ForgetPendingRename(const char* existing_path, const char* new_path) {
    std::vector<std::string> entries = PendingRenames();
    int at = FindPendingRename(entries, existing_path, new_path);
    if (at < 0) return;
    entries.erase(entries.begin() + at, entries.begin() + at + 2);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS) {
        return;
    }
    if (entries.empty()) {
        RegDeleteValueA(key, kPendingRenames);
    } else {
        std::string data;
        for (const std::string& e : entries) data.append(e).push_back(0);
        data.push_back(0);
        RegSetValueExA(key, kPendingRenames, 0, REG_MULTI_SZ,
                       reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size()));
    }
    RegCloseKey(key);
}

}  // namespace

bool IsProxyCopy(const char* path, const char* proxy_source) {
    std::vector<char> file, source;
    if (!ReadWhole(path, &file)) return false;
    if (ReadWhole(proxy_source, &source) && file == source) return true;
    static const char marker[] = OZLAN_PROXY_MARKER;
    return std::search(file.begin(), file.end(), marker, marker + sizeof marker - 1) != file.end();
}

bool BuildDeploymentPaths(const char* game_folder, const char* module_folder, char* folder_out,
                          char* target_out, char* source_out) {
    size_t n = std::strlen(game_folder);
    if (n >= kPathSize) return false;
    std::memcpy(folder_out, game_folder, n + 1);
    if (n > 0 && folder_out[n - 1] == '\\') folder_out[n - 1] = 0;  // one backslash only
    return JoinPath(target_out, folder_out, "wsock32.dll") &&
           JoinPath(source_out, module_folder, "ozws.dll");
}

bool DeployProxy(const char* game_folder) {
    SessionState& s = Session();
    char source[kPathSize], saved[kPathSize];
    if (!BuildDeploymentPaths(game_folder, s.module_folder, s.game_folder, s.proxy_target,
                              source) ||
        !JoinPath(saved, s.game_folder, OZLAN_SAVED_NAME)) {
        return false;
    }
    std::memcpy(s.saved_target, saved, kPathSize);
    SetCurrentDirectoryA(s.game_folder);
    // A launcher that died left the player's file aside: it goes back first. A saved
    // file is never overwritten, so one that cannot go back refuses the session.
    if (!RestoreSaved(s.proxy_target, saved, source)) return false;
    bool keep_players_file = Exists(s.proxy_target) && !IsProxyCopy(s.proxy_target, source);
    if (keep_players_file && !MoveFileA(s.proxy_target, saved)) return false;
    SetFileAttributesA(s.proxy_target, FILE_ATTRIBUTE_NORMAL);  // our own copy, read-only or not
    if (CopyFileA(source, s.proxy_target, FALSE)) return true;
    if (keep_players_file) MoveFileA(saved, s.proxy_target);
    return false;
}

bool RemoveProxy() {
    SessionState& s = Session();
    if (s.proxy_target[0] == 0) return true;
    // Only our copy is deleted; the player's own file takes its place again.
    char source[kPathSize];
    if (!JoinPath(source, s.module_folder, "ozws.dll")) return false;
    if (Exists(s.proxy_target) && IsProxyCopy(s.proxy_target, source)) {
        SetFileAttributesA(s.proxy_target, FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(s.proxy_target);
    }
    RestoreSaved(s.proxy_target, s.saved_target, source);
    // Nothing of ours is left to remove at the next start: the entry goes, or it would
    // delete a wsock32.dll the player puts there later.
    bool ours_left =
        Exists(s.saved_target) || (Exists(s.proxy_target) && IsProxyCopy(s.proxy_target, source));
    if (!ours_left) ForgetRestartCleanup();
    return !ours_left;
}

bool TakeBackOtherFolder(const char* folder) {
    SessionState& s = Session();
    if (s.proxy_target[0] == 0 || lstrcmpiA(s.game_folder, folder) == 0) return true;
    if (!RemoveProxy()) return false;
    s.proxy_target[0] = 0;
    s.saved_target[0] = 0;
    return true;
}

void RegisterRestartCleanup() {
    SessionState& s = Session();
    if (Exists(s.saved_target)) {
        // The player's file replaces our copy at the next start; nothing of theirs is
        // ever named for deletion.
        MoveAtRestart(s.saved_target, s.proxy_target);
        std::memcpy(s.restart_existing, s.saved_target, kPathSize);
        std::memcpy(s.restart_new, s.proxy_target, kPathSize);
    } else {
        MoveAtRestart(s.proxy_target, nullptr);
        std::memcpy(s.restart_existing, s.proxy_target, kPathSize);
        s.restart_new[0] = 0;
    }
}

void ForgetRestartCleanup() {
    SessionState& s = Session();
    if (s.restart_existing[0] == 0) return;
    const char* new_path = s.restart_new[0] ? s.restart_new : nullptr;
    ForgetPendingRename(s.restart_existing, new_path);
    char windows_folder[kPathSize];
    UINT n = GetWindowsDirectoryA(windows_folder, kPathSize);
    if (n > 0 && n < kPathSize) ForgetRestartMoveIn(windows_folder, s.restart_existing, new_path);
    s.restart_existing[0] = 0;
    s.restart_new[0] = 0;
}

uint32_t MoveAtRestart(const char* existing_path, const char* new_path) {
    // Registered once: a second session in the same folder finds its entry there. A
    // rename at restart replaces what stands at the new path (our copy then).
    if (FindPendingRename(PendingRenames(), existing_path, new_path) < 0) {
        if (new_path) {
            MoveFileExA(existing_path, new_path,
                        MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING);
        } else {
            SetFileAttributesA(existing_path, FILE_ATTRIBUTE_NORMAL);
            MoveFileExA(existing_path, new_path, MOVEFILE_DELAY_UNTIL_REBOOT);
        }
    }
    char windows_folder[kPathSize];
    UINT n = GetWindowsDirectoryA(windows_folder, kPathSize);
    if (n == 0 || n >= kPathSize) return 0;
    return MoveAtRestartIn(windows_folder, existing_path, new_path);
}

uint32_t MoveAtRestartIn(const char* windows_folder, const char* existing_path,
                         const char* new_path) {
    char list_path[kPathSize];
    if (!JoinPath(list_path, windows_folder, "wininit.ini")) return 0;
    std::string ours = RestartLine(existing_path, new_path);
    for (const std::string& line : ListLines(list_path)) {
        if (IsListEntry(line, ours)) return 1;  // there already: never twice
    }
    char temp_path[kPathSize];
    if (GetTempFileNameA(windows_folder, "WININIT.INI", 0, temp_path) == 0) return 0;
    FILE* out = std::fopen(temp_path, "r+t");
    if (!out) return 0;
    FILE* in = std::fopen(list_path, "rt");

    // Lines before the first [rename] header, read in pieces of up to 255 characters;
    // only a piece that starts a line can be the header.
    char piece[256];
    bool at_line_start = true;
    if (in) {
        while (std::fgets(piece, sizeof piece, in)) {
            if (at_line_start && IsRenameHeader(piece)) break;
            std::fputs(piece, out);
            at_line_start = std::strchr(piece, '\n') != nullptr;
        }
    }
    // The header always starts a line of its own, also after a last line without a line end.
    if (!at_line_start) std::fputs("\n", out);
    std::fputs("[rename]\n", out);
    if (new_path) {
        std::fprintf(out, "%s=%s\n", new_path, existing_path);
    } else {
        std::fprintf(out, "NUL=%s\n", existing_path);
    }
    if (in) {
        while (std::fgets(piece, sizeof piece, in)) std::fputs(piece, out);
        std::fclose(in);
    }
    bool written = std::fflush(out) == 0;
    std::fclose(out);
    // Replace the list in one step, so it is never lost; delete-then-move only where
    // the platform has no replacing move.
    if (written && MoveFileExA(temp_path, list_path, MOVEFILE_REPLACE_EXISTING)) return 1;
    if (written && GetLastError() == ERROR_CALL_NOT_IMPLEMENTED) {
        if (!in || DeleteFileA(list_path)) {
            MoveFileA(temp_path, list_path);
            return 1;
        }
    }
    DeleteFileA(temp_path);
    return 0;
}

uint32_t ForgetRestartMoveIn(const char* windows_folder, const char* existing_path,
                             const char* new_path) {
    char list_path[kPathSize];
    if (!JoinPath(list_path, windows_folder, "wininit.ini")) return 0;
    std::string ours = RestartLine(existing_path, new_path);
    // Every line but ours, as it stands; no list, or none of ours: nothing to do.
    std::string kept;
    bool found = false;
    for (const std::string& line : ListLines(list_path)) {
        if (IsListEntry(line, ours)) {
            found = true;
        } else {
            kept += line;
        }
    }
    if (!found) return 1;
    char temp_path[kPathSize];
    if (GetTempFileNameA(windows_folder, "WININIT.INI", 0, temp_path) == 0) return 0;
    FILE* out = std::fopen(temp_path, "wb");
    if (!out) return 0;
    bool written = std::fwrite(kept.data(), 1, kept.size(), out) == kept.size();
    written = std::fclose(out) == 0 && written;
    if (written && MoveFileExA(temp_path, list_path, MOVEFILE_REPLACE_EXISTING)) return 1;
    DeleteFileA(temp_path);
    return 0;
}

}  // namespace ozlan
