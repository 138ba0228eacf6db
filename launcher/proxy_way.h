// How the proxy reaches a game: a copy in the game's folder (as wsock32.dll), or inside
// the game's process. The launcher takes the inside way when the player asks for it,
// when the game uses Winsock 2 (ws2_32.dll, which Windows never loads from a game's
// folder), and when it cannot write to the game's folder.
#pragma once

#include <string>

namespace ozlan {

struct ProxyWay {
    bool inside = false;
    std::string line;     // the launcher's line that says which way and why
    std::string refusal;  // not empty: the game cannot be played this way, and why
};

ProxyWay ChooseProxyWay(bool asked_inside, const std::string& game_path,
                        const std::string& game_folder);

}  // namespace ozlan
