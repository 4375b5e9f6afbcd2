// A servo loop's coupling on the network: the remote device's samples taken on Cyclone's
// receive threads, put together (position, velocity, and the remote coupling's energy and
// force when it publishes them) and handed to the loop's RemoteInput, which checks them; and
// this coupling's own force and energy published from the loop's records by a publishing
// thread, for the remote's passivity controller and for anyone watching.
#pragma once

#include <Tamro/HardwareAPI/Control/ServoLoop.hpp>

#include "Endpoint.hpp"
#include "Feed.hpp"

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Tamro::HardwareAPI::Network::Detail {

class CouplingChannel {
public:
    // Starts the loop's remote input; std::runtime_error when it takes a remote already,
    // InvalidArgument for settings it refuses.
    CouplingChannel(dds_entity_t participant, const std::string& ns, const std::string& name,
                    Control::ServoLoop& loop, const CouplingPeer& peer);
    CouplingChannel(const CouplingChannel&) = delete;
    CouplingChannel& operator=(const CouplingChannel&) = delete;
    ~CouplingChannel() { Stop(); }

    void Stop() noexcept;
    void Stats(std::vector<TopicStats>& out) const;

private:
    static void OnPosition(dds_entity_t reader, void* arg);
    static void OnVelocity(dds_entity_t reader, void* arg);
    static void OnEnergy(dds_entity_t reader, void* arg);
    static void OnForce(dds_entity_t reader, void* arg);
    static void OnOrientation(dds_entity_t reader, void* arg);
    static void OnContact(dds_entity_t reader, void* arg);
    static void OnStiffness(dds_entity_t reader, void* arg);
    void WriteContact(const Control::CouplingRecord& r, const Wire::Header& header) noexcept;
    void Write(const Control::CouplingRecord& r, const Wire::Time& stamp) noexcept;

    const std::string frame_;
    const std::string peerFrame_;  // the frame the peer's contact plane must be in
    const CouplingPeer peer_;
    Control::RemoteInput& remote_;

    // What the remote's other topics said last, for the next position (the listeners' lock).
    std::mutex latest_;
    double velocityStamp_ = 0, energyStamp_ = 0, forceStamp_ = 0;
    Control::Vec3 velocity_{}, force_{};
    double energy_ = 0;
    double contactStamp_ = -1, stiffnessStamp_ = -2;
    Control::Vec3 contactPoint_{}, contactNormal_{0, 0, 1};
    double contactStiffness_ = 0;

    // The publishing thread's: the contact plane goes out every few records, and at once when
    // it comes or goes.
    unsigned contactRecords_ = 0;
    bool contactWas_ = false;

    std::optional<Endpoint> cp_, cv_, energyIn_, cfIn_, contactIn_, stiffnessIn_;  // the remote's
    Endpoint cfOut_, energyOut_, contactOut_, stiffnessOut_;  // this coupling's
    std::optional<Feed<Control::CouplingRecord>> feed_;       // last: its thread uses the rest
};

}  // namespace Tamro::HardwareAPI::Network::Detail
