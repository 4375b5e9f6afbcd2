#include "CommandChannel.hpp"

#include "Wire.hpp"

#include <stdexcept>

namespace Tamro::HardwareAPI::Network::Detail {

namespace {

// A ROS stamp as nanoseconds since the epoch; one with nanoseconds beyond a second is no stamp
// (0, refused as unstamped).
std::chrono::nanoseconds StampOf(const Wire::Time& t) {
    if (t.nanosec >= 1'000'000'000u) return {};
    return std::chrono::seconds(t.sec) + std::chrono::nanoseconds(t.nanosec);
}

}  // namespace

CommandChannel::CommandChannel(dds_entity_t participant, const std::string& ns,
                               const std::string& name, Control::ServoLoop& loop,
                               const Control::CommandSettings& settings)
    : frame_(FrameId(ns, name)), commands_(loop.Commands()) {
    if (commands_.Accepting())
        throw std::runtime_error("the loop takes commands from elsewhere already");
    commands_.Accept(settings);
    try {
        cp_.emplace(participant, ns, name, Find(Device::Arm, "servo_cp"), settings.timeout,
                    DataListener(this, &OnTarget).get());
        cf_.emplace(participant, ns, name, Find(Device::Arm, "servo_cf"), settings.timeout,
                    DataListener(this, &OnForce).get());
    } catch (...) {
        commands_.Stop();
        throw;
    }
}

void CommandChannel::Stop() noexcept {
    for (auto* e : {&cp_, &cf_})
        if (*e) (*e)->entity.Reset();
    commands_.Stop();
}

void CommandChannel::Stats(std::vector<TopicStats>& out) const {
    const auto add = [&](const std::optional<Endpoint>& e, const Control::StampRefusals& r) {
        if (!e) return;
        TopicStats s = e->Stats(0);
        s.stale = r.stale;
        s.future = r.future;
        s.implausible = r.implausible;
        out.push_back(s);
    };
    add(cp_, commands_.TargetRefusals());
    add(cf_, commands_.ForceRefusals());
}

bool CommandChannel::FrameAccepted(const char* frame) const noexcept {
    return frame == nullptr || frame[0] == '\0' || frame_ == frame;
}

void CommandChannel::OnTarget(dds_entity_t reader, void* arg) {
    auto& self = *static_cast<CommandChannel*>(arg);
    TakeAll<Wire::PoseStamped>(reader, *self.cp_, [&](const Wire::PoseStamped& s) {
        if (!self.FrameAccepted(s.header.frame_id)) return Control::Verdict::Refused;
        return self.commands_.Target({s.position[0], s.position[1], s.position[2]},
                                     StampOf(s.header.stamp));
    });
}

void CommandChannel::OnForce(dds_entity_t reader, void* arg) {
    auto& self = *static_cast<CommandChannel*>(arg);
    TakeAll<Wire::WrenchStamped>(reader, *self.cf_, [&](const Wire::WrenchStamped& s) {
        if (!self.FrameAccepted(s.header.frame_id)) return Control::Verdict::Refused;
        return self.commands_.Force({s.force[0], s.force[1], s.force[2]}, StampOf(s.header.stamp));
    });
}

}  // namespace Tamro::HardwareAPI::Network::Detail
