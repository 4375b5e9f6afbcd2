#include <Tamro/HardwareAPI/Control/Effects.hpp>

#include <Tamro/HardwareAPI/Control/Errors.hpp>
#include <Tamro/HardwareAPI/Control/Mesh.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <type_traits>
#include <utility>

namespace Tamro::HardwareAPI::Control {

namespace {

[[noreturn]] void Refuse(const char* name, const std::string& why) {
    throw InvalidArgument(name, why);
}

void RequireFinite(const char* name, const Vec3& v) {
    for (double x : v)
        if (!std::isfinite(x)) Refuse(name, "must be three finite numbers");
}

void RequireNonNegative(const char* name, double x) {
    if (std::isfinite(x) && x >= 0) return;
    char shown[32];
    std::snprintf(shown, sizeof shown, "%g", x);
    Refuse(name, std::string("must be a finite number >= 0, not ") + shown);
}

constexpr double MaxSmoothing = 10.0;  // s: beyond this a change would take minutes to arrive

void RequireSmoothing(double seconds) {
    if (std::isfinite(seconds) && seconds >= 0 && seconds <= MaxSmoothing) return;
    char shown[32];
    std::snprintf(shown, sizeof shown, "%g", seconds);
    Refuse("smoothing", std::string("must be a number of seconds from 0 to 10, not ") + shown);
}

// k * depth - b * (velocity along the normal), along the normal, never pulling.
Vec3 Push(const Vec3& normal, double depth, double stiffness, double damping,
          const Vec3& velocity) {
    const double magnitude = stiffness * depth - damping * Dot(velocity, normal);
    return magnitude > 0 ? magnitude * normal : Vec3{};
}

struct Validate {
    Effect operator()(Spring s) const {
        RequireFinite("anchor", s.anchor);
        RequireNonNegative("stiffness", s.stiffness);
        RequireNonNegative("damping", s.damping);
        RequireSmoothing(s.smoothing);
        return s;
    }
    Effect operator()(Damper d) const {
        RequireNonNegative("damping", d.damping);
        RequireSmoothing(d.smoothing);
        return d;
    }
    Effect operator()(Plane p) const {
        RequireFinite("point", p.point);
        RequireFinite("normal", p.normal);
        RequireNonNegative("stiffness", p.stiffness);
        RequireNonNegative("damping", p.damping);
        RequireSmoothing(p.smoothing);
        const double length = Norm(p.normal);
        if (!(length > 0) || !std::isfinite(length)) Refuse("normal", "must not be zero");
        p.normal = (1.0 / length) * p.normal;
        return p;
    }
    Effect operator()(Sphere s) const {
        RequireFinite("center", s.center);
        RequireNonNegative("radius", s.radius);
        RequireNonNegative("stiffness", s.stiffness);
        RequireNonNegative("damping", s.damping);
        RequireSmoothing(s.smoothing);
        return s;
    }
    Effect operator()(Box b) const {
        RequireFinite("lower", b.lower);
        RequireFinite("upper", b.upper);
        RequireNonNegative("stiffness", b.stiffness);
        RequireNonNegative("damping", b.damping);
        for (int axis = 0; axis < 3; ++axis)
            if (b.lower[axis] > b.upper[axis]) Refuse("lower", "must not exceed upper on any axis");
        RequireSmoothing(b.smoothing);
        return b;
    }
    Effect operator()(ConstantForce c) const {
        RequireFinite("force", c.force);
        RequireSmoothing(c.smoothing);
        return c;
    }
    Effect operator()(Coupling c) const {
        RequireNonNegative("stiffness", c.stiffness);
        RequireNonNegative("damping", c.damping);
        for (const auto& [name, seconds] :
             {std::pair{"linkTimeout", c.linkTimeout}, {"fade", c.fade}, {"engage", c.engage}})
            if (!(seconds >= 1e-3 && seconds <= 10.0))
                Refuse(name, "must be a number of seconds from 0.001 to 10");
        RequireNonNegative("reflect", c.reflect);
        if (c.reflect > 10) Refuse("reflect", "must be from 0 to 10");
        if (!(c.contactMaxStiffness >= 100 && c.contactMaxStiffness <= MaxContactStiffness))
            Refuse("contactMaxStiffness", "must be from 100 to 100000 N/m");
        RequireNonNegative("contactDamping", c.contactDamping);
        if (c.contactModel != ContactModel::Off && c.contactModel != ContactModel::Estimate &&
            c.contactModel != ContactModel::Render)
            Refuse("contactModel", "must be off, estimate or render");
        return c;
    }
    Effect operator()(Mesh m) const {
        if (!m.tree) Refuse("tree", "must be given");
        RequireNonNegative("stiffness", m.stiffness);
        RequireNonNegative("damping", m.damping);
        RequireNonNegative("friction", m.staticFriction);
        RequireNonNegative("friction", m.dynamicFriction);
        if (m.dynamicFriction > m.staticFriction)
            Refuse("friction", "the dynamic coefficient must not exceed the static one");
        RequireNonNegative("radius", m.radius);
        RequireFinite("pose", m.position);
        double length2 = 0;
        for (double q : m.rotation) {
            if (!std::isfinite(q)) Refuse("pose", "the rotation must be four finite numbers");
            length2 += q * q;
        }
        if (!(length2 > 1e-12)) Refuse("pose", "the rotation must not be zero");
        const double inverse = 1 / std::sqrt(length2);
        for (double& q : m.rotation) q *= inverse;
        RequireSmoothing(m.smoothing);
        return m;
    }
};

struct Render {
    const Vec3& x;
    const Vec3& v;

    Vec3 operator()(const Spring& s) const { return s.stiffness * (s.anchor - x) - s.damping * v; }
    Vec3 operator()(const Damper& d) const { return -d.damping * v; }
    Vec3 operator()(const Plane& p) const {
        const double depth = Dot(p.point - x, p.normal);
        return depth > 0 ? Push(p.normal, depth, p.stiffness, p.damping, v) : Vec3{};
    }
    Vec3 operator()(const Sphere& s) const {
        const Vec3 offset = x - s.center;
        const double distance = Norm(offset);
        if (s.inside) {  // hollow: the shell keeps the hand within the radius
            if (distance <= s.radius) return {};
            return Push((-1.0 / distance) * offset, distance - s.radius, s.stiffness, s.damping, v);
        }
        if (distance >= s.radius) return {};
        // At the very centre every direction is as short: push up.
        const Vec3 normal = distance > 0 ? (1.0 / distance) * offset : Vec3{0, 0, 1};
        return Push(normal, s.radius - distance, s.stiffness, s.damping, v);
    }
    Vec3 operator()(const Box& b) const {
        if (b.inside) {  // six walls, each on its own: a corner pushes along two or three axes
            Vec3 force{};
            for (int axis = 0; axis < 3; ++axis) {
                Vec3 normal{};
                if (x[axis] < b.lower[axis]) {
                    normal[axis] = 1;
                    force =
                        force + Push(normal, b.lower[axis] - x[axis], b.stiffness, b.damping, v);
                } else if (x[axis] > b.upper[axis]) {
                    normal[axis] = -1;
                    force =
                        force + Push(normal, x[axis] - b.upper[axis], b.stiffness, b.damping, v);
                }
            }
            return force;
        }
        // Solid: out through the nearest face.
        double depth = 0;
        Vec3 normal{};
        for (int axis = 0; axis < 3; ++axis) {
            const double below = x[axis] - b.lower[axis];
            const double above = b.upper[axis] - x[axis];
            if (below <= 0 || above <= 0) return {};
            const double nearest = std::min(below, above);
            if (axis == 0 || nearest < depth) {
                depth = nearest;
                normal = Vec3{};
                normal[axis] = below < above ? -1 : 1;
            }
        }
        return Push(normal, depth, b.stiffness, b.damping, v);
    }
    Vec3 operator()(const ConstantForce& c) const { return c.force; }
    Vec3 operator()(const Coupling&) const { return {}; }
    Vec3 operator()(const Mesh& m) const { return MeshPenalty(*m.tree, ProxyParameters(m), x, v); }
};

// One step of the first-order filter: each parameter moved by the fraction `a` of the way to its
// target. Convex, so a valid pair gives a valid effect (a box's lower corner stays below its
// upper one); only a plane's normal needs its length back.
struct Glide {
    double a;

    double Mix(double from, double to) const { return from + a * (to - from); }
    Vec3 Mix(const Vec3& from, const Vec3& to) const { return from + a * (to - from); }

    Spring operator()(const Spring& from, Spring to) const {
        to.anchor = Mix(from.anchor, to.anchor);
        to.stiffness = Mix(from.stiffness, to.stiffness);
        to.damping = Mix(from.damping, to.damping);
        return to;
    }
    Damper operator()(const Damper& from, Damper to) const {
        to.damping = Mix(from.damping, to.damping);
        return to;
    }
    Plane operator()(const Plane& from, Plane to) const {
        const Vec3 normal = Mix(from.normal, to.normal);
        const double length = Norm(normal);
        if (length > 1e-6) to.normal = (1.0 / length) * normal;  // else turning round: jump
        to.point = Mix(from.point, to.point);
        to.stiffness = Mix(from.stiffness, to.stiffness);
        to.damping = Mix(from.damping, to.damping);
        return to;
    }
    Sphere operator()(const Sphere& from, Sphere to) const {
        to.center = Mix(from.center, to.center);
        to.radius = Mix(from.radius, to.radius);
        to.stiffness = Mix(from.stiffness, to.stiffness);
        to.damping = Mix(from.damping, to.damping);
        return to;
    }
    Box operator()(const Box& from, Box to) const {
        to.lower = Mix(from.lower, to.lower);
        to.upper = Mix(from.upper, to.upper);
        to.stiffness = Mix(from.stiffness, to.stiffness);
        to.damping = Mix(from.damping, to.damping);
        return to;
    }
    ConstantForce operator()(const ConstantForce& from, ConstantForce to) const {
        to.force = Mix(from.force, to.force);
        return to;
    }
    // The pose glides too: the position straight, the rotation along the shorter way (nlerp).
    Mesh operator()(const Mesh& from, Mesh to) const {
        if (from.tree != to.tree) return to;
        to.stiffness = Mix(from.stiffness, to.stiffness);
        to.damping = Mix(from.damping, to.damping);
        to.staticFriction = Mix(from.staticFriction, to.staticFriction);
        to.dynamicFriction = Mix(from.dynamicFriction, to.dynamicFriction);
        to.radius = Mix(from.radius, to.radius);
        to.position = Mix(from.position, to.position);
        double dot = 0;
        for (int i = 0; i < 4; ++i) dot += from.rotation[i] * to.rotation[i];
        const double sign = dot < 0 ? -1 : 1;
        std::array<double, 4> q{};
        double length2 = 0;
        for (int i = 0; i < 4; ++i) {
            q[i] = Mix(sign * from.rotation[i], to.rotation[i]);
            length2 += q[i] * q[i];
        }
        if (length2 > 1e-12)
            for (int i = 0; i < 4; ++i) to.rotation[i] = q[i] / std::sqrt(length2);
        return to;
    }
};

template <typename E>
Effect GlideAs(const Effect& from, const E& to, double seconds) noexcept {
    const auto* previous = std::get_if<E>(&from);
    if (previous == nullptr || !(to.smoothing > 0) || !(seconds >= 0)) return to;
    if constexpr (std::is_same_v<E, Sphere> || std::is_same_v<E, Box>)
        if (previous->inside != to.inside) return to;
    return Glide{-std::expm1(-seconds / to.smoothing)}(*previous, to);
}

}  // namespace

MeshProxy::Parameters ProxyParameters(const Mesh& mesh) noexcept {
    MeshProxy::Parameters p;
    p.stiffness = mesh.stiffness;
    p.damping = mesh.damping;
    p.staticFriction = mesh.staticFriction;
    p.dynamicFriction = mesh.dynamicFriction;
    p.radius = mesh.radius;
    p.position = mesh.position;
    p.rotation = mesh.rotation;
    return p;
}

Effect Validated(const Effect& effect) { return std::visit(Validate{}, effect); }

Vec3 ForceOf(const Effect& effect, const Vec3& position, const Vec3& velocity) noexcept {
    // By alternative rather than std::visit, which may throw (for a variant left empty by an
    // exception, which effects never are): the loop must not.
    const Render render{position, velocity};
    if (const auto* e = std::get_if<Spring>(&effect)) return render(*e);
    if (const auto* e = std::get_if<Damper>(&effect)) return render(*e);
    if (const auto* e = std::get_if<Plane>(&effect)) return render(*e);
    if (const auto* e = std::get_if<Sphere>(&effect)) return render(*e);
    if (const auto* e = std::get_if<Box>(&effect)) return render(*e);
    if (const auto* e = std::get_if<ConstantForce>(&effect)) return render(*e);
    if (const auto* e = std::get_if<Mesh>(&effect)) return render(*e);
    return {};
}

Effect GlideToward(const Effect& from, const Effect& to, double seconds) noexcept {
    if (const auto* e = std::get_if<Spring>(&to)) return GlideAs(from, *e, seconds);
    if (const auto* e = std::get_if<Damper>(&to)) return GlideAs(from, *e, seconds);
    if (const auto* e = std::get_if<Plane>(&to)) return GlideAs(from, *e, seconds);
    if (const auto* e = std::get_if<Sphere>(&to)) return GlideAs(from, *e, seconds);
    if (const auto* e = std::get_if<Box>(&to)) return GlideAs(from, *e, seconds);
    if (const auto* e = std::get_if<ConstantForce>(&to)) return GlideAs(from, *e, seconds);
    if (const auto* e = std::get_if<Mesh>(&to)) return GlideAs(from, *e, seconds);
    return to;
}

}  // namespace Tamro::HardwareAPI::Control
