#pragma once

#include <Tamro/HardwareAPI/Control/Vector.hpp>

#include <array>
#include <cstdint>
#include <memory>
#include <variant>

namespace Tamro::HardwareAPI::Control {

class MeshTree;  // Mesh.hpp

// Haptic effects. Each is plain data, so that a whole set copies as bytes into the servo loop,
// which sums their forces every cycle. Quantities are in the arm's own units (with the
// simulator: metres, seconds, newtons; stiffness in N/m, damping in N s/m).
//
// The contact effects (Plane, Sphere, Box) push only while the end effector is inside them,
// along the surface normal, with k * depth - b * (velocity along the normal), and never pull:
// a wall does not hold the hand in.
//
// smoothing (seconds, 0 to 10): when an effect's parameters change, the servo loop glides to the
// new ones through a first-order filter with this time constant instead of rendering the step:
// an anchor moved 50 times a second then reaches the arm as a ramp, not a staircase. 0 (the
// default) renders every change at once. A flag (inside) and a change of effect still switch at
// once.

// The time constant to choose when one is wanted but not known (Python's smoothing=True): against
// an anchor moved in steps 50 times a second, it takes the steps out of the force while lagging
// the anchor by about as much.
inline constexpr double SuggestedSmoothing = 0.02;  // s

// Pulls toward the anchor: k (anchor - x) - b v.
struct Spring {
    Vec3 anchor{};
    double stiffness = 0;
    double damping = 0;
    double smoothing = 0;
};

// Viscous drag: -b v.
struct Damper {
    double damping = 0;
    double smoothing = 0;
};

// A one-sided wall through point; normal points out of the wall, into free space.
struct Plane {
    Vec3 point{};
    Vec3 normal{0, 0, 1};
    double stiffness = 0;
    double damping = 0;
    double smoothing = 0;
};

// A solid ball that pushes the hand out or, with inside, a hollow one that keeps it in.
struct Sphere {
    Vec3 center{};
    double radius = 0;
    double stiffness = 0;
    double damping = 0;
    bool inside = false;
    double smoothing = 0;
};

// An axis-aligned box, solid or (inside) hollow, as for Sphere.
struct Box {
    Vec3 lower{};
    Vec3 upper{};
    double stiffness = 0;
    double damping = 0;
    bool inside = false;
    double smoothing = 0;
};

// The same force whatever the state.
struct ConstantForce {
    Vec3 force{};
    double smoothing = 0;
};

// A spring and damper toward a remote device: k (target - x) + b (target velocity - v), where
// the target is the remote's position as it streams in to the loop's RemoteInput (Coupling.hpp),
// rendered smoothly between its samples; the loop renders it, ForceOf gives nothing. With
// passivity, a time-domain passivity controller keeps the coupling from putting out more
// energy than came in at the other end, whatever the link's delay. reflect (0 to 10) adds the
// remote coupling's own force, reversed and scaled: a leader that feels what its follower
// meets. No sample within linkTimeout (s) fades the force to zero over fade (s); samples that
// come back bring it back over engage (s). At most one per effect set.
// Model-mediated contact for a Coupling (docs/teleoperation.md): the side that touches
// estimates the surface it presses on, a plane and its stiffness, and publishes it; the side a
// person holds renders it locally, so the contact is felt without the link's delay.
enum class ContactModel : std::uint8_t {
    Off,
    // This arm touches: it estimates the plane it presses on from its position and the
    // coupling's force, publishes it, and while the plane holds presses along its normal with
    // the force the plane gives at the remote's position (what the remote feels), in place of
    // the coupling's own force along the normal.
    Estimate,
    // This arm is held: it renders the remote's plane locally, in place of the coupling's force
    // along the normal while inside it.
    Render,
};

// "off", "estimate", "render".
inline const char* ContactModelWord(ContactModel model) noexcept {
    switch (model) {
        case ContactModel::Off: return "off";
        case ContactModel::Estimate: return "estimate";
        case ContactModel::Render: return "render";
    }
    return "off";
}

// The largest contact stiffness a coupling takes as its bound (N/m): stiffer than any wall a
// desktop arm's loop renders.
inline constexpr double MaxContactStiffness = 100000.0;

struct Coupling {
    // N/m: stiff enough to track within a millimetre at hand speeds on the simulated arm.
    double stiffness = 300.0;
    // N s/m on the velocity difference: the simulated arm's own damping again.
    double damping = 2.0;
    bool passivity = true;
    double linkTimeout = 0.02;  // s: twenty cycles at 1 kHz without a sample is a lost link
    double fade = 0.05;         // s, from full force to none once the link is lost
    double engage = 0.25;       // s, from none to full force once samples come again
    double reflect = 0;
    ContactModel contactModel = ContactModel::Off;
    // N/m: the stiffest contact plane estimated or rendered (100 to MaxContactStiffness). Half
    // the simulated arm's stable bound at 1 kHz with the loop's delay compensation; for another
    // arm choose it with tamro.passivity.max_stiffness.
    double contactMaxStiffness = 5000.0;
    // The contact plane's damping where it is rendered (N s/m).
    double contactDamping = 10.0;
};

// A triangle mesh touched through a god-object proxy (Mesh.hpp), in the pose given by position
// and rotation (a quaternion w, x, y, z, scaled to length 1 by Validated): moving it never
// rebuilds the tree, which is built beforehand, off the loop. The proxy sticks while the
// sideways pull is within staticFriction times the push, and slides at dynamicFriction (at most
// staticFriction) beyond. radius is that of the proxy: 0, a point, else a sphere.
// The loop keeps each mesh's proxy from cycle to cycle while its key stays in its place;
// ForceOf, with no history, gives the push out of a closed mesh toward its nearest point.
struct Mesh {
    std::shared_ptr<const MeshTree> tree;
    double stiffness = 0;
    double damping = 0;
    double staticFriction = 0;
    double dynamicFriction = 0;
    double radius = 0;
    Vec3 position{};
    std::array<double, 4> rotation{1, 0, 0, 0};
    double smoothing = 0;
};

using Effect = std::variant<Spring, Damper, Plane, Sphere, Box, ConstantForce, Coupling, Mesh>;

// The effect ready for the loop: a plane's normal scaled to length 1. Throws
// InvalidArgument (Errors.hpp) naming the first parameter that is not finite, a stiffness, damping
// or radius below 0, a zero normal or rotation, a mesh without a tree or with a
// dynamic friction above its static one, a box whose lower corner exceeds its upper one, a
// smoothing outside 0 to 10 s, or a coupling's time outside 1 ms to 10 s, reflect outside 0
// to 10 or a contact stiffness bound outside 100 N/m to MaxContactStiffness.
Effect Validated(const Effect& effect);

// The force of one valid effect at a position and velocity (none for a Coupling, which needs
// its remote: the loop renders it).
Vec3 ForceOf(const Effect& effect, const Vec3& position, const Vec3& velocity) noexcept;

// The effect a smoothing loop renders after `seconds` more of gliding from `from` toward `to`
// (both valid): each parameter moved by 1 - e^(-seconds / to.smoothing) of the way, a plane's
// normal kept at length 1. Effects of different kinds, a smoothing of 0 and the flags give `to`.
Effect GlideToward(const Effect& from, const Effect& to, double seconds) noexcept;

}  // namespace Tamro::HardwareAPI::Control
