// A fake device on a pseudo-terminal: the library opens Path() as its serial port, the test
// plays the device on the master side. Both ends are closed on destruction.
#pragma once

#include <Tamro/HardwareAPI/IO/SerialStream.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <streambuf>
#include <string>
#include <system_error>
#include <vector>

namespace TamroTest {

using Bytes = std::vector<std::uint8_t>;

class PtyPair {
public:
    PtyPair() = default;
    ~PtyPair() { Close(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // Opens the pair and puts the device side in raw mode. Use as ASSERT_TRUE(pty.Open()).
    bool Open() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return false;
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) != 0) return false;
        path_ = name;
        // Keep a slave descriptor of our own so the line stays up while the library
        // opens and closes its port.
        slave_ = ::open(name, O_RDWR | O_NOCTTY);
        if (slave_ < 0) return false;
        termios raw;
        if (::tcgetattr(slave_, &raw) != 0) return false;
        ::cfmakeraw(&raw);
        return ::tcsetattr(slave_, TCSANOW, &raw) == 0;
    }

    const std::string& Path() const { return path_; }
    int MasterFd() const { return master_; }

    // The device sends bytes to the host.
    bool Feed(const Bytes& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Takes up to count bytes the host wrote, waiting at most timeout for all of them.
    Bytes Take(std::size_t count,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
        Bytes got;
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (got.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd pfd{master_, POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
            std::uint8_t chunk[1024];
            const std::size_t want = std::min(sizeof chunk, count - got.size());
            const ssize_t n = ::read(master_, chunk, want);
            if (n <= 0) break;
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }

    // True when the host writes nothing within window.
    bool Silent(std::chrono::milliseconds window = std::chrono::milliseconds(50)) {
        pollfd pfd{master_, POLLIN, 0};
        return ::poll(&pfd, 1, static_cast<int>(window.count())) == 0;
    }

    // After the host has written requestLength bytes, the device answers with reply.
    // The future holds the request as it was taken.
    std::future<Bytes> AnswerAfter(std::size_t requestLength, const Bytes& reply) {
        return std::async(std::launch::async, [this, requestLength, reply] {
            Bytes request = Take(requestLength);
            if (request.size() == requestLength) Feed(reply);
            return request;
        });
    }

    // Bytes the device sent that the host has not read yet.
    int PendingInput() const {
        pollfd pfd{slave_, POLLIN, 0};
        ::poll(&pfd, 1, 0);  // lets the line discipline take in what the device just sent
        int n = -1;
        return ::ioctl(slave_, FIONREAD, &n) == 0 ? n : -1;
    }

    // The device goes away: the host's reads and writes fail from now on.
    void HangUp() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

    void Close() {
        HangUp();
        if (slave_ >= 0) ::close(slave_);
        slave_ = -1;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// A device of type D (Device, Velkin3, a Handle subclass, ...) on a stream opened on a fresh
// pseudo-terminal, whose device side the test plays through pty.
template <typename D>
struct Attached {
    Attached() {
        EXPECT_TRUE(pty.Open());
        stream = std::make_unique<Tamro::HardwareAPI::IO::SerialStream>(pty.Path().c_str(), true);
        EXPECT_TRUE(stream->IsOpen());
        device = std::make_unique<D>(stream.get());
    }
    PtyPair pty;
    std::unique_ptr<Tamro::HardwareAPI::IO::SerialStream> stream;
    std::unique_ptr<D> device;
};

// Runs send on a fresh device of type D and checks that it wrote exactly expected, in time,
// and read nothing (a byte the device sent first is still there afterwards).
template <typename D, typename Send>
void ExpectSendWrites(Send send, const Bytes& expected) {
    Attached<D> a;
    ASSERT_TRUE(a.pty.Feed({0x77}));
    send(*a.device);
    EXPECT_EQ(a.pty.Take(expected.size()), expected);
    EXPECT_TRUE(a.pty.Silent());
    EXPECT_EQ(a.device->ReadHeaderCode(), 0x77);
}

// Seconds on the monotonic clock since start, for the generous bounds on time-outs.
inline double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Little-endian bytes of floats, as the devices send them.
inline Bytes FloatBytes(std::initializer_list<float> values) {
    Bytes out;
    for (float v : values) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
        out.insert(out.end(), p, p + 4);
    }
    return out;
}

inline Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// How many descriptors of this process are open on path: shows whether a port was closed.
inline int OpenDescriptors(const std::string& path) {
    int count = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        std::error_code linkError;
        if (std::filesystem::read_symlink(entry.path(), linkError) == path) ++count;
    }
    return count;
}

// An unbuffered stream buffer that serves a fixed script of device bytes and records the
// count of every block read and every byte written: shows which reads a protocol step
// issues without waiting for a port's time-out.
class ScriptedBuffer : public std::streambuf {
public:
    explicit ScriptedBuffer(Bytes script) : script_(std::move(script)) {}

    std::vector<std::streamsize> reads;
    Bytes written;

protected:
    std::streamsize xsgetn(char* s, std::streamsize n) override {
        reads.push_back(n);
        const auto k = std::min<std::streamsize>(n, Left());
        if (k > 0) std::memcpy(s, script_.data() + next_, static_cast<std::size_t>(k));
        next_ += static_cast<std::size_t>(k > 0 ? k : 0);
        return k;
    }
    int_type underflow() override {
        return Left() > 0 ? traits_type::to_int_type(static_cast<char>(script_[next_]))
                          : traits_type::eof();
    }
    int_type uflow() override {
        const int_type c = underflow();
        if (Left() > 0) ++next_;
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        written.insert(written.end(), s, s + n);
        return n;
    }
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::eof();
        written.push_back(static_cast<std::uint8_t>(c));
        return c;
    }

private:
    std::streamsize Left() const { return static_cast<std::streamsize>(script_.size() - next_); }

    Bytes script_;
    std::size_t next_ = 0;
};

}  // namespace TamroTest
