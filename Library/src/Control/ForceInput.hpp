// What a servo loop sums each cycle: a list of force inputs (the streamed commands, the effect
// set, a coupling's remote end), each asked for its force at the cycle's state and then told
// what share of the sum was sent (the safety stage may scale it). The loop knows none of them
// by kind.
//
// The loop's thread only: no allocation, no waiting.
#pragma once

#include <Tamro/HardwareAPI/Control/Commands.hpp>
#include <Tamro/HardwareAPI/Control/Coupling.hpp>
#include <Tamro/HardwareAPI/Control/Effects.hpp>

#include "Timing.hpp"

#include <cstddef>
#include <variant>

namespace Tamro::HardwareAPI::Control::Detail {

// One cycle's state, as the inputs see it.
struct ForceContext {
    Clock::time_point now;
    const Vec3& render;    // where the arm is taken to be when the force acts
    const Vec3& measured;  // its position in the reply
    const Vec3& velocity;
    const Effect* effects;  // the effect set of this cycle
    std::size_t count;
};

class ForceInput {
public:
    virtual ~ForceInput() = default;
    virtual Vec3 ForceAt(const ForceContext& cycle) noexcept = 0;
    // scale (0 to 1) of the sum was sent.
    virtual void Sent(double scale, Clock::time_point now) noexcept = 0;
};

// The streamed commands, faded by their own input.
class CommandsForce final : public ForceInput {
public:
    explicit CommandsForce(CommandInput& commands) noexcept : commands_(commands) {}
    Vec3 ForceAt(const ForceContext& c) noexcept override {
        return commands_.ForceAt(c.now, c.render, c.velocity);
    }
    void Sent(double, Clock::time_point) noexcept override {}

private:
    CommandInput& commands_;
};

// The effect set's own forces (a coupling's is its remote input's).
class EffectsForce final : public ForceInput {
public:
    Vec3 ForceAt(const ForceContext& c) noexcept override {
        Vec3 sum{};
        for (std::size_t i = 0; i < c.count; ++i)
            sum = sum + ForceOf(c.effects[i], c.render, c.velocity);
        return sum;
    }
    void Sent(double, Clock::time_point) noexcept override {}
};

// The remote end, rendering the set's coupling when it holds one: rendered where the others
// are, its energy counted on the measured positions and on what was really sent.
class CouplingForce final : public ForceInput {
public:
    explicit CouplingForce(RemoteInput& remote) noexcept : remote_(remote) {}
    Vec3 ForceAt(const ForceContext& c) noexcept override {
        rendered_ = false;
        for (std::size_t i = 0; i < c.count; ++i)
            if (const auto* coupling = std::get_if<Coupling>(&c.effects[i])) {
                rendered_ = true;
                return remote_.ForceAt(*coupling, c.now, c.render, c.measured, c.velocity);
            }
        return {};
    }
    void Sent(double scale, Clock::time_point now) noexcept override {
        if (rendered_)
            remote_.Sent(scale, Seconds(now));
        else
            remote_.Idle(now);  // a coupling added later starts afresh
    }

private:
    RemoteInput& remote_;
    bool rendered_ = false;
};

}  // namespace Tamro::HardwareAPI::Control::Detail
