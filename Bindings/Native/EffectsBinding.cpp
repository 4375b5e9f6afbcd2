// Effects as opaque native values: each factory validates (ValueError naming the parameter)
// and returns the effect the loop will render.
#include "NativeCommon.hpp"

#include <Tamro/HardwareAPI/Control/Coupling.hpp>
#include <Tamro/HardwareAPI/Control/Effects.hpp>

#include <pybind11/stl.h>

namespace TamroNative {

namespace Control = Tamro::HardwareAPI::Control;
using Control::Vec3;

void RegisterEffects(py::module_& m) {
    m.attr("SMOOTHING") = Control::SuggestedSmoothing;
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
           double engage, double reflect) {
            return EffectValue{Control::Validated(Control::Coupling{
                stiffness, damping, passivity, linkTimeout, fade, engage, reflect})};
        },
        py::arg("stiffness"), py::arg("damping"), py::arg("passivity"), py::arg("link_timeout"),
        py::arg("fade"), py::arg("engage"), py::arg("reflect"));
    const Control::Coupling defaults;
    py::dict couplingDefaults;
    couplingDefaults["stiffness"] = defaults.stiffness;
    couplingDefaults["damping"] = defaults.damping;
    couplingDefaults["passivity"] = defaults.passivity;
    couplingDefaults["link_timeout"] = defaults.linkTimeout;
    couplingDefaults["fade"] = defaults.fade;
    couplingDefaults["engage"] = defaults.engage;
    couplingDefaults["reflect"] = defaults.reflect;
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
