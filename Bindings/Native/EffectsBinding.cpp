// Effects as opaque native values: each factory validates (ValueError naming the parameter)
// and returns the effect the loop will render.
#include "NativeCommon.hpp"

#include <Tamro/HardwareAPI/Control/Coupling.hpp>
#include <Tamro/HardwareAPI/Control/Effects.hpp>
#include <Tamro/HardwareAPI/Control/Errors.hpp>
#include <Tamro/HardwareAPI/Control/Mesh.hpp>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace TamroNative {

namespace Control = Tamro::HardwareAPI::Control;
using Control::Vec3;

namespace {

// A built tree, shared by every mesh effect made from it.
struct MeshTreeValue {
    std::shared_ptr<const Control::MeshTree> tree;
};

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Indices = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

template <typename Array>
void RequireRows(const Array& a, const char* name) {
    if (a.ndim() != 2 || a.shape(1) != 3)
        throw py::value_error(std::string(name) + " must be (n, 3)");
}

MeshTreeValue BuildTree(const Doubles& vertices, const Indices& faces) {
    RequireRows(vertices, "vertices");
    RequireRows(faces, "faces");
    std::vector<Vec3> v(static_cast<std::size_t>(vertices.shape(0)));
    const double* x = vertices.data();
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = {x[3 * i], x[3 * i + 1], x[3 * i + 2]};
    std::vector<Control::Face> f(static_cast<std::size_t>(faces.shape(0)));
    const std::int64_t* k = faces.data();
    for (std::size_t i = 0; i < 3 * f.size(); ++i) {
        // Anything a face index cannot hold is out of range, not wrapped into range.
        if (k[i] < 0 || k[i] > std::numeric_limits<std::uint32_t>::max())
            throw py::value_error("faces: index " + std::to_string(k[i]) + " out of range");
        f[i / 3][i % 3] = static_cast<std::uint32_t>(k[i]);
    }
    py::gil_scoped_release released;  // a large tree takes a second or two
    return {Control::MeshTree::Build(std::move(v), std::move(f))};
}

}  // namespace

void RegisterEffects(py::module_& m) {
    m.attr("SMOOTHING") = Control::SuggestedSmoothing;
    py::class_<MeshTreeValue>(m, "MeshTree", "A triangle mesh's tree, built once")
        .def(py::init(&BuildTree), py::arg("vertices"), py::arg("faces"))
        .def_property_readonly("face_count",
                               [](const MeshTreeValue& t) { return t.tree->FaceCount(); })
        .def("edges", [](const MeshTreeValue& t) {
            const auto& edges = t.tree->Edges();
            const auto n = static_cast<py::ssize_t>(edges.size());
            py::array_t<std::int64_t> ends({n, py::ssize_t{2}}), faces({n, py::ssize_t{2}});
            auto e = ends.mutable_unchecked<2>();
            auto f = faces.mutable_unchecked<2>();
            for (py::ssize_t i = 0; i < n; ++i) {
                const auto& edge = edges[static_cast<std::size_t>(i)];
                e(i, 0) = edge.from;
                e(i, 1) = edge.to;
                f(i, 0) = edge.faces[0];
                f(i, 1) = edge.Open() ? -1 : static_cast<std::int64_t>(edge.faces[1]);
            }
            return py::make_tuple(ends, faces);
        });
    m.def(
        "mesh",
        [](const MeshTreeValue& tree, double stiffness, double damping, double staticFriction,
           double dynamicFriction, double radius, const Vec3& position,
           const std::array<double, 4>& rotation, double smoothing) {
            return EffectValue{Control::Validated(
                Control::Mesh{tree.tree, stiffness, damping, staticFriction, dynamicFriction,
                              radius, position, rotation, smoothing})};
        },
        py::arg("tree"), py::arg("stiffness"), py::arg("damping"), py::arg("static_friction"),
        py::arg("dynamic_friction"), py::arg("radius"), py::arg("position"), py::arg("rotation"),
        py::arg("smoothing") = 0.0);

    py::class_<EffectValue>(m, "Effect", "A validated haptic effect, as the loop renders it")
        .def(
            "force",
            [](const EffectValue& value, const Vec3& position, const Vec3& velocity) {
                return Control::ForceOf(value.effect, position, velocity);
            },
            py::arg("position"), py::arg("velocity"), "The force at this position and velocity");

    m.def(
        "spring",
        [](const Vec3& anchor, double stiffness, double damping, double smoothing) {
            return EffectValue{
                Control::Validated(Control::Spring{anchor, stiffness, damping, smoothing})};
        },
        py::arg("anchor"), py::arg("stiffness"), py::arg("damping"), py::arg("smoothing") = 0.0);
    m.def(
        "damper",
        [](double damping, double smoothing) {
            return EffectValue{Control::Validated(Control::Damper{damping, smoothing})};
        },
        py::arg("damping"), py::arg("smoothing") = 0.0);
    m.def(
        "plane",
        [](const Vec3& point, const Vec3& normal, double stiffness, double damping,
           double smoothing) {
            return EffectValue{
                Control::Validated(Control::Plane{point, normal, stiffness, damping, smoothing})};
        },
        py::arg("point"), py::arg("normal"), py::arg("stiffness"), py::arg("damping"),
        py::arg("smoothing") = 0.0);
    m.def(
        "sphere",
        [](const Vec3& center, double radius, double stiffness, double damping, bool inside,
           double smoothing) {
            return EffectValue{Control::Validated(
                Control::Sphere{center, radius, stiffness, damping, inside, smoothing})};
        },
        py::arg("center"), py::arg("radius"), py::arg("stiffness"), py::arg("damping"),
        py::arg("inside"), py::arg("smoothing") = 0.0);
    m.def(
        "box",
        [](const Vec3& lower, const Vec3& upper, double stiffness, double damping, bool inside,
           double smoothing) {
            return EffectValue{Control::Validated(
                Control::Box{lower, upper, stiffness, damping, inside, smoothing})};
        },
        py::arg("lower"), py::arg("upper"), py::arg("stiffness"), py::arg("damping"),
        py::arg("inside"), py::arg("smoothing") = 0.0);
    m.def(
        "constant_force",
        [](const Vec3& force, double smoothing) {
            return EffectValue{Control::Validated(Control::ConstantForce{force, smoothing})};
        },
        py::arg("force"), py::arg("smoothing") = 0.0);
    m.def(
        "coupling",
        [](double stiffness, double damping, bool passivity, double linkTimeout, double fade,
           double engage, double reflect, const std::string& contactModel,
           double contactMaxStiffness, double contactDamping) {
            Control::Coupling c{stiffness, damping, passivity, linkTimeout, fade, engage, reflect};
            bool known = false;
            for (const auto model : {Control::ContactModel::Off, Control::ContactModel::Estimate,
                                     Control::ContactModel::Render})
                if (contactModel == Control::ContactModelWord(model)) {
                    c.contactModel = model;
                    known = true;
                }
            if (!known)
                throw Control::InvalidArgument("contact_model",
                                               "must be 'off', 'estimate' or 'render'");
            c.contactMaxStiffness = contactMaxStiffness;
            c.contactDamping = contactDamping;
            return EffectValue{Control::Validated(c)};
        },
        py::arg("stiffness"), py::arg("damping"), py::arg("passivity"), py::arg("link_timeout"),
        py::arg("fade"), py::arg("engage"), py::arg("reflect"), py::arg("contact_model") = "off",
        py::arg("contact_max_stiffness") = Control::Coupling{}.contactMaxStiffness,
        py::arg("contact_damping") = Control::Coupling{}.contactDamping);
    const Control::Coupling defaults;
    py::dict couplingDefaults;
    couplingDefaults["stiffness"] = defaults.stiffness;
    couplingDefaults["damping"] = defaults.damping;
    couplingDefaults["passivity"] = defaults.passivity;
    couplingDefaults["link_timeout"] = defaults.linkTimeout;
    couplingDefaults["fade"] = defaults.fade;
    couplingDefaults["engage"] = defaults.engage;
    couplingDefaults["reflect"] = defaults.reflect;
    couplingDefaults["contact_model"] = Control::ContactModelWord(defaults.contactModel);
    couplingDefaults["contact_max_stiffness"] = defaults.contactMaxStiffness;
    couplingDefaults["contact_damping"] = defaults.contactDamping;
    m.attr("COUPLING_DEFAULTS") = couplingDefaults;
    py::tuple states(5);
    for (const auto state :
         {Control::LinkState::Off, Control::LinkState::Waiting, Control::LinkState::Engaging,
          Control::LinkState::Engaged, Control::LinkState::Lost})
        states[static_cast<std::size_t>(state)] = Control::LinkStateWord(state);
    m.attr("LINK_STATES") = states;
    m.def(
        "check_impairment",
        [](double delay, double jitter, double loss) {
            Control::Impairment impairment;
            impairment.delay = Duration(delay);
            impairment.jitter = Duration(jitter);
            impairment.loss = loss;
            Translated([&] { Control::CheckImpairment(impairment); });
        },
        py::arg("delay"), py::arg("jitter"), py::arg("loss"));
}

}  // namespace TamroNative
