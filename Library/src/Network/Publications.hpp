// What a node publishes of a device: the measured topics of an arm and of a handle, each fed
// by its loop through a publishing thread (Feed).
#pragma once

#include <Tamro/HardwareAPI/Control/HandleReader.hpp>
#include <Tamro/HardwareAPI/Control/ServoLoop.hpp>

#include "Endpoint.hpp"
#include "Feed.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace Tamro::HardwareAPI::Network::Detail {

// A real-time loop's publisher runs real-time too, below the loop, which must always win.
inline int PublisherPriority(const Control::ServoLoop& loop) {
    if (!loop.Realtime().granted) return 0;
    return std::max(1, loop.Options().realtimePriority - 10);
}

inline void Copy(double* out, const Control::Vec3& v) { std::copy(v.begin(), v.end(), out); }

// The three measured topics of an arm, fed by its servo loop.
class ArmPublication {
public:
    ArmPublication(dds_entity_t participant, const std::string& ns, const std::string& name,
                   Control::ServoLoop& loop, double rateHz)
        : frame_(FrameId(ns, name)),
          cp_(participant, ns, name, Find(Device::Arm, "measured_cp")),
          cv_(participant, ns, name, Find(Device::Arm, "measured_cv")),
          cf_(participant, ns, name, Find(Device::Arm, "measured_cf")),
          feed_(loop.CycleOutlet(), rateHz, PublisherPriority(loop),
                [this](const Control::CycleState& s, const Wire::Time& t) { Write(s, t); }) {}

    void Stop() noexcept { feed_.Stop(); }
    void Stats(std::vector<TopicStats>& out) const {
        for (const Endpoint* e : {&cp_, &cv_, &cf_}) out.push_back(e->Stats(feed_.Dropped()));
    }

private:
    void Write(const Control::CycleState& s, const Wire::Time& stamp) noexcept {
        const Wire::Header header{stamp, const_cast<char*>(frame_.c_str())};
        Wire::PoseStamped pose{header, {}, {0, 0, 0, 1}};
        Copy(pose.position, s.position);
        cp_.Write(&pose);
        Wire::TwistStamped twist{header, {}, {}};
        Copy(twist.linear, s.velocity);
        cv_.Write(&twist);
        Wire::WrenchStamped wrench{header, {}, {}};
        Copy(wrench.force, s.force);
        cf_.Write(&wrench);
    }

    const std::string frame_;
    Endpoint cp_, cv_, cf_;
    Feed<Control::CycleState> feed_;  // last: its thread uses the rest
};

// The handle's orientation, sensor level and user data, fed by its reader.
class HandlePublication {
public:
    HandlePublication(dds_entity_t participant, const std::string& ns, const std::string& name,
                      Control::HandleReader& reader, double rateHz)
        : frame_(FrameId(ns, name)),
          cp_(participant, ns, name, Find(Device::Handle, "measured_cp")),
          level_(participant, ns, name, Find(Device::Handle, "sensor_level")),
          data_(participant, ns, name, Find(Device::Handle, "user_data")),
          feed_(reader.StatusOutlet(), rateHz, 0,
                [this](const Control::HandleStatus& s, const Wire::Time& t) { Write(s, t); }) {}

    void Stop() noexcept { feed_.Stop(); }
    void Stats(std::vector<TopicStats>& out) const {
        for (const Endpoint* e : {&cp_, &level_, &data_}) out.push_back(e->Stats(feed_.Dropped()));
    }

private:
    void Write(const Control::HandleStatus& s, const Wire::Time& stamp) noexcept {
        const auto& q = s.quaternion;  // w first, as the handle sends it; ROS puts w last
        Wire::PoseStamped pose{
            {stamp, const_cast<char*>(frame_.c_str())}, {0, 0, 0}, {q[1], q[2], q[3], q[0]}};
        cp_.Write(&pose);
        const Wire::UInt8 level{s.hallEffectSensorLevel};
        level_.Write(&level);
        Wire::UInt8MultiArray data{};
        data.data._length = data.data._maximum = s.userDataLength;
        data.data._buffer = const_cast<std::uint8_t*>(s.userData.data());
        data_.Write(&data);
    }

    const std::string frame_;
    Endpoint cp_, level_, data_;
    Feed<Control::HandleStatus> feed_;
};

}  // namespace Tamro::HardwareAPI::Network::Detail
