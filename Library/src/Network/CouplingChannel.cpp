#include "CouplingChannel.hpp"

#include "Publications.hpp"
#include "Wire.hpp"

#include <cmath>
#include <stdexcept>

namespace Tamro::HardwareAPI::Network::Detail {

namespace {

// A velocity, force or energy goes with the position when it is this close to it in time: the
// remote writes them one after the other each cycle.
constexpr double Together = 0.02;

double SecondsOf(const Wire::Time& t) { return t.sec + t.nanosec * 1e-9; }

Control::Vec3 VecOf(const double* v) { return {v[0], v[1], v[2]}; }

bool Near(double a, double b) { return std::abs(a - b) <= Together; }

// The contact plane goes out with every this many records while it holds (and at once when
// it comes or goes): well within Together of every position the peer pairs it with.
constexpr unsigned ContactEvery = 4;

// The rotation (x, y, z, w) taking +z to the unit normal n, and back.
void RotationTo(const Control::Vec3& n, double* q) {
    const double w = 1 + n[2];
    if (w < 1e-9) {  // straight down: half a turn about x
        q[0] = 1, q[1] = q[2] = q[3] = 0;
        return;
    }
    const double length = std::sqrt(w * w + n[0] * n[0] + n[1] * n[1]);
    q[0] = -n[1] / length, q[1] = n[0] / length, q[2] = 0, q[3] = w / length;
}

// v turned by the orientation q (x, y, z, w, as on the wire, scaled to length 1 here); false
// for one that is not finite or has no length to scale.
bool Rotated(const double* q, const Control::Vec3& v, Control::Vec3& out) {
    const double l = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    if (!std::isfinite(l) || l < 1e-6) return false;
    const double x = q[0] / l, y = q[1] / l, z = q[2] / l, w = q[3] / l;
    out = {
        (1 - 2 * (y * y + z * z)) * v[0] + 2 * (x * y - w * z) * v[1] + 2 * (x * z + w * y) * v[2],
        2 * (x * y + w * z) * v[0] + (1 - 2 * (x * x + z * z)) * v[1] + 2 * (y * z - w * x) * v[2],
        2 * (x * z - w * y) * v[0] + 2 * (y * z + w * x) * v[1] + (1 - 2 * (x * x + y * y)) * v[2]};
    return true;
}

// A contact plane's outward normal: +z at its orientation.
bool NormalOf(const double* q, Control::Vec3& out) { return Rotated(q, {0, 0, 1}, out); }

// Where a handle at this orientation (x, y, z, w) puts the target: reach along its x axis.
bool Pointing(const double* q, double reach, Control::Vec3& out) {
    return Rotated(q, {reach, 0, 0}, out);
}

}  // namespace

CouplingChannel::CouplingChannel(dds_entity_t participant, const std::string& ns,
                                 const std::string& name, Control::ServoLoop& loop,
                                 const CouplingPeer& peer)
    : frame_(FrameId(ns, name)),
      peerFrame_(FrameId(peer.ns, peer.device)),
      peer_(peer),
      remote_(loop.Remote()),
      cfOut_(participant, ns, name, Find(Device::Coupling, "coupling_cf")),
      energyOut_(participant, ns, name, Find(Device::Coupling, "coupling_energy")),
      contactOut_(participant, ns, name, Find(Device::Coupling, "contact_model")),
      stiffnessOut_(participant, ns, name, Find(Device::Coupling, "contact_stiffness")) {
    CheckName(peer.ns, "peer namespace", true);
    CheckName(peer.device, "peer device name", false);
    if (peer.kind == Device::Coupling) throw std::invalid_argument("a coupling follows a device");
    if (!(std::isfinite(peer.reach) && peer.reach > 0 && peer.reach <= 1))
        throw std::invalid_argument("reach must be above 0 and at most 1 m");
    if (remote_.Accepting()) throw std::runtime_error("the loop is coupled elsewhere already");
    remote_.Accept(peer.remote);
    try {
        const auto reader = [&](std::optional<Endpoint>& e, Device kind, const char* topic,
                                dds_on_data_available_fn fn) {
            e.emplace(participant, peer.ns, peer.device, Find(kind, topic),
                      std::chrono::nanoseconds{}, DataListener(this, fn).get());
        };
        if (peer.kind == Device::Handle) {
            reader(cp_, Device::Handle, "measured_cp", &OnOrientation);
        } else {
            reader(cv_, Device::Arm, "measured_cv", &OnVelocity);
            reader(energyIn_, Device::Coupling, "coupling_energy", &OnEnergy);
            reader(cfIn_, Device::Coupling, "coupling_cf", &OnForce);
            reader(contactIn_, Device::Coupling, "contact_model", &OnContact);
            reader(stiffnessIn_, Device::Coupling, "contact_stiffness", &OnStiffness);
            reader(cp_, Device::Arm, "measured_cp", &OnPosition);
        }
        feed_.emplace(
            remote_.Records(), 0, PublisherPriority(loop),
            [this](const Control::CouplingRecord& r, const Wire::Time& t) { Write(r, t); });
    } catch (...) {
        Stop();
        throw;
    }
}

void CouplingChannel::Stop() noexcept {
    for (auto* e : {&cp_, &cv_, &energyIn_, &cfIn_, &contactIn_, &stiffnessIn_})
        if (*e) (*e)->entity.Reset();
    if (feed_) feed_->Stop();
    remote_.Stop();
}

void CouplingChannel::Stats(std::vector<TopicStats>& out) const {
    const std::uint64_t dropped = feed_ ? feed_->Dropped() : 0;
    for (const Endpoint* e : {&cfOut_, &energyOut_, &contactOut_, &stiffnessOut_})
        out.push_back(e->Stats(dropped));
    for (const auto* e : {&cp_, &cv_, &energyIn_, &cfIn_, &contactIn_, &stiffnessIn_})
        if (*e) out.push_back((*e)->Stats(0));
}

void CouplingChannel::Write(const Control::CouplingRecord& r, const Wire::Time& stamp) noexcept {
    const Wire::Header header{stamp, const_cast<char*>(frame_.c_str())};
    Wire::WrenchStamped wrench{header, {r.force[0], r.force[1], r.force[2]}, {}};
    cfOut_.Write(&wrench);
    WriteContact(r, header);
    if (!r.spring) return;  // no count to credit: the peer takes this arm's motion instead
    Wire::Vector3Stamped energy{header, {r.energyIn, r.energyOut, r.energyDissipated}};
    energyOut_.Write(&energy);
}

void CouplingChannel::OnPosition(dds_entity_t reader, void* arg) {
    auto& self = *static_cast<CouplingChannel*>(arg);
    TakeAll<Wire::PoseStamped>(reader, *self.cp_, [&](const Wire::PoseStamped& s) {
        Control::RemoteSample sample;
        sample.stamp = SecondsOf(s.header.stamp);
        sample.position = VecOf(s.position);
        {
            std::lock_guard<std::mutex> lock(self.latest_);
            sample.hasVelocity = Near(self.velocityStamp_, sample.stamp);
            sample.velocity = self.velocity_;
            sample.hasEnergy = Near(self.energyStamp_, sample.stamp);
            sample.energyIn = self.energy_;
            sample.hasForce = Near(self.forceStamp_, sample.stamp);
            sample.force = self.force_;
            // The plane and its stiffness go together, under one stamp, near the position's.
            sample.hasContact = self.contactStamp_ == self.stiffnessStamp_ &&
                                Near(self.contactStamp_, sample.stamp);
            sample.contactPoint = self.contactPoint_;
            sample.contactNormal = self.contactNormal_;
            sample.contactStiffness = self.contactStiffness_;
        }
        return self.remote_.Offer(sample);
    });
}

// The other topics only remember; the position's sample checks them.
void CouplingChannel::OnVelocity(dds_entity_t reader, void* arg) {
    auto& self = *static_cast<CouplingChannel*>(arg);
    TakeAll<Wire::TwistStamped>(reader, *self.cv_, [&](const Wire::TwistStamped& s) {
        std::lock_guard<std::mutex> lock(self.latest_);
        self.velocityStamp_ = SecondsOf(s.header.stamp);
        self.velocity_ = VecOf(s.linear);
        return Control::Verdict::Accepted;
    });
}

void CouplingChannel::OnEnergy(dds_entity_t reader, void* arg) {
    auto& self = *static_cast<CouplingChannel*>(arg);
    TakeAll<Wire::Vector3Stamped>(reader, *self.energyIn_, [&](const Wire::Vector3Stamped& s) {
        std::lock_guard<std::mutex> lock(self.latest_);
        self.energyStamp_ = SecondsOf(s.header.stamp);
        self.energy_ = s.vector[0];
        return Control::Verdict::Accepted;
    });
}

void CouplingChannel::OnForce(dds_entity_t reader, void* arg) {
    auto& self = *static_cast<CouplingChannel*>(arg);
    TakeAll<Wire::WrenchStamped>(reader, *self.cfIn_, [&](const Wire::WrenchStamped& s) {
        std::lock_guard<std::mutex> lock(self.latest_);
        self.forceStamp_ = SecondsOf(s.header.stamp);
        self.force_ = VecOf(s.force);
        return Control::Verdict::Accepted;
    });
}

void CouplingChannel::OnOrientation(dds_entity_t reader, void* arg) {
    auto& self = *static_cast<CouplingChannel*>(arg);
    TakeAll<Wire::PoseStamped>(reader, *self.cp_, [&](const Wire::PoseStamped& s) {
        Control::RemoteSample sample;
        sample.stamp = SecondsOf(s.header.stamp);
        if (!Pointing(s.orientation, self.peer_.reach, sample.position))
            return Control::Verdict::Refused;
        return self.remote_.Offer(sample);
    });
}

void CouplingChannel::WriteContact(const Control::CouplingRecord& r,
                                   const Wire::Header& header) noexcept {
    const bool holds = r.estimating && r.contactStiffness > 0;
    const bool change = holds != contactWas_;
    contactWas_ = holds;
    if (!r.estimating || (!change && ++contactRecords_ % ContactEvery != 0)) return;
    Wire::PoseStamped plane{header, {r.contactPoint[0], r.contactPoint[1], r.contactPoint[2]}, {}};
    RotationTo(r.contactNormal, plane.orientation);
    contactOut_.Write(&plane);
    Wire::Vector3Stamped stiffness{header, {holds ? r.contactStiffness : 0.0, 0, 0}};
    stiffnessOut_.Write(&stiffness);
}

// The peer's contact plane: remembered for its next position, which the gate checks. Only in
// the peer's own frame.
void CouplingChannel::OnContact(dds_entity_t reader, void* arg) {
    auto& self = *static_cast<CouplingChannel*>(arg);
    TakeAll<Wire::PoseStamped>(reader, *self.contactIn_, [&](const Wire::PoseStamped& s) {
        Control::Vec3 normal;
        if (s.header.frame_id == nullptr || self.peerFrame_ != s.header.frame_id ||
            !NormalOf(s.orientation, normal))
            return Control::Verdict::Refused;
        std::lock_guard<std::mutex> lock(self.latest_);
        self.contactStamp_ = SecondsOf(s.header.stamp);
        self.contactPoint_ = VecOf(s.position);
        self.contactNormal_ = normal;
        return Control::Verdict::Accepted;
    });
}

void CouplingChannel::OnStiffness(dds_entity_t reader, void* arg) {
    auto& self = *static_cast<CouplingChannel*>(arg);
    TakeAll<Wire::Vector3Stamped>(reader, *self.stiffnessIn_, [&](const Wire::Vector3Stamped& s) {
        if (s.header.frame_id == nullptr || self.peerFrame_ != s.header.frame_id)
            return Control::Verdict::Refused;
        std::lock_guard<std::mutex> lock(self.latest_);
        self.stiffnessStamp_ = SecondsOf(s.header.stamp);
        self.contactStiffness_ = s.vector[0];
        return Control::Verdict::Accepted;
    });
}

}  // namespace Tamro::HardwareAPI::Network::Detail
