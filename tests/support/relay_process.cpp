#include "tests/support/relay_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/transport_harness.h"

extern char** environ;

namespace ozlan::test {

uint16_t FreeUdpPort() {
    SocketHandle s = SocketOpenUdp();
    SocketBind(s, 0);
    uint16_t port = 0;
    SocketLocalPort(s, &port);
    SocketClose(s);
    return port;
}

std::string RelayBinary() {
    return ProgramFolder() + "/ozrelay";
}

RelayProcess::RelayProcess(std::vector<std::string> args, bool pick_port) {
    if (pick_port) {
        port_ = FreeUdpPort();
        // Bound to the address the launchers connect to, so that replies come from it.
        args.insert(args.begin(), {"--port", std::to_string(port_), "--bind", "127.0.0.1"});
    }
    Start(std::move(args), pick_port);
}

RelayProcess::RelayProcess(uint16_t port, std::vector<std::string> args) : port_(port) {
    args.insert(args.begin(), {"--port", std::to_string(port_), "--bind", "127.0.0.1"});
    Start(std::move(args), true);
}

void RelayProcess::Start(std::vector<std::string> args, bool wait_until_listening) {
    static int counter = 0;
    output_path_ =
        "/tmp/ozrelay-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".log";
    std::string binary = RelayBinary();
    std::vector<char*> argv{binary.data()};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, output_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    pid_t pid = 0;
    if (posix_spawn(&pid, binary.c_str(), &files, nullptr, argv.data(), environ) == 0) pid_ = pid;
    posix_spawn_file_actions_destroy(&files);
    if (!wait_until_listening) return;
    for (int i = 0; i < 500 && Output().find("listening") == std::string::npos; ++i) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = 0;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

RelayProcess::~RelayProcess() {
    if (pid_ > 0) Stop();
    std::remove(output_path_.c_str());
}

int RelayProcess::Stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    return Wait();
}

void RelayProcess::Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    Wait();
}

int RelayProcess::Wait() {
    if (pid_ <= 0) return -1;
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string RelayProcess::Output() const {
    std::ifstream in(output_path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

long RelayProcess::Stat(const std::string& key) const {
    std::string out = Output();
    size_t line = out.rfind("sessions=");
    if (line == std::string::npos) return -1;
    size_t at = out.find(" " + key + "=", line - 1);
    if (at == std::string::npos) return -1;
    return std::atol(out.c_str() + out.find('=', at) + 1);
}

}  // namespace ozlan::test
