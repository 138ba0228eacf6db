// The relay service started as a real process for a test (POSIX only): its output
// goes to a file that the test reads.
#pragma once

#include <string>
#include <vector>

namespace ozlan::test {

class RelayProcess {
  public:
    // Starts ozrelay on a free port with the extra arguments; waits until it listens.
    explicit RelayProcess(std::vector<std::string> args = {}, bool pick_port = true);
    // Starts ozrelay on `port` at 127.0.0.1 (a relay restarted where it was); waits
    // until it listens.
    RelayProcess(uint16_t port, std::vector<std::string> args);
    ~RelayProcess();
    uint16_t port() const { return port_; }
    bool running() const { return pid_ > 0; }
    // SIGTERM, then the exit code.
    int Stop();
    // SIGKILL: the relay dies without a word.
    void Kill();
    // Waits for the process to end by itself; its exit code.
    int Wait();
    std::string Output() const;
    // The value of `key=` in the last stats line.
    long Stat(const std::string& key) const;

  private:
    void Start(std::vector<std::string> args, bool wait_until_listening);
    int pid_ = 0;
    uint16_t port_ = 0;
    std::string output_path_;
};

uint16_t FreeUdpPort();
std::string RelayBinary();

}  // namespace ozlan::test
