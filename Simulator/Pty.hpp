// A pseudo-terminal: the host opens Path() as its serial port, the simulator serves the
// master side.
#pragma once

#include <string>

namespace TamroSimulator {

class Pty {
public:
    // Opens the pair, raw, with a non-blocking master. Throws std::system_error.
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int Master() const { return master_; }
    const std::string& Path() const { return path_; }

private:
    int master_ = -1;
    // Held open so the line stays up while hosts open and close the port: without it the
    // master would see a hang-up each time the last host closes.
    int slave_ = -1;
    std::string path_;
};

}  // namespace TamroSimulator
