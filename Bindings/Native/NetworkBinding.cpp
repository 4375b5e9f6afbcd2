// tamro._native's network part: the topic tables (always: recordings name their topics by
// them too), and with Cyclone DDS, Network::Node and the command status of a servo loop
// (HAVE_DDS says which).
#include "NativeCommon.hpp"

#include <Tamro/HardwareAPI/Control/Commands.hpp>
#include <Tamro/HardwareAPI/Network/Credentials.hpp>
#include <Tamro/HardwareAPI/Network/Topics.hpp>

#ifdef TAMRO_HAVE_DDS
#include <Tamro/HardwareAPI/Control/HandleReader.hpp>
#include <Tamro/HardwareAPI/Control/ServoLoop.hpp>
#include <Tamro/HardwareAPI/Network/Node.hpp>
#include <Tamro/HardwareAPI/Network/RemoteArm.hpp>

#include <pybind11/stl.h>

#include <array>
#include <chrono>
#include <cmath>
#endif

namespace TamroNative {

namespace Network = Tamro::HardwareAPI::Network;

namespace {

py::list TopicTable() {
    py::list out;
    for (const Network::Topic& t : Network::Topics) {
        const Network::MessageType& type = Network::TypeOf(t.message);
        py::dict d;
        d["device"] = Network::DeviceWord(t.device);
        d["name"] = t.name;
        d["ros_type"] = type.rosName;
        d["dds_type"] = type.ddsName;
        d["type_hash"] = type.typeHash;
        d["direction"] = Network::DirectionWord(t.direction);
        d["reliable"] = t.qos.reliable;
        d["depth"] = t.qos.depth;
        d["deadline"] = t.qos.deadline;
        d["meaning"] = t.meaning;
        out.append(d);
    }
    return out;
}

void RegisterTopics(py::module_& m) {
    m.attr("MAX_DOMAIN") = Network::MaxDomain;
    m.attr("MAX_SECURED_DOMAIN") = Network::MaxSecuredDomain;
    // How a loop renders network commands unless told otherwise (Control::CommandSettings).
    const Tamro::HardwareAPI::Control::CommandSettings settings;
    const auto seconds = [](std::chrono::nanoseconds t) {
        return std::chrono::duration<double>(t).count();
    };
    py::dict commands;
    commands["stiffness"] = settings.stiffness;
    commands["damping"] = settings.damping;
    commands["timeout"] = seconds(settings.timeout);
    commands["ramp"] = seconds(settings.ramp);
    commands["workspace"] = py::make_tuple(settings.lower, settings.upper);
    commands["stamp_window"] = seconds(settings.stampWindow);
    m.attr("COMMAND_DEFAULTS") = commands;
    m.def("network_topics", &TopicTable, "The topics a device is served on, with types and QoS");
    m.def("ros_topic", &Network::RosTopic, py::arg("namespace"), py::arg("device"),
          py::arg("topic"));
    m.def("frame_id", &Network::FrameId, py::arg("namespace"), py::arg("device"));
    m.def("check_ros_name", &Network::CheckName, py::arg("name"), py::arg("what"),
          py::arg("slashes"), "ValueError saying what is wrong with a namespace or device name");
}

}  // namespace

#ifdef TAMRO_HAVE_DDS

namespace Control = Tamro::HardwareAPI::Control;

void RegisterNetwork(py::module_& m) {
    m.attr("HAVE_DDS") = true;
    RegisterTopics(m);
    // Why command samples are refused, in the order the library counts them: (name, what).
    py::list reasons;
    for (std::size_t i = 0; i < Network::RefusalKinds; ++i) {
        const auto r = static_cast<Network::Refusal>(i);
        reasons.append(py::make_tuple(Network::RefusalWord(r), Network::RefusalWhat(r)));
    }
    m.attr("REFUSAL_REASONS") = reasons;
    m.attr("MAX_SHOWN_FRAME") = Network::MaxShownFrame;
    m.def("command_status", [](Control::ServoLoop& loop) {
        const Control::CommandStatus s = loop.Commands().Status();
        return py::make_tuple(Control::CommandModeWord(s.mode), s.targetGain, s.forceGain,
                              py::make_tuple(s.force[0], s.force[1], s.force[2]));
    });

    using Node = Network::Node;
    py::class_<Node>(m, "Node")
        .def(py::init([](const std::string& ns, int domain, const std::string& nodeName,
                         const std::string& enclaveDir, const std::string& enclave) {
                 py::gil_scoped_release released;  // joining a domain takes a moment
                 return std::make_unique<Node>(ns, domain, nodeName,
                                               Network::Credentials{enclaveDir, enclave});
             }),
             py::arg("namespace"), py::arg("domain"),
             py::arg("node_name") = std::string(Node::DefaultNodeName),
             py::arg("enclave_dir") = std::string(), py::arg("enclave") = std::string("/"))
        .def_readonly_static("DEFAULT_NODE_NAME", &Node::DefaultNodeName)
        .def_property_readonly("node_name", &Node::NodeName)
        .def_property_readonly("namespace", &Node::Namespace)
        .def_property_readonly("domain", &Node::Domain)
        .def(
            "publish_loop",
            [](Node& node, Control::ServoLoop& loop, const std::string& name, double rateHz) {
                node.Publish(loop, name, rateHz);
            },
            py::arg("loop"), py::arg("name"), py::arg("rate_hz"), py::keep_alive<1, 2>())
        .def(
            "publish_reader",
            [](Node& node, Control::HandleReader& reader, const std::string& name, double rateHz) {
                node.Publish(reader, name, rateHz);
            },
            py::arg("reader"), py::arg("name"), py::arg("rate_hz"), py::keep_alive<1, 2>())
        .def(
            "accept_commands",
            [](Node& node, Control::ServoLoop& loop, const std::string& name, double stiffness,
               double damping, double timeout, double ramp, const std::array<double, 3>& lower,
               const std::array<double, 3>& upper, double stampWindow) {
                Control::CommandSettings s;
                s.stiffness = stiffness;
                s.damping = damping;
                s.timeout = Duration(timeout);
                s.ramp = Duration(ramp);
                s.stampWindow = Duration(stampWindow);
                s.lower = lower;
                s.upper = upper;
                Translated([&] { node.AcceptCommands(loop, name, s); });
            },
            py::arg("loop"), py::arg("name"), py::arg("stiffness"), py::arg("damping"),
            py::arg("timeout"), py::arg("ramp"), py::arg("lower"), py::arg("upper"),
            py::arg("stamp_window"), py::keep_alive<1, 2>())
        .def(
            "couple",
            [](Node& node, Control::ServoLoop& loop, const std::string& name,
               const std::string& peer, const std::string& device, bool handle, double reach,
               const std::array<double, 3>& lower, const std::array<double, 3>& upper, double delay,
               double jitter, double loss, std::uint64_t seed) {
                Network::CouplingPeer p;
                p.ns = peer;
                p.device = device;
                p.kind = handle ? Network::Device::Handle : Network::Device::Arm;
                p.reach = reach;
                p.remote.lower = lower;
                p.remote.upper = upper;
                p.remote.impairment.delay = Duration(delay);
                p.remote.impairment.jitter = Duration(jitter);
                p.remote.impairment.loss = loss;
                p.remote.impairment.seed = seed;
                Translated([&] { node.Couple(loop, name, p); });
            },
            py::arg("loop"), py::arg("name"), py::arg("peer"), py::arg("device"), py::arg("handle"),
            py::arg("reach"), py::arg("lower"), py::arg("upper"), py::arg("delay"),
            py::arg("jitter"), py::arg("loss"), py::arg("seed"), py::keep_alive<1, 2>())
        .def("stats",
             [](const Node& node) {
                 py::list out;
                 for (const Network::TopicStats& s : node.Stats()) {
                     py::dict d;
                     d["topic"] = s.topic;
                     d["ros_type"] = Network::TypeOf(s.message).rosName;
                     d["direction"] = Network::DirectionWord(s.direction);
                     d["samples"] = s.samples;
                     d["dropped"] = s.dropped;
                     d["refused"] = s.refused;
                     d["clamped"] = s.clamped;
                     py::dict reasons, expected;
                     for (std::size_t i = 0; i < Network::RefusalKinds; ++i) {
                         const char* word = Network::RefusalWord(static_cast<Network::Refusal>(i));
                         reasons[word] = s.refusals[i];
                         expected[word] = s.expected[i];
                     }
                     d["reasons"] = reasons;
                     d["expected"] = expected;
                     // Bytes from the network: decoded leniently, shown escaped by the caller.
                     d["refused_frame"] = py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(
                         s.refusedFrame.data(), static_cast<Py_ssize_t>(s.refusedFrame.size()),
                         "backslashreplace"));
                     out.append(d);
                 }
                 return out;
             })
        .def("close", &Node::Close, py::call_guard<py::gil_scoped_release>());

    // A state as (position, velocity, force, stamp, age), or None.
    const auto stateTuple = [](const std::optional<Network::RemoteState>& s) -> py::object {
        if (!s) return py::none();
        return py::make_tuple(s->position, s->velocity, s->force, s->stamp, s->age);
    };
    using RemoteArm = Network::RemoteArm;
    py::class_<RemoteArm>(m, "RemoteArm")
        .def(py::init([](const std::string& ns, const std::string& device, int domain,
                         const std::string& enclaveDir, const std::string& enclave) {
                 py::gil_scoped_release released;
                 return std::make_unique<RemoteArm>(ns, device, domain,
                                                    Network::Credentials{enclaveDir, enclave});
             }),
             py::arg("namespace"), py::arg("device"), py::arg("domain"),
             py::arg("enclave_dir") = std::string(), py::arg("enclave") = std::string("/"))
        .def("state", [stateTuple](const RemoteArm& r) { return stateTuple(r.State()); })
        .def(
            "wait_for_state",
            [stateTuple](const RemoteArm& r, double timeout) {
                std::optional<Network::RemoteState> s;
                {
                    py::gil_scoped_release released;
                    s = r.WaitForState(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::duration<double>(timeout)));
                }
                return stateTuple(s);
            },
            py::arg("timeout"))
        .def("servo_cp", &RemoteArm::ServoCp, py::arg("position"),
             py::call_guard<py::gil_scoped_release>())
        .def("servo_cf", &RemoteArm::ServoCf, py::arg("force"),
             py::call_guard<py::gil_scoped_release>())
        .def("stop", &RemoteArm::Stop, py::call_guard<py::gil_scoped_release>());
}

#else

void RegisterNetwork(py::module_& m) {
    m.attr("HAVE_DDS") = false;
    RegisterTopics(m);
}

#endif

}  // namespace TamroNative
