// What the console launcher and the players' window share: the checks of what the
// player asked for, and one session from the join to the game's end, with every line
// for the player in the same words.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ozlan {

constexpr uint16_t kDefaultRelayPort = 3669;
constexpr int kDefaultTimeoutSeconds = 10;

struct LaunchOptions {
    std::string relay;  // one HOST[:PORT] or a comma-separated list
    uint16_t relay_port = kDefaultRelayPort;
    std::string session;
    int timeout_seconds = kDefaultTimeoutSeconds;
    std::string password;     // empty: OZLAN_PASSWORD, else an open session
    std::string player_name;  // empty: the Windows user name
    std::string game;
    std::vector<std::string> game_args;  // each quoted as needed
    std::string game_arguments;          // or the arguments as one text, as typed
    // The proxy inside the game's process even where a copy in its folder would do.
    bool inside = false;
};

// Where the lines for the player go. `failure`: the reason the session stops (the
// launcher then exits with its code). `members`: who is in the session, one
// "name<TAB>how" line each, whenever it changes.
struct LaunchReport {
    void* context = nullptr;
    void (*line)(void* context, bool failure, const char* text) = nullptr;
    void (*members)(void* context, const char* list) = nullptr;
};

// What is wrong with "HOST[:PORT],..." (in the session library's words), or nothing.
std::string RelayListProblem(const std::string& list);
// What is wrong with the options before anything starts, or nothing: the relay list,
// the session name, the player's name, the password (from OZLAN_PASSWORD too).
std::string OptionsProblem(const LaunchOptions& o);

// Joins the session, starts the game and keeps the session until the game exits; the
// game's exit code, or 3 (relay), 4 (session not prepared), 5 (game), 6 (join refused)
// after a failure line. Runs on the calling thread, which dispatches its messages
// meanwhile.
int RunLaunch(const LaunchOptions& o, const LaunchReport& report);

// The Windows user name, cleaned as a player's name; "player" when there is none.
std::string DefaultPlayerName();

}  // namespace ozlan
