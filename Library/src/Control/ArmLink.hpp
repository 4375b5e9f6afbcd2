// The arm's side of the servo loop: what the cycle logic (ServoCore) asks of a link to an arm.
// The serial port is one link (SerialArmLink); the tests' scripted link, with a clock of their
// own (Timing.hpp), is another, so the cycle logic runs there without a port or real time.
#pragma once

#include <Tamro/HardwareAPI/Control/Vector.hpp>

#include "LoopThread.hpp"
#include "Timing.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace Tamro::HardwareAPI::Control::Detail {

// A request to the arm: a force, or the wake-up, whose reply (the arm's device info) has a
// code of its own, so it can stand as a barrier between the replies before it and after it.
struct ArmRequest {
    bool barrier = false;
    Vec3 force{};
};

// One thing that happened on a link. Requests are numbered from 1 in the order they were
// written, barriers included; a reply names the request it answers (0: none the link knows of,
// as for a reply to a request it gave up tracking).
struct LinkEvent {
    enum class Kind : std::uint8_t {
        Sent,     // the request went out: request is its number
        State,    // the arm's state, in reply to request
        Barrier,  // the wake-up's reply, answering request: every request before it is over
        Failed,   // nothing usable by the deadline (ETIMEDOUT), a wrong or cut reply (EPROTO),
                  // the port's own error, or an interrupted wait (ECANCELED); why says which
    };
    Kind kind = Kind::Failed;
    std::uint64_t request = 0;
    Clock::time_point sentAt{};  // when the request it names was written
    Clock::time_point at{};      // when this happened
    Vec3 position{}, velocity{};
    bool forgotten = false;  // Failed: the link lost the framing and forgot every request in
                             // flight; their replies, should they come, answer nothing
    FaultNote why;
};

class ArmLink {
public:
    virtual ~ArmLink() = default;

    // Writes one request: Sent with its number, or Failed.
    virtual LinkEvent Send(const ArmRequest& request) noexcept = 0;
    // The next reply in the order the arm answers, waiting until `until` at most: State,
    // Barrier or Failed. A wait that ends without a reply leaves the requests in flight: their
    // replies, should they come late, still answer them.
    virtual LinkEvent Next(Clock::time_point until) noexcept = 0;
    // Waits until the next reply is whole on the line, or there is something else Next would
    // tell at once (a wrong code, a failed port, an interrupted wait), or until `until`: false
    // only for that last. Nothing is taken or judged, so a reply still arriving at `until` is
    // neither cut nor lost: a pipelined loop waits here between its cycles, where Next would
    // take a reply split across the moment for one cut short.
    virtual bool Await(Clock::time_point until) noexcept = 0;
    // From any thread: ends the wait in progress, and every later one, at once (ECANCELED),
    // until Resume (on the link's own thread).
    virtual void Interrupt() noexcept = 0;
    virtual void Resume() noexcept = 0;

protected:
    ArmLink() = default;
    ArmLink(const ArmLink&) = default;
    ArmLink& operator=(const ArmLink&) = default;
};

// Which request a reply answers, for a device that answers every request in order and whose
// replies carry no request number: the requests in flight, oldest first. A state reply
// answers the oldest when that is a force request; a barrier's reply answers the oldest
// barrier, and every request before it went unanswered. Fixed capacity; when full, the oldest
// is forgotten.
class ReplyMatcher {
public:
    static constexpr std::size_t Capacity = 16;

    struct Match {
        std::uint64_t request = 0;  // 0: none in flight that this reply can answer
        Clock::time_point sentAt{};
    };

    void Sent(std::uint64_t request, bool barrier, Clock::time_point at) noexcept;
    Match OnState() noexcept;
    Match OnBarrier() noexcept;
    bool BarrierInFlight() const noexcept;
    bool OldestIsBarrier() const noexcept;
    // The bytes the replies still due take on the line, for replies of these lengths.
    std::size_t DueBytes(std::size_t stateLength, std::size_t barrierLength) const noexcept;
    // Whether every request whose reply may still come is in flight here: not after Forget, or
    // once the oldest was forgotten for room, until a barrier's reply has answered.
    bool Complete() const noexcept { return complete_; }
    void Forget() noexcept {
        count_ = 0;
        complete_ = false;
    }

private:
    struct Entry {
        std::uint64_t request = 0;
        bool barrier = false;
        Clock::time_point sentAt{};
    };
    const Entry& At(std::size_t i) const noexcept { return entries_[(first_ + i) % Capacity]; }
    void PopFront() noexcept;

    std::array<Entry, Capacity> entries_{};
    std::size_t first_ = 0;
    std::size_t count_ = 0;
    bool complete_ = true;
};

// Whether a reply's state can be the arm's (ServoLoop's WorkspaceHalfSize, WorkspaceMargin,
// MaxArmSpeed): finite, within the workspace and its margin, no faster than an arm moves in
// the velocity it reports, and no farther from the last state believed than that speed
// carries the arm between the two: at most from the request the last one answered to this
// reply's arrival.
class StatePlausibility {
public:
    // true when plausible (and then it is the last state believed); else false, and why says
    // what was wrong (EPROTO).
    bool Judge(const Vec3& position, const Vec3& velocity, Clock::time_point sentAt,
               Clock::time_point at, FaultNote& why) noexcept;
    // After a lost framing nothing before is trusted to measure a step from.
    void Forget() noexcept { have_ = false; }

private:
    bool have_ = false;
    Vec3 last_{};
    Clock::time_point lastSentAt_{};
};

}  // namespace Tamro::HardwareAPI::Control::Detail
