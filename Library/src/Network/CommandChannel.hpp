// The commands of one servo loop from the network: servo_cp and servo_cf, taken on Cyclone's
// receive thread, checked there (their rate and frame here; their values and, by their stamps,
// their freshness by the loop's CommandInput) and handed to the loop, which fades them out when
// their stream stops. Every refusal is counted by reason, without allocating.
#pragma once

#include <Tamro/HardwareAPI/Control/ServoLoop.hpp>

#include "Endpoint.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Tamro::HardwareAPI::Network::Detail {

// A token bucket: at most rateHz samples a second on average, in bursts of a tenth of that.
// One thread at a time (a reader's listener).
class RateGate {
public:
    explicit RateGate(double rateHz) noexcept : rateHz_(rateHz), burst_(rateHz / 10) {}
    bool Admit(std::int64_t nowNs) noexcept;

private:
    const double rateHz_;
    const double burst_;
    double tokens_ = -1;  // full at the first sample
    std::int64_t at_ = 0;
};

class CommandChannel {
public:
    // Starts the loop's command input; std::runtime_error when it takes commands from elsewhere
    // already, InvalidArgument for settings it refuses.
    CommandChannel(dds_entity_t participant, const std::string& ns, const std::string& name,
                   Control::ServoLoop& loop, const Control::CommandSettings& settings);
    CommandChannel(const CommandChannel&) = delete;
    CommandChannel& operator=(const CommandChannel&) = delete;
    ~CommandChannel() { Stop(); }

    // Deleting a reader waits for its listener to return; then nothing reaches the loop.
    void Stop() noexcept;
    void Stats(std::vector<TopicStats>& out) const;

private:
    // What the channel itself refuses on one topic.
    struct Gate {
        explicit Gate(double rateHz) noexcept : rate(rateHz) {}
        RateGate rate;
        std::atomic<std::uint64_t> flood{0}, frame{0};
        // The newest refused frame_id, cut to MaxShownFrame bytes (the listener's, and Stats').
        mutable std::mutex shown;
        std::array<char, MaxShownFrame> lastFrame{};
        std::size_t lastFrameSize = 0;
    };

    // Refused (and counted) for its rate or frame, or nothing to say.
    std::optional<Control::Verdict> Screen(Gate& gate, const char* frame) noexcept;
    static void OnTarget(dds_entity_t reader, void* arg);
    static void OnForce(dds_entity_t reader, void* arg);

    const std::string frame_;
    std::array<std::string, RefusalKinds> targetExpected_, forceExpected_;
    Control::CommandInput& commands_;
    Gate cpGate_{MaxCommandRateHz}, cfGate_{MaxCommandRateHz};
    std::optional<Endpoint> cp_, cf_;
};

}  // namespace Tamro::HardwareAPI::Network::Detail
