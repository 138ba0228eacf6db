// Arbitrary bytes as a game's program file: the reader never reads past them and says
// one of its three answers.
#include <cstddef>
#include <cstdint>

#include "inside/game_file.h"

using namespace ozlan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    GameFile game;
    GameFileRead read = ReadGameFile(data, size, &game);
    if (read == GameFileRead::Ok && game.bits != 32 && game.bits != 64) __builtin_trap();
    return 0;
}
