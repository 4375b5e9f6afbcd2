#include "CommandChannel.hpp"

#include "Wire.hpp"

#include <stdexcept>

namespace Tamro::HardwareAPI::Network::Detail {

namespace {

// Takes what waits, a few samples at a time, on loan from the reader.
template <typename Sample, typename Judge>
void TakeAll(dds_entity_t reader, Endpoint& endpoint, Judge judge) noexcept {
    constexpr int Max = 16;
    void* samples[Max] = {};
    dds_sample_info_t infos[Max];
    for (;;) {
        const dds_return_t n = dds_take(reader, samples, infos, Max, Max);
        if (n <= 0) return;
        for (int i = 0; i < n; ++i) {
            if (!infos[i].valid_data) continue;
            endpoint.samples.fetch_add(1, std::memory_order_relaxed);
            const Control::Verdict v = judge(*static_cast<const Sample*>(samples[i]));
            if (v == Control::Verdict::Refused)
                endpoint.refused.fetch_add(1, std::memory_order_relaxed);
            else if (v == Control::Verdict::Clamped)
                endpoint.clamped.fetch_add(1, std::memory_order_relaxed);
        }
        dds_return_loan(reader, samples, n);
    }
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
                    Listener(&OnTarget).get());
        cf_.emplace(participant, ns, name, Find(Device::Arm, "servo_cf"), settings.timeout,
                    Listener(&OnForce).get());
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
    for (const auto* e : {&cp_, &cf_})
        if (*e) out.push_back((*e)->Stats(0));
}

CommandChannel::ListenerPointer CommandChannel::Listener(dds_on_data_available_fn fn) {
    ListenerPointer l(dds_create_listener(this));
    dds_lset_data_available(l.get(), fn);
    return l;
}

bool CommandChannel::FrameAccepted(const char* frame) const noexcept {
    return frame == nullptr || frame[0] == '\0' || frame_ == frame;
}

void CommandChannel::OnTarget(dds_entity_t reader, void* arg) {
    auto& self = *static_cast<CommandChannel*>(arg);
    TakeAll<Wire::PoseStamped>(reader, *self.cp_, [&](const Wire::PoseStamped& s) {
        if (!self.FrameAccepted(s.header.frame_id)) return Control::Verdict::Refused;
        return self.commands_.Target({s.position[0], s.position[1], s.position[2]});
    });
}

void CommandChannel::OnForce(dds_entity_t reader, void* arg) {
    auto& self = *static_cast<CommandChannel*>(arg);
    TakeAll<Wire::WrenchStamped>(reader, *self.cf_, [&](const Wire::WrenchStamped& s) {
        if (!self.FrameAccepted(s.header.frame_id)) return Control::Verdict::Refused;
        return self.commands_.Force({s.force[0], s.force[1], s.force[2]});
    });
}

}  // namespace Tamro::HardwareAPI::Network::Detail
