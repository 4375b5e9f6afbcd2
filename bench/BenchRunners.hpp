// The measured loops, shared by the C++ benchmark programs and by the small native library
// that bench/run.py calls through ctypes (so the native rows can alternate with the Python
// ones block by block in one process, against one peer).
//
// Arm exchange: 13 bytes out, 1 + 24 bytes back, as a raw loop of write/read/poll calls or
// as Velkin3::end_effector_force. Status stream: a raw loop of the three reads of a status
// message, or Handle::Receive into a plain subclass.
#pragma once

#include "BenchPeer.hpp"

#include <Tamro/HardwareAPI/Devices/Handle.hpp>
#include <Tamro/HardwareAPI/Devices/Velkin3.hpp>
#include <Tamro/HardwareAPI/IO/SerialStream.hpp>

#include <chrono>
#include <memory>
#include <string>

namespace TamroBench {

using Clock = std::chrono::steady_clock;

inline double Microseconds(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// The library's timed read without its clock: read at once, then sleep in poll until
// readable, until count bytes are in.
inline bool RawRead(int fd, std::uint8_t* destination, std::size_t count) {
    std::size_t got = 0;
    while (got < count) {
        const ssize_t n = ::read(fd, destination + got, count - got);
        if (n < 0) return false;
        got += static_cast<std::size_t>(n);
        if (n > 0 || got >= count) continue;
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 1000) <= 0) return false;
    }
    return true;
}

// A port opened and configured as the library does it.
inline int RawOpen(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) ConfigureLikeLibrary(fd);
    return fd;
}

// bench-peer's arm echoes the force as the position and its negation as the velocity; the
// flooding one cannot echo x, which the benchmarks vary, so x goes unchecked there.
inline bool Answered(const float* force, const float* position, const float* velocity, bool echo) {
    for (int k = echo ? 0 : 1; k < 3; ++k) {
        if (position[k] != force[k] || velocity[k] != -force[k]) return false;
    }
    return true;
}

class ArmRunner {
public:
    virtual ~ArmRunner() = default;
    void ExpectEcho(bool echo) { echo_ = echo; }
    virtual bool Ok() const = 0;

    // count exchanges with forces (first, 0.5, -2), (first + 1, 0.5, -2), ...; each one's
    // time in microseconds into samples (may be null). Returns how many were answered wrong.
    long Run(long count, double first, double* samples) {
        long failures = 0;
        for (long i = 0; i < count; ++i) {
            const float force[3] = {static_cast<float>(first + static_cast<double>(i)), 0.5f,
                                    -2.0f};
            double micros = 0;
            if (!Exchange(force, micros)) ++failures;
            if (samples) samples[i] = micros;
        }
        return failures;
    }

protected:
    virtual bool Exchange(const float* force, double& micros) = 0;
    bool echo_ = true;
};

class RawArm : public ArmRunner {
public:
    explicit RawArm(const std::string& path) : fd_(RawOpen(path)) {}
    ~RawArm() override {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Ok() const override { return fd_ >= 0; }

protected:
    bool Exchange(const float* force, double& micros) override {
        const auto start = Clock::now();
        std::uint8_t request[RequestLength];
        request[0] = Messages::ForceRequest;
        std::memcpy(request + Messages::HeaderLength, force, Messages::VectorLength);
        std::uint8_t reply[ReplyLength];
        const std::uint8_t* state = reply + Messages::HeaderLength;
        float position[3] = {}, velocity[3] = {};
        if (::write(fd_, request, sizeof request) == static_cast<ssize_t>(sizeof request) &&
            RawRead(fd_, reply, Messages::HeaderLength) && reply[0] == Messages::EndEffectorState &&
            RawRead(fd_, reply + Messages::HeaderLength, Messages::StateLength)) {
            std::memcpy(position, state + Messages::StateAt::Position, Messages::VectorLength);
            std::memcpy(velocity, state + Messages::StateAt::Velocity, Messages::VectorLength);
        }
        micros = Microseconds(Clock::now() - start);
        return Answered(force, position, velocity, echo_);
    }

private:
    int fd_;
};

class LibraryArm : public ArmRunner {
public:
    explicit LibraryArm(const std::string& path) : stream_(path.c_str(), true), arm_(&stream_) {}
    bool Ok() const override { return stream_.IsOpen(); }

protected:
    bool Exchange(const float* force, double& micros) override {
        const auto start = Clock::now();
        const auto state = arm_.end_effector_force(force);
        micros = Microseconds(Clock::now() - start);
        return Answered(force, state.position.data(), state.velocity.data(), echo_);
    }

private:
    Tamro::HardwareAPI::IO::SerialStream stream_;
    Tamro::HardwareAPI::Devices::Velkin3 arm_;
};

// Status messages carry their place in the peer's block of 256 as device id: a gap or a
// repeat means the reader lost its place in the stream.
struct Sequence {
    int expected = -1;
    long broken = 0;
    void See(std::uint16_t id) {
        if (expected >= 0 && id != expected) ++broken;
        expected = (id + 1) % 256;
    }
};

class StatusReader {
public:
    virtual ~StatusReader() = default;
    virtual bool Ok() const = 0;

    // Receives count messages; their total time in seconds. failures counts messages that
    // came short or out of order. Others may read the line in between calls, so the order
    // check starts afresh each time.
    double Run(long count, long& failures) {
        sequence_.expected = -1;
        const long brokenBefore = sequence_.broken;
        const auto start = Clock::now();
        for (long i = 0; i < count; ++i) {
            if (!ReceiveOne()) ++failures;
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        failures += sequence_.broken - brokenBefore;
        return seconds;
    }

protected:
    virtual bool ReceiveOne() = 0;
    Sequence sequence_;
};

class RawStatusReader : public StatusReader {
public:
    explicit RawStatusReader(const std::string& path) : fd_(RawOpen(path)) {}
    ~RawStatusReader() override {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Ok() const override { return fd_ >= 0; }

protected:
    bool ReceiveOne() override {
        namespace At = Messages::HandleStatusAt;
        std::uint8_t in[Messages::HandleStatusFixedLength + 255];
        if (!RawRead(fd_, in, Messages::HeaderLength) || in[0] != Messages::HandleStatus ||
            !RawRead(fd_, in, Messages::HandleStatusFixedLength)) {
            return false;
        }
        const std::uint8_t userData = in[At::UserDataLength];
        const std::uint16_t id = Messages::Uint16At(in + At::DeviceId);
        const bool complete = RawRead(fd_, in, userData);
        sequence_.See(id);
        return complete;
    }

private:
    int fd_;
};

class LibraryStatusReader : public StatusReader {
public:
    LibraryStatusReader(const std::string& path, std::uint8_t userData)
        : stream_(path.c_str(), true),
          handle_(&stream_, sequence_),
          expected_(static_cast<std::int32_t>(Messages::HandleStatusFixedLength) + userData) {}
    bool Ok() const override { return stream_.IsOpen(); }

protected:
    bool ReceiveOne() override { return handle_.Receive() == expected_; }

private:
    class Counting : public Tamro::HardwareAPI::Devices::Handle {
    public:
        Counting(std::iostream* stream, Sequence& sequence) : Handle(stream), sequence_(sequence) {}
        void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion,
                                          std::uint8_t, std::uint8_t hall_effect_sensor_level,
                                          std::uint8_t, const std::uint8_t*) override {
            sequence_.See(device_id);
            if (quaternion[0] != 1.0f || hall_effect_sensor_level != 77) ++sequence_.broken;
        }

    private:
        Sequence& sequence_;
    };

    Tamro::HardwareAPI::IO::SerialStream stream_;
    Counting handle_;
    std::int32_t expected_;
};

}  // namespace TamroBench
