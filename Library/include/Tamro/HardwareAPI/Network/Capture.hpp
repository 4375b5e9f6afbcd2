#pragma once

#include <Tamro/HardwareAPI/Network/Credentials.hpp>
#include <Tamro/HardwareAPI/Network/Topics.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Tamro::HardwareAPI::Network {

struct CaptureOptions {
    // The hand-over to the consumer, allocated once: about 16 s of two arms and a handle at
    // 1 kHz. A consumer that falls further behind loses samples, counted per topic.
    std::size_t queueBytes = std::size_t{16} << 20;
    // A sample larger than this is dropped and counted (bounds every copy).
    std::size_t maxSample = std::size_t{64} << 10;
    // Samples DDS keeps per topic until the receiving thread takes them; more are refused
    // by DDS and counted as lost.
    int history = 1000;
    // A secured domain's credentials (an observer's enclave suffices); empty: an open participant.
    Credentials credentials{};
};

// The quality of service a topic's first writer offered (what a replay should offer again).
struct OfferedQos {
    bool reliable = false;
    bool transientLocal = false;
    bool keepAll = false;
    int depth = 1;
    std::int64_t deadlineNs = -1;  // -1: none
};

// What one recorded topic has carried.
struct CapturedTopic {
    std::string topic;  // the ROS 2 name: /lab/arm/measured_cp
    Message message;
    OfferedQos offered;
    std::uint64_t samples = 0;  // handed over
    std::uint64_t bytes = 0;    // of serialized data handed over
    std::uint64_t dropped = 0;  // the hand-over was full, or the sample too large
    std::uint64_t lost = 0;     // DDS refused (history full) or saw lost
    int writers = 0;            // matched now
};

// A writer under the namespace whose topic is not recorded, and why.
struct IgnoredTopic {
    std::string topic;  // the DDS topic name, as it was announced (not to be trusted)
    std::string type;   // the DDS type name, as it was announced (not to be trusted)
    const char* reason = "";
};

// One sample as Take lays it out: this head, then size bytes of serialized data (CDR with
// its 4-byte encapsulation header, exactly as the writer sent it), then zeros up to a
// multiple of 8.
struct SampleHead {
    std::uint32_t topic;     // the index of its topic in Topics()
    std::uint32_t size;      // bytes of data that follow
    std::int64_t received;   // ns since the epoch: when the receiving thread took it
    std::int64_t published;  // ns since the epoch: the writer's source time stamp
};
static_assert(sizeof(SampleHead) == 24, "SampleHead is laid out without padding");

// Records what a namespace publishes: one DDS participant (Eclipse Cyclone DDS) that watches
// DDS's built-in publication topic for writers on rt/<namespace>/..., makes a best-effort
// reader for each topic whose type is in the table (Topics.hpp), and on a thread of its own
// takes each sample's serialized data as it arrived and hands it over whole, with its times,
// through a fixed queue a consumer drains with Take. The thread never waits for the consumer
// and allocates nothing per sample; a full queue drops and counts.
//
// Configuration is Cyclone's (CYCLONEDDS_URI), as for Node.
class Capture {
public:
    // Throws std::invalid_argument for a bad namespace, domain or options, and
    // std::runtime_error (with Cyclone's words) when DDS refuses.
    Capture(const std::string& ns, int domain, const CaptureOptions& options = {});
    ~Capture();

    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Moves whole samples, oldest first, into out while they fit; returns the bytes used.
    // capacity must be at least MaxRecord() to make progress. One consumer at a time.
    std::size_t Take(std::uint8_t* out, std::size_t capacity) noexcept;
    std::size_t MaxRecord() const noexcept;

    // Every topic recorded so far, in the order found (a sample's topic indexes this).
    std::vector<CapturedTopic> Topics() const;
    std::vector<IgnoredTopic> Ignored() const;
    // Writers ignored after the list of Ignored was full: not named, but counted.
    std::uint64_t Unlisted() const noexcept;

    // Stops receiving and leaves the domain; what waits in the queue can still be taken.
    // Closing twice does nothing.
    void Close();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Tamro::HardwareAPI::Network
