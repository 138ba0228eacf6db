// What the launcher needs to know of a game's program before it starts it: whether its
// process can take the proxy (the same bitness as the launcher's), and whether it uses
// Winsock 2 (ws2_32.dll, which Windows never loads from a game's folder). Platform-free:
// the file's bytes are laid out as the loader maps them, every offset checked.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ozlan {

struct GameFile {
    int bits = 0;                  // 32 or 64
    bool imports_winsock1 = false;  // wsock32.dll
    bool imports_winsock2 = false;  // ws2_32.dll
};

enum class GameFileRead { Ok, NotAProgram, Damaged };

// Programs larger than this once mapped are refused as damaged.
constexpr size_t kMaxMappedGame = 256u << 20;

GameFileRead ReadGameFile(const uint8_t* file, size_t size, GameFile* out);

}  // namespace ozlan
