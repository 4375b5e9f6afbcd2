#pragma once

#include <Tamro/HardwareAPI/Control/Commands.hpp>
#include <Tamro/HardwareAPI/Control/Coupling.hpp>
#include <Tamro/HardwareAPI/Network/Credentials.hpp>
#include <Tamro/HardwareAPI/Network/Topics.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Tamro::HardwareAPI::Control {
class ServoLoop;
class HandleReader;
}  // namespace Tamro::HardwareAPI::Control

namespace Tamro::HardwareAPI::Network {

// Why a command sample was refused. Each is counted per topic (TopicStats::refusals).
enum class Refusal : std::uint8_t {
    NotFinite,    // a coordinate that is not a finite number
    Workspace,    // a target outside the workspace box
    Frame,        // a frame_id other than the device's own, or empty
    Stale,        // stamped: held up beyond the time-out, or out of order
    Future,       // stamped fresher than the stream's own samples allow
    Implausible,  // unstamped, or a stream's first stamp outside the stamp window
    Rate,         // beyond the most samples a second a command topic takes (MaxCommandRateHz)
    Stopped,      // arrived while the node stopped taking commands
};
inline constexpr std::size_t RefusalKinds = 8;

// Command samples a topic takes a second at most, on average (in bursts of a tenth of it):
// beyond, a flood, refused before it reaches the loop's lock.
inline constexpr double MaxCommandRateHz = 5000;
// The longest frame_id kept of a refused sample (TopicStats::refusedFrame): the rest is cut.
inline constexpr std::size_t MaxShownFrame = 64;

// A reason's name for programs and scripts ("not_finite", "workspace", "frame", ...), and what
// it says of the sample ("not finite", "outside the workspace", ...).
const char* RefusalWord(Refusal reason) noexcept;
const char* RefusalWhat(Refusal reason) noexcept;

// What one topic has carried since it was set up.
struct TopicStats {
    std::string topic;  // the ROS 2 name: /lab/arm/measured_cp
    Message message;
    Direction direction;
    std::uint64_t samples = 0;  // written (out) or taken (in)
    std::uint64_t dropped = 0;  // out: records the loop could not hand over, or not written
    std::uint64_t refused = 0;  // in: samples the checks refused; they never reach the arm
    std::uint64_t clamped = 0;  // in: forces scaled down to the loop's max_force
    // in: of those refused, how many for each reason (indexed by Refusal), and what each
    // reason expects of a sample on this topic ("'lab/arm_base' or empty").
    std::array<std::uint64_t, RefusalKinds> refusals{};
    std::array<std::string, RefusalKinds> expected{};
    // in: the frame_id of the newest sample refused for its frame, as sent (untrusted: escape
    // it before showing it), at most MaxShownFrame bytes.
    std::string refusedFrame{};
};

// The device a coupling follows: /<ns>/<device>/measured_cp (and measured_cv, and its
// coupling_energy and coupling_cf when it is coupled too) for an arm; for a handle, its
// orientation on measured_cp puts the target reach metres along the handle's x axis.
struct CouplingPeer {
    std::string ns;
    std::string device = "arm";
    Device kind = Device::Arm;
    double reach = 0.03;
    Control::RemoteSettings remote{};
};

// One DDS participant (Eclipse Cyclone DDS) that serves devices as ROS 2 topics under
// /<namespace>/<device name>/ (Topics.hpp has the list).
//
// Publishing runs on a native thread per device that the device's loop feeds through its
// outlet (Control::Outlet): the loop never calls DDS and never waits for the network.
// Commands are taken on Cyclone's own receive thread, checked there and handed to the loop
// (Control::CommandInput), which fades them out when their stream stops.
//
// Configuration is Cyclone's: the CYCLONEDDS_URI environment variable, else its defaults
// (every interface, multicast discovery). With credentials the participant joins a secured
// domain (DDS Security) or not at all. The loops and readers given to a node must outlive
// it, or its Close.
class Node {
public:
    static constexpr const char* DefaultNodeName = "tamro_node";

    // The node is known to the ROS 2 graph (ros_discovery_info) as nodeName in namespace /ns,
    // with every reader and writer it has. Throws std::invalid_argument for a namespace or node
    // name ROS 2 would not take or a domain outside 0 to 232, and std::runtime_error (with
    // Cyclone's words) when DDS refuses: with credentials, naming the file that cannot be
    // loaded and why.
    explicit Node(const std::string& ns, int domain = 0,
                  const std::string& nodeName = DefaultNodeName,
                  const Credentials& credentials = {});
    ~Node();

    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    const std::string& Namespace() const noexcept;
    int Domain() const noexcept;
    const std::string& NodeName() const noexcept;

    // Publishes measured_cp, measured_cv and measured_cf of the loop under /ns/name/: every
    // cycle, or at rateHz (greater than 0) on the loop's own times. Throws
    // std::invalid_argument for a bad or taken name or rate, std::runtime_error when the
    // loop's outlet is held by another publisher or DDS refuses.
    void Publish(Control::ServoLoop& loop, const std::string& name, double rateHz = 0);
    // Publishes measured_cp (orientation), sensor_level and user_data of the handle, one per
    // status message or at rateHz.
    void Publish(Control::HandleReader& reader, const std::string& name, double rateHz = 0);
    // Takes servo_cp and servo_cf for the loop under /ns/name/ (the name may be one it
    // publishes under), each sample judged fresh by its header's stamp (Commands.hpp).
    // Throws std::invalid_argument for bad settings or name, std::runtime_error when the loop
    // takes commands from elsewhere already.
    void AcceptCommands(Control::ServoLoop& loop, const std::string& name,
                        const Control::CommandSettings& settings = {});

    // Couples the loop's Coupling effect (Effects.hpp) to the peer: takes its samples into the
    // loop's RemoteInput, and publishes this coupling's coupling_cf and coupling_energy under
    // /ns/name/ (the name may be one it publishes under). Throws std::invalid_argument for a
    // bad name, peer or settings, std::runtime_error when the loop is coupled elsewhere already.
    void Couple(Control::ServoLoop& loop, const std::string& name, const CouplingPeer& peer);

    std::vector<TopicStats> Stats() const;

    // Stops the publishing threads and the command readers (the loops fade what they were
    // commanded), and leaves the domain. Closing twice does nothing.
    void Close();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Tamro::HardwareAPI::Network
