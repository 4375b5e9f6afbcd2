#pragma once

#include <Tamro/HardwareAPI/Control/Loop.hpp>
#include <Tamro/HardwareAPI/Control/Outlet.hpp>
#include <Tamro/HardwareAPI/Devices/Handle.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace Tamro::HardwareAPI::Control {

struct HandleReaderOptions {
    double rateHz = 200.0;  // status requests per second on absolute deadlines; 0: the next
                            // request as soon as the last status arrived
    std::chrono::nanoseconds faultTimeout = std::chrono::milliseconds(50);  // per request
    int maxFaults = 3;  // failed requests in a row that stop the reader
};

// The newest status message, with when it arrived (seconds on the monotonic clock, Python's
// time.monotonic()) and how many had arrived by then.
struct HandleStatus {
    std::uint64_t count = 0;
    double time = 0;
    std::uint16_t deviceId = 0;
    std::array<float, 4> quaternion{};
    std::uint8_t errorFlag = 0;
    std::uint8_t hallEffectSensorLevel = 0;
    std::uint8_t userDataLength = 0;
    std::array<std::uint8_t, 255> userData{};
};

// An information message or an error response, in the order they arrived.
struct HandleEvent {
    enum class Kind : std::uint8_t { Info, Error };
    Kind kind = Kind::Info;
    double time = 0;
    Devices::HandleInfo info;            // Kind::Info
    Devices::HandleErrorResponse error;  // Kind::Error
};

// One recorded status: 32 bytes, laid out for a numpy structured array.
struct HandleRecord {
    double time = 0;
    std::array<float, 4> quaternion{};
    std::uint8_t hallEffectSensorLevel = 0;
    std::uint8_t errorFlag = 0;
    std::uint8_t reserved[6] = {};
};

struct HandleReaderStats {
    std::uint64_t messages = 0;                 // status messages received since the start
    double rateHz = 0;                          // status messages per second
    double latencyP50Us = 0, latencyP99Us = 0;  // from the request each status answers
    std::uint64_t failedRequests = 0;           // no whole status message within the fault time-out
    std::uint64_t unknownCodes = 0;             // header codes that are not the handle's
    std::uint64_t droppedEvents = 0;            // events that found the queue full
};

// Every figure of HandleReaderStats by its name here (see VisitFields of ServoStats).
template <typename Visit>
void VisitFields(const HandleReaderStats& s, Visit&& visit) {
    visit("messages", s.messages);
    visit("rateHz", s.rateHz);
    visit("latencyP50Us", s.latencyP50Us);
    visit("latencyP99Us", s.latencyP99Us);
    visit("failedRequests", s.failedRequests);
    visit("unknownCodes", s.unknownCodes);
    visit("droppedEvents", s.droppedEvents);
}

// A handle read in the background: one thread that owns the handle on its own port, requests
// its status at a fixed rate (or as fast as it answers) and receives every message through a
// Handle subclass, publishing the newest status and queueing the other messages.
//
// Every member may be called from any thread but the reader's own, and none of them blocks
// it: the status is read without stopping it, events and records are drained from queues it
// never waits on, and user data is queued for it to write between two receives.
class HandleReader {
public:
    static constexpr std::size_t EventCapacity = 256;
    static constexpr std::size_t SendCapacity = 64;

    // Opens the port, wakes the handle and waits up to a second for its information message,
    // then starts the thread. Throws InvalidArgument for options out of range, PortError when
    // the port cannot be opened, NoAnswer when no information message comes (Errors.hpp).
    HandleReader(const std::string& port, const HandleReaderOptions& options = {});
    ~HandleReader();

    HandleReader(const HandleReader&) = delete;
    HandleReader& operator=(const HandleReader&) = delete;

    const Devices::HandleInfo& Info() const noexcept;
    const std::string& Port() const noexcept;
    const HandleReaderOptions& Options() const noexcept;

    // Stops the thread and closes the port; the rest still answers.
    void Close();
    bool Running() const noexcept;
    std::optional<Fault> LatchedFault() const;

    HandleStatus Latest() const;
    // Moves up to max events, oldest first, into out; returns how many.
    std::size_t DrainEvents(HandleEvent* out, std::size_t max);

    // Queues a handle state message (this handle's device id and length bytes of user data,
    // at most 255: else InvalidArgument) for the thread to write between two receives.
    // Waits while the queue is full; false when the reader is not running.
    bool SendUserData(const std::uint8_t* data, std::size_t length);

    HandleReaderStats Stats() const;

    // Records every status from now into a ring of capacity statuses (0 stops); what an
    // earlier recording still holds stays for Drain.
    void Record(std::size_t capacity);
    std::size_t Drain(HandleRecord* out, std::size_t max);
    std::size_t Pending() const;

    // Every status, handed to one consumer on another thread (a publisher): see Outlet.
    Outlet<HandleStatus>& StatusOutlet() noexcept;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Tamro::HardwareAPI::Control
