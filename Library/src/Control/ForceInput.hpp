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
#include <Tamro/HardwareAPI/Control/Mesh.hpp>

#include "HandOver.hpp"
#include "Timing.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <variant>

namespace Tamro::HardwareAPI::Control::Detail {

// One cycle's state, as the inputs see it.
struct ForceContext {
    Clock::time_point now;
    const Vec3& render;    // where the arm is taken to be when the force acts
    const Vec3& measured;  // its position in the reply
    const Vec3& velocity;
    const Effect* effects;      // the effect set of this cycle
    const std::uint64_t* keys;  // which effect is which, from one set to the next
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

// Where a mesh effect's proxy was at a cycle: for a view beside the device, never for a force.
struct ProxyReport {
    std::uint64_t key;       // the effect's
    Vec3 position;           // world frame
    std::uint64_t touching;  // 1 held by the surface, 0 free (the proxy on the device)
};
template <std::size_t N>
struct ProxyReports {
    std::array<ProxyReport, N> slots;
    std::uint64_t count;
};

// The effect set's own forces (a coupling's is its remote input's). A mesh is rendered by a
// proxy of its slot's own, kept while the slot holds the same mesh (its key and its tree), and
// the time the proxies take each cycle is the contact time.
template <std::size_t N>
class EffectsForce final : public ForceInput {
public:
    Vec3 ForceAt(const ForceContext& c) noexcept override {
        const double dt = started_ ? SecondsOf(c.now - last_) : 0;
        started_ = true;
        last_ = c.now;
        Vec3 sum{};
        bool meshes = false;
        const Clock::time_point before = Clock::now();
        for (std::size_t i = 0; i < c.count && i < N; ++i) {
            const auto* mesh = std::get_if<Mesh>(&c.effects[i]);
            if (mesh == nullptr) {
                proxies_[i].Attach(nullptr);
                sum = sum + ForceOf(c.effects[i], c.render, c.velocity);
                continue;
            }
            meshes = true;
            if (proxies_[i].Tree() != mesh->tree.get() || keys_[i] != c.keys[i]) {
                proxies_[i].Attach(mesh->tree.get());
                keys_[i] = c.keys[i];
            }
            sum = sum + proxies_[i].Step(ProxyParameters(*mesh), c.render, c.velocity, dt);
        }
        for (std::size_t i = c.count; i < N; ++i) proxies_[i].Attach(nullptr);
        if (meshes) contact_.Add(Clock::now() - before);
        // After the timing: the report is for watchers, not part of the contact's cost.
        if (meshes || reported_) Report(c);
        reported_ = meshes;
        return sum;
    }
    void Sent(double, Clock::time_point) noexcept override {}

    // A new run: every proxy starts afresh (the hand may have moved while stopped).
    void Reset() noexcept {
        for (auto& proxy : proxies_) proxy.Attach(nullptr);
        started_ = false;
        report_.count = 0;
        reports_.Write(report_);
        reported_ = false;
    }
    // The proxies of the last cycle that rendered a mesh, whole; read by anyone.
    ProxyReports<N> Proxies() const noexcept { return reports_.Read(); }
    // Written by the loop only, read by anyone.
    Histogram& ContactTimes() noexcept { return contact_; }
    const Histogram& ContactTimes() const noexcept { return contact_; }

private:
    void Report(const ForceContext& c) noexcept {
        report_.count = 0;
        for (std::size_t i = 0; i < c.count && i < N; ++i)
            if (proxies_[i].Tree() != nullptr)
                report_.slots[report_.count++] = {
                    keys_[i], proxies_[i].Proxy(),
                    static_cast<std::uint64_t>(proxies_[i].InContact() ? 1 : 0)};
        reports_.Write(report_);
    }

    std::array<MeshProxy, N> proxies_{};
    std::array<std::uint64_t, N> keys_{};
    bool started_ = false;
    Clock::time_point last_{};
    Histogram contact_;
    ProxyReports<N> report_{};  // filled in place: no copy of the whole on the loop's stack
    SeqLock<ProxyReports<N>> reports_;
    bool reported_ = false;  // the last cycle wrote a mesh's report: the next clears it
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
