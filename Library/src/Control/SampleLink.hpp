// How a taken remote sample reaches the loop's queue, stamped with the time the loop may take
// it. DirectLink hands it over at its arrival; ImpairedLink, a test tool (the tests, the bench,
// tamro-teleop --delay-ms), decorates another link with delay, jitter and loss. The remote input
// picks one when it is configured, so the normal path never asks whether impairment is on.
#pragma once

#include <Tamro/HardwareAPI/Control/Coupling.hpp>

#include "Recorder.hpp"

#include <cstdint>

namespace Tamro::HardwareAPI::Control::Detail {

// A sample with the time the loop may take it (monotonic clock, ns).
struct QueuedSample {
    RemoteSample sample;
    std::int64_t releaseNs = 0;
};

class SampleLink {
public:
    enum class Delivery : std::uint8_t { Queued, Full, Lost };

    virtual ~SampleLink() = default;
    // Carries a sample that may be taken from releaseNs on.
    virtual Delivery Carry(const RemoteSample& sample, std::int64_t releaseNs) noexcept = 0;
};

// Straight into the loop's ring.
class DirectLink final : public SampleLink {
public:
    explicit DirectLink(Ring<QueuedSample>& ring) noexcept : ring_(ring) {}
    Delivery Carry(const RemoteSample& sample, std::int64_t releaseNs) noexcept override {
        return ring_.Push(QueuedSample{sample, releaseNs}) ? Delivery::Queued : Delivery::Full;
    }

private:
    Ring<QueuedSample>& ring_;
};

// Uniform numbers in [0, 1): xorshift, seeded, so an impaired run can be repeated.
class Xorshift {
public:
    void Seed(std::uint64_t seed) noexcept { state_ = seed != 0 ? seed : 0x9E3779B97F4A7C15ull; }
    double Next() noexcept {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return static_cast<double>(state_ >> 11) * 0x1.0p-53;
    }

private:
    std::uint64_t state_ = 1;
};

// Holds each sample back by the delay plus a random 0 to jitter and drops a random share of
// them; a link delays, it does not reorder, so no sample is released before the one before it.
class ImpairedLink final : public SampleLink {
public:
    explicit ImpairedLink(SampleLink& inner) noexcept : inner_(inner) {}

    // Reseeds; the last release is kept, so what is on the line stays in order.
    void Configure(const Impairment& impairment) noexcept {
        impairment_ = impairment;
        random_.Seed(impairment.seed);
    }

    Delivery Carry(const RemoteSample& sample, std::int64_t releaseNs) noexcept override {
        if (impairment_.loss > 0 && random_.Next() < impairment_.loss) return Delivery::Lost;
        std::int64_t release = releaseNs + impairment_.delay.count();
        if (impairment_.jitter.count() > 0)
            release += static_cast<std::int64_t>(random_.Next() *
                                                 static_cast<double>(impairment_.jitter.count()));
        if (release < lastRelease_) release = lastRelease_;
        lastRelease_ = release;
        return inner_.Carry(sample, release);
    }

private:
    SampleLink& inner_;
    Impairment impairment_{};
    Xorshift random_;
    std::int64_t lastRelease_ = 0;
};

}  // namespace Tamro::HardwareAPI::Control::Detail
