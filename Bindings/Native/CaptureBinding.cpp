// tamro._native.Capture: Network::Capture, which records what a namespace publishes (only in a
// build with Cyclone DDS). Samples leave in bulk: take() fills a buffer with whole records
// (a SampleHead, then the serialized data) without the interpreter lock.
#include "NativeCommon.hpp"

#ifdef TAMRO_HAVE_DDS
#include <Tamro/HardwareAPI/Network/Capture.hpp>

#include <pybind11/stl.h>
#endif

namespace TamroNative {

#ifdef TAMRO_HAVE_DDS

namespace Network = Tamro::HardwareAPI::Network;

void RegisterCapture(py::module_& m) {
    using Capture = Network::Capture;
    m.attr("SAMPLE_HEAD_SIZE") = sizeof(Network::SampleHead);
    py::class_<Capture>(m, "Capture")
        .def(py::init([](const std::string& ns, int domain, std::size_t queueBytes,
                         std::size_t maxSample, int history, const std::string& enclaveDir,
                         const std::string& enclave) {
                 Network::CaptureOptions options;
                 options.queueBytes = queueBytes;
                 options.maxSample = maxSample;
                 options.history = history;
                 options.credentials = {enclaveDir, enclave};
                 py::gil_scoped_release released;  // joining a domain takes a moment
                 return std::make_unique<Capture>(ns, domain, options);
             }),
             py::arg("namespace"), py::arg("domain"), py::arg("queue_bytes"), py::arg("max_sample"),
             py::arg("history"), py::arg("enclave_dir") = std::string(),
             py::arg("enclave") = std::string("/"))
        .def_property_readonly("max_record", &Capture::MaxRecord)
        .def(
            "take",
            [](Capture& capture, const py::buffer& buffer) {
                const py::buffer_info info = buffer.request(/*writable=*/true);
                if (info.itemsize != 1 || info.ndim != 1 || info.strides[0] != 1)
                    throw py::value_error("take needs a contiguous writable buffer of bytes");
                auto* out = static_cast<std::uint8_t*>(info.ptr);
                const auto size = static_cast<std::size_t>(info.shape[0]);
                py::gil_scoped_release released;
                return capture.Take(out, size);
            },
            py::arg("buffer"))
        .def("topics",
             [](const Capture& capture) {
                 py::list out;
                 for (const Network::CapturedTopic& t : capture.Topics()) {
                     py::dict d;
                     d["topic"] = t.topic;
                     d["ros_type"] = Network::TypeOf(t.message).rosName;
                     d["reliable"] = t.offered.reliable;
                     d["transient_local"] = t.offered.transientLocal;
                     d["keep_all"] = t.offered.keepAll;
                     d["depth"] = t.offered.depth;
                     d["deadline_ns"] = t.offered.deadlineNs;
                     d["samples"] = t.samples;
                     d["bytes"] = t.bytes;
                     d["dropped"] = t.dropped;
                     d["lost"] = t.lost;
                     d["writers"] = t.writers;
                     out.append(d);
                 }
                 return out;
             })
        .def("ignored",
             [](const Capture& capture) {
                 // The names as announced, as bytes: the network's words need not be UTF-8.
                 py::list out;
                 for (const Network::IgnoredTopic& t : capture.Ignored())
                     out.append(py::make_tuple(py::bytes(t.topic), py::bytes(t.type), t.reason));
                 return out;
             })
        .def("unlisted", &Capture::Unlisted)
        .def("close", &Capture::Close, py::call_guard<py::gil_scoped_release>());
}

#else

void RegisterCapture(py::module_&) {}

#endif

}  // namespace TamroNative
