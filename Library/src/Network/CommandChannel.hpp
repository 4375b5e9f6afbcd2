// The commands of one servo loop from the network: servo_cp and servo_cf, taken on Cyclone's
// receive thread, checked there (their frame here; their values and, by their stamps, their
// freshness by the loop's CommandInput) and handed to the loop, which fades them out when
// their stream stops.
#pragma once

#include <Tamro/HardwareAPI/Control/ServoLoop.hpp>

#include "Endpoint.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Tamro::HardwareAPI::Network::Detail {

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
    bool FrameAccepted(const char* frame) const noexcept;
    static void OnTarget(dds_entity_t reader, void* arg);
    static void OnForce(dds_entity_t reader, void* arg);

    const std::string frame_;
    Control::CommandInput& commands_;
    std::optional<Endpoint> cp_, cf_;
};

}  // namespace Tamro::HardwareAPI::Network::Detail
