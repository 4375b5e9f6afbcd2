// The far end of every benchmark: a pseudo-terminal whose master side plays an arm that
// answers at once, an arm that never answers, an arm whose replies are always already
// waiting (it keeps the line full of them), or a handle that streams status messages.
// The same serving loop runs as a thread inside a C++ benchmark or as the bench-peer
// process that the Python benchmarks start, so every figure meets the same device.
#pragma once

#include <Tamro/HardwareAPI/Devices/Messages.hpp>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace TamroBench {

namespace Messages = Tamro::HardwareAPI::Devices::Messages;

// The whole force exchange on the wire: a request, and a state reply with its header code.
inline constexpr std::size_t RequestLength = Messages::RequestLength;
inline constexpr std::size_t ReplyLength = Messages::HeaderLength + Messages::StateLength;

enum class Mode { Arm, Silent, Flood, Status };

inline bool ParseMode(const char* text, Mode& mode) {
    const std::string s = text;
    if (s == "arm")
        mode = Mode::Arm;
    else if (s == "silent")
        mode = Mode::Silent;
    else if (s == "flood")
        mode = Mode::Flood;
    else if (s == "status")
        mode = Mode::Status;
    else
        return false;
    return true;
}

// The arm's reply to a force request: the requested force comes back as the position and
// its negation as the velocity, so a benchmark can tell a real answer from zeros.
inline void ArmReply(const std::uint8_t* request, std::uint8_t* reply) {
    float force[3];
    std::memcpy(force, request + Messages::HeaderLength, sizeof force);
    const float velocity[3] = {-force[0], -force[1], -force[2]};
    reply[0] = Messages::EndEffectorState;
    std::uint8_t* state = reply + Messages::HeaderLength;
    std::memcpy(state + Messages::StateAt::Position, force, sizeof force);
    std::memcpy(state + Messages::StateAt::Velocity, velocity, sizeof velocity);
}

// The flooding arm's reply cannot echo a request it has not seen: position (0, 0.5, -2)
// and velocity (0, -0.5, 2), which the forces of the benchmarks match but for x.
inline void FloodReply(std::uint8_t* reply) {
    const float request[3] = {0.0f, 0.5f, -2.0f};
    std::uint8_t asRequest[RequestLength] = {Messages::ForceRequest};
    std::memcpy(asRequest + Messages::HeaderLength, request, sizeof request);
    ArmReply(asRequest, reply);
}

// One handle status message with userDataLength bytes of user data.
inline std::vector<std::uint8_t> StatusMessage(std::uint16_t sequence,
                                               std::uint8_t userDataLength) {
    namespace At = Messages::HandleStatusAt;
    std::vector<std::uint8_t> m(
        Messages::HeaderLength + Messages::HandleStatusFixedLength + userDataLength, 0);
    m[0] = Messages::HandleStatus;
    std::uint8_t* payload = m.data() + Messages::HeaderLength;
    Messages::PutUint16(payload + At::DeviceId, sequence);
    payload[At::ErrorFlag] = 0;
    payload[At::HallEffectSensorLevel] = 77;
    const float quaternion[4] = {1.0f, 0.0f, 0.0f, 0.0f};
    std::memcpy(payload + At::Quaternion, quaternion, sizeof quaternion);
    payload[At::UserDataLength] = userDataLength;
    std::uint8_t* userData = payload + Messages::HandleStatusFixedLength;
    for (std::uint8_t i = 0; i < userDataLength; ++i)
        userData[i] = static_cast<std::uint8_t>(i + 1);
    return m;
}

// A pseudo-terminal in raw mode. The peer keeps a slave descriptor of its own so the line
// stays up while the host opens and closes its port.
class Pty {
public:
    Pty() = default;
    ~Pty() { Close(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool Open() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return false;
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) != 0) return false;
        path_ = name;
        slave_ = ::open(name, O_RDWR | O_NOCTTY);
        if (slave_ < 0) return false;
        termios raw;
        if (::tcgetattr(slave_, &raw) != 0) return false;
        ::cfmakeraw(&raw);
        if (::tcsetattr(slave_, TCSANOW, &raw) != 0) return false;
        // Non-blocking, so a full line never keeps the peer from seeing its stop signal.
        return ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK) == 0;
    }

    void Close() {
        if (slave_ >= 0) ::close(slave_);
        if (master_ >= 0) ::close(master_);
        slave_ = master_ = -1;
    }

    int Master() const { return master_; }
    const std::string& Path() const { return path_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

namespace Detail {

// Writes all of data to the non-blocking master, waiting for room. False when stopped.
inline bool WriteAll(int master, int stopFd, const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(master, data + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd fds[2] = {{master, POLLOUT, 0}, {stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return false;
        if (fds[1].revents != 0) return false;
    }
    return true;
}

}  // namespace Detail

// Writes a block of messages round and round while there is room, swallowing whatever the
// host sends; a partial write goes on where it stopped, so the byte stream stays a clean
// sequence of messages. Returns the bytes written.
inline std::uint64_t Stream(int master, int stopFd, const std::vector<std::uint8_t>& block) {
    std::size_t offset = 0;
    std::uint64_t bytes = 0;
    std::uint8_t sink[4096];
    for (;;) {
        while (::read(master, sink, sizeof sink) > 0) {
        }
        const ssize_t n = ::write(master, block.data() + offset, block.size() - offset);
        if (n > 0) {
            offset = (offset + static_cast<std::size_t>(n)) % block.size();
            bytes += static_cast<std::uint64_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) break;
        pollfd fds[2] = {{master, POLLIN | POLLOUT, 0}, {stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (fds[1].revents != 0) break;
    }
    return bytes;
}

// Serves the master side until stopFd becomes readable (a byte, or end of file). Returns the
// number of arm requests answered, requests swallowed, or replies or status messages written.
inline std::uint64_t Serve(int master, int stopFd, Mode mode, std::uint8_t userDataLength = 0) {
    if (mode == Mode::Status) {
        std::vector<std::uint8_t> block;
        for (std::uint16_t i = 0; i < 256; ++i) {
            const auto m = StatusMessage(i, userDataLength);
            block.insert(block.end(), m.begin(), m.end());
        }
        return Stream(master, stopFd, block) /
               (Messages::HeaderLength + Messages::HandleStatusFixedLength + userDataLength);
    }
    if (mode == Mode::Flood) {
        std::vector<std::uint8_t> block(256 * ReplyLength);
        for (std::size_t i = 0; i < 256; ++i) FloodReply(block.data() + i * ReplyLength);
        return Stream(master, stopFd, block) / ReplyLength;
    }

    std::uint64_t served = 0;
    std::uint8_t in[4096];
    std::size_t pending = 0;  // bytes of an incomplete request carried to the next read
    std::uint8_t out[(sizeof in / RequestLength + 1) * ReplyLength];
    for (;;) {
        const ssize_t n = ::read(master, in + pending, sizeof in - pending);
        if (n > 0) {
            pending += static_cast<std::size_t>(n);
            if (mode == Mode::Silent) {
                served += pending / RequestLength;
                pending %= RequestLength;
                continue;
            }
            std::size_t used = 0;
            std::size_t replies = 0;
            while (pending - used >= RequestLength) {
                ArmReply(in + used, out + replies * ReplyLength);
                used += RequestLength;
                ++replies;
            }
            if (replies > 0 && !Detail::WriteAll(master, stopFd, out, replies * ReplyLength)) break;
            served += replies;
            std::memmove(in, in + used, pending - used);
            pending -= used;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) break;
        pollfd fds[2] = {{master, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (fds[1].revents != 0) break;
    }
    return served;
}

// The settings the library gives a port, so the raw loops see the same line discipline.
inline void ConfigureLikeLibrary(int fd) {
    termios settings;
    std::memset(&settings, 0, sizeof settings);
    ::cfsetispeed(&settings, B115200);
    ::cfsetospeed(&settings, B115200);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    settings.c_iflag |= IGNBRK | IGNPAR;
    ::tcsetattr(fd, TCSANOW, &settings);
}

}  // namespace TamroBench
