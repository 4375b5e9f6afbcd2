#include "CommandChannel.hpp"

#include "Wire.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace Tamro::HardwareAPI::Network {

const char* RefusalWord(Refusal reason) noexcept {
    switch (reason) {
        case Refusal::NotFinite: return "not_finite";
        case Refusal::Workspace: return "workspace";
        case Refusal::Frame: return "frame";
        case Refusal::Stale: return "stale";
        case Refusal::Future: return "future";
        case Refusal::Implausible: return "implausible";
        case Refusal::Rate: return "rate";
        case Refusal::Stopped: return "stopped";
    }
    return "unknown";
}

const char* RefusalWhat(Refusal reason) noexcept {
    switch (reason) {
        case Refusal::NotFinite: return "not finite";
        case Refusal::Workspace: return "target outside the workspace";
        case Refusal::Frame: return "frame";
        case Refusal::Stale: return "stale stamp";
        case Refusal::Future: return "stamp from the future";
        case Refusal::Implausible: return "implausible stamp";
        case Refusal::Rate: return "too many samples";
        case Refusal::Stopped: return "not taking commands";
    }
    return "unknown";
}

namespace Detail {

namespace {

// A ROS stamp as nanoseconds since the epoch; one with nanoseconds beyond a second is no stamp
// (0, refused as unstamped).
std::chrono::nanoseconds StampOf(const Wire::Time& t) {
    if (t.nanosec >= 1'000'000'000u) return {};
    return std::chrono::seconds(t.sec) + std::chrono::nanoseconds(t.nanosec);
}

std::string Format(const char* format, double a, double b = 0, double c = 0, double d = 0,
                   double e = 0, double f = 0) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b, c, d, e, f);
    return text;
}

double Milliseconds(std::chrono::nanoseconds t) {
    return std::chrono::duration<double, std::milli>(t).count();
}

// What each reason expects of a sample on a topic, in words.
std::array<std::string, RefusalKinds> Expectations(const std::string& frame,
                                                   const Control::CommandSettings& s, bool target) {
    std::array<std::string, RefusalKinds> e;
    const auto at = [&](Refusal r) -> std::string& { return e[static_cast<std::size_t>(r)]; };
    at(Refusal::NotFinite) = "finite numbers";
    at(Refusal::Workspace) =
        target ? Format("a target inside (%g, %g, %g) to (%g, %g, %g) m", s.lower[0], s.lower[1],
                        s.lower[2], s.upper[0], s.upper[1], s.upper[2])
               : "";
    at(Refusal::Frame) = "'" + frame + "' or empty";
    at(Refusal::Stale) =
        Format("a stamp held up less than the %g ms time-out and newer than the last taken",
               Milliseconds(s.timeout));
    at(Refusal::Future) = "a stamp no fresher than the stream's own samples allow";
    at(Refusal::Implausible) =
        Format("a stamp from the sender's clock, a stream's first within %g ms of this machine's",
               Milliseconds(s.stampWindow));
    at(Refusal::Rate) = Format("at most %g samples a second", MaxCommandRateHz);
    at(Refusal::Stopped) = "none while the node stops";
    return e;
}

}  // namespace

bool RateGate::Admit(std::int64_t nowNs) noexcept {
    tokens_ = tokens_ < 0
                  ? burst_
                  : std::min(burst_, tokens_ + static_cast<double>(nowNs - at_) * 1e-9 * rateHz_);
    at_ = nowNs;
    if (tokens_ < 1) return false;
    tokens_ -= 1;
    return true;
}

CommandChannel::CommandChannel(dds_entity_t participant, const std::string& ns,
                               const std::string& name, Control::ServoLoop& loop,
                               const Control::CommandSettings& settings)
    : frame_(FrameId(ns, name)),
      targetExpected_(Expectations(frame_, settings, true)),
      forceExpected_(Expectations(frame_, settings, false)),
      commands_(loop.Commands()) {
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
    const auto add = [&](const std::optional<Endpoint>& e, const Gate& gate,
                         const Control::CommandRefusals& r,
                         const std::array<std::string, RefusalKinds>& expected) {
        if (!e) return;
        TopicStats s = e->Stats(0);
        const auto set = [&](Refusal reason, std::uint64_t n) {
            s.refusals[static_cast<std::size_t>(reason)] = n;
        };
        set(Refusal::NotFinite, r.notFinite);
        set(Refusal::Workspace, r.outside);
        set(Refusal::Frame, gate.frame.load(std::memory_order_relaxed));
        set(Refusal::Stale, r.stale);
        set(Refusal::Future, r.future);
        set(Refusal::Implausible, r.implausible);
        set(Refusal::Rate, gate.flood.load(std::memory_order_relaxed));
        set(Refusal::Stopped, r.stopped);
        s.expected = expected;
        {
            std::lock_guard<std::mutex> lock(gate.shown);
            s.refusedFrame.assign(gate.lastFrame.data(), gate.lastFrameSize);
        }
        out.push_back(std::move(s));
    };
    add(cp_, cpGate_, commands_.TargetRefusals(), targetExpected_);
    add(cf_, cfGate_, commands_.ForceRefusals(), forceExpected_);
}

std::optional<Control::Verdict> CommandChannel::Screen(Gate& gate, const char* frame) noexcept {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    if (!gate.rate.Admit(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count())) {
        gate.flood.fetch_add(1, std::memory_order_relaxed);
        return Control::Verdict::Refused;
    }
    if (frame == nullptr || frame[0] == '\0' || frame_ == frame) return std::nullopt;
    gate.frame.fetch_add(1, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> lock(gate.shown);
        gate.lastFrameSize = ::strnlen(frame, MaxShownFrame);
        std::memcpy(gate.lastFrame.data(), frame, gate.lastFrameSize);
    }
    return Control::Verdict::Refused;
}

void CommandChannel::OnTarget(dds_entity_t reader, void* arg) {
    auto& self = *static_cast<CommandChannel*>(arg);
    TakeAll<Wire::PoseStamped>(reader, *self.cp_, [&](const Wire::PoseStamped& s) {
        if (const auto refused = self.Screen(self.cpGate_, s.header.frame_id)) return *refused;
        return self.commands_.Target({s.position[0], s.position[1], s.position[2]},
                                     StampOf(s.header.stamp));
    });
}

void CommandChannel::OnForce(dds_entity_t reader, void* arg) {
    auto& self = *static_cast<CommandChannel*>(arg);
    TakeAll<Wire::WrenchStamped>(reader, *self.cf_, [&](const Wire::WrenchStamped& s) {
        if (const auto refused = self.Screen(self.cfGate_, s.header.frame_id)) return *refused;
        return self.commands_.Force({s.force[0], s.force[1], s.force[2]}, StampOf(s.header.stamp));
    });
}

}  // namespace Detail

}  // namespace Tamro::HardwareAPI::Network
