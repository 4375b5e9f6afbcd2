#include <Tamro/HardwareAPI/Network/Topics.hpp>

#include <cctype>
#include <stdexcept>

namespace Tamro::HardwareAPI::Network {

namespace {

std::string Path(const std::string& ns, const std::string& device, const char* topic) {
    return ns + "/" + device + "/" + topic;
}

}  // namespace

std::string RosTopic(const std::string& ns, const std::string& device, const char* topic) {
    return "/" + Path(ns, device, topic);
}

std::string DdsTopic(const std::string& ns, const std::string& device, const char* topic) {
    return "rt/" + Path(ns, device, topic);
}

std::string FrameId(const std::string& ns, const std::string& device) {
    return ns + "/" + device + "_base";
}

void CheckName(const std::string& name, const char* what, bool slashes) {
    const auto refuse = [&](const char* why) {
        throw std::invalid_argument(std::string(what) + " '" + name + "' " + why);
    };
    if (name.empty()) refuse("is empty");
    if (name.size() > 200) refuse("is longer than 200 characters");
    bool tokenStart = true;
    for (const char c : name) {
        if (c == '/') {
            if (!slashes) refuse("must not contain '/'");
            if (tokenStart) refuse("must not start or end with '/' or hold '//'");
            tokenStart = true;
            continue;
        }
        const auto u = static_cast<unsigned char>(c);
        if (!(std::isalnum(u) || c == '_') || u > 127)
            refuse("may hold only letters, digits, '_' and '/'");
        if (tokenStart && std::isdigit(u)) refuse("must not start a part with a digit");
        tokenStart = false;
    }
    if (tokenStart) refuse("must not start or end with '/' or hold '//'");
}

const char* DeviceWord(Device device) {
    switch (device) {
        case Device::Arm: return "arm";
        case Device::Handle: return "handle";
        case Device::Coupling: return "coupling";
    }
    return "?";
}
const char* DirectionWord(Direction direction) {
    return direction == Direction::Out ? "out" : "in";
}

}  // namespace Tamro::HardwareAPI::Network
