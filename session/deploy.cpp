// Placing the proxy into the game folder as wsock32.dll, removing it at session end,
// and registering it for removal at the next start of Windows.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
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

void RemoveProxy() {
    SessionState& s = Session();
    if (s.proxy_target[0] == 0) return;
    // Only our copy is deleted; the player's own file takes its place again.
    char source[kPathSize];
    if (!JoinPath(source, s.module_folder, "ozws.dll")) return;
    if (Exists(s.proxy_target) && IsProxyCopy(s.proxy_target, source)) {
        SetFileAttributesA(s.proxy_target, FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(s.proxy_target);
    }
    RestoreSaved(s.proxy_target, s.saved_target, source);
}

void RegisterRestartCleanup() {
    SessionState& s = Session();
    if (Exists(s.saved_target)) {
        // The player's file replaces our copy at the next start; nothing of theirs is
        // ever named for deletion.
        MoveAtRestart(s.saved_target, s.proxy_target);
    } else {
        MoveAtRestart(s.proxy_target, nullptr);
    }
}

uint32_t MoveAtRestart(const char* existing_path, const char* new_path) {
    // A rename at restart replaces what stands at the new path (our copy then).
    if (new_path) {
        MoveFileExA(existing_path, new_path,
                    MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING);
    } else {
        SetFileAttributesA(existing_path, FILE_ATTRIBUTE_NORMAL);
        MoveFileExA(existing_path, new_path, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    char windows_folder[kPathSize];
    UINT n = GetWindowsDirectoryA(windows_folder, kPathSize);
    if (n == 0 || n >= kPathSize) return 0;
    return MoveAtRestartIn(windows_folder, existing_path, new_path);
}

uint32_t MoveAtRestartIn(const char* windows_folder, const char* existing_path,
                         const char* new_path) {
    char temp_path[kPathSize];
    if (GetTempFileNameA(windows_folder, "WININIT.INI", 0, temp_path) == 0) return 0;
    char list_path[kPathSize];
    if (!JoinPath(list_path, windows_folder, "wininit.ini")) {
        DeleteFileA(temp_path);
        return 0;
    }
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

}  // namespace ozlan
