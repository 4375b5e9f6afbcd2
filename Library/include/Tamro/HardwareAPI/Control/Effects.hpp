#pragma once

#include <Tamro/HardwareAPI/Control/Vector.hpp>

#include <variant>

namespace Tamro::HardwareAPI::Control {

// Haptic effects. Each is plain data, so that a whole set copies as bytes into the servo loop,
// which sums their forces every cycle. Quantities are in the arm's own units (with the
// simulator: metres, seconds, newtons; stiffness in N/m, damping in N s/m).
//
// The contact effects (Plane, Sphere, Box) push only while the end effector is inside them,
// along the surface normal, with k * depth - b * (velocity along the normal), and never pull:
// a wall does not hold the hand in.

// Pulls toward the anchor: k (anchor - x) - b v.
struct Spring {
    Vec3 anchor{};
    double stiffness = 0;
    double damping = 0;
};

// Viscous drag: -b v.
struct Damper {
    double damping = 0;
};

// A one-sided wall through point; normal points out of the wall, into free space.
struct Plane {
    Vec3 point{};
    Vec3 normal{0, 0, 1};
    double stiffness = 0;
    double damping = 0;
};

// A solid ball that pushes the hand out or, with inside, a hollow one that keeps it in.
struct Sphere {
    Vec3 center{};
    double radius = 0;
    double stiffness = 0;
    double damping = 0;
    bool inside = false;
};

// An axis-aligned box, solid or (inside) hollow, as for Sphere.
struct Box {
    Vec3 lower{};
    Vec3 upper{};
    double stiffness = 0;
    double damping = 0;
    bool inside = false;
};

// The same force whatever the state.
struct ConstantForce {
    Vec3 force{};
};

using Effect = std::variant<Spring, Damper, Plane, Sphere, Box, ConstantForce>;

// The effect ready for the loop: a plane's normal scaled to length 1. Throws
// InvalidArgument (Errors.hpp) naming the first parameter that is not finite, a stiffness, damping
// or radius below 0, a zero normal, or a box whose lower corner exceeds its upper one.
Effect Validated(const Effect& effect);

// The force of one valid effect at a position and velocity.
Vec3 ForceOf(const Effect& effect, const Vec3& position, const Vec3& velocity) noexcept;

}  // namespace Tamro::HardwareAPI::Control
