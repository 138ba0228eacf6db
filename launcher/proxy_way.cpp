#include "launcher/proxy_way.h"

#include <windows.h>

#include <cstdio>
#include <vector>

#include "inside/game_file.h"

namespace ozlan {
namespace {

// The game's program as the launcher reads it; false when it cannot be read whole.
bool ReadProgram(const std::string& path, std::vector<uint8_t>* out) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart <= LONGLONG(kMaxMappedGame);
    if (ok) {
        out->resize(size_t(size.QuadPart));
        DWORD got = 0;
        ok = out->empty() ||
             (ReadFile(file, out->data(), DWORD(out->size()), &got, nullptr) && got == out->size());
    }
    CloseHandle(file);
    return ok;
}

// Whether the launcher may place files in `folder`: a file that is gone again as soon
// as it is closed, so nothing stays behind either way.
bool FolderWritable(const std::string& folder) {
    std::string probe = folder + "\\ozlan-write-check.tmp";
    HANDLE file = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_EXISTS;
    CloseHandle(file);
    return true;
}

}  // namespace

ProxyWay ChooseProxyWay(bool asked_inside, const std::string& game_path,
                        const std::string& game_folder) {
    ProxyWay way;
    std::vector<uint8_t> program;
    GameFile game;
    bool known = ReadProgram(game_path, &program) &&
                 ReadGameFile(program.data(), program.size(), &game) == GameFileRead::Ok;
    const char* why = nullptr;
    if (asked_inside) {
        why = "as asked";
    } else if (known && game.imports_winsock2) {
        why = "the game uses Winsock 2 (ws2_32.dll), which Windows never loads from its folder";
    } else if (!FolderWritable(game_folder)) {
        why = "its folder is read-only for this player; nothing is written there";
    }
    if (!why) {
        way.line = "the proxy goes into the game folder as wsock32.dll";
        return way;
    }
    way.inside = true;
    way.line = std::string("the proxy goes into the game's process: ") + why;
    int ours = int(sizeof(void*) * 8);
    if (known && game.bits != ours) {
        char text[512];
        std::snprintf(text, sizeof text,
                      "cannot take the proxy into %s: it is a %d-bit program, and this "
                      "launcher takes it into %d-bit ones only",
                      game_path.c_str(), game.bits, ours);
        way.refusal = text;
    }
    return way;
}

}  // namespace ozlan
