#include <Tamro/HardwareAPI/Network/Node.hpp>

#include "CommandChannel.hpp"
#include "CouplingChannel.hpp"
#include "Endpoint.hpp"
#include "Graph.hpp"
#include "Publications.hpp"

#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Tamro::HardwareAPI::Network {

namespace {

using Detail::ArmPublication;
using Detail::CommandChannel;
using Detail::CouplingChannel;
using Detail::Entity;
using Detail::HandlePublication;

}  // namespace

class Node::Impl {
public:
    Impl(const std::string& ns, int domain, const std::string& nodeName,
         const Credentials& credentials)
        : ns_(ns), domain_(domain) {
        CheckName(ns, "namespace", true);
        CheckName(nodeName, "node name", false);
        participant_ = Detail::JoinDomain(domain, credentials);
        graph_.emplace(participant_.Get(), ns, nodeName);
        graph_->Announce();
    }

    // A name not yet used for another device; remembers it for this loop or reader.
    void Claim(const std::string& name, Device device, const void* source) {
        CheckName(name, "device name", false);
        const auto found = names_.find(name);
        if (found == names_.end()) {
            names_.emplace(name, std::pair{device, source});
            return;
        }
        if (found->second != std::pair{device, source})
            throw std::invalid_argument("'" + name + "' serves another device already");
    }

    void CheckOpen() const {
        if (closed_) throw std::runtime_error("the node is closed");
    }

    const std::string ns_;
    const int domain_;
    mutable std::mutex mutex_;
    bool closed_ = false;
    Entity participant_;
    std::optional<Detail::Graph> graph_;  // after the participant: its writer is the participant's
    std::map<std::string, std::pair<Device, const void*>> names_;
    std::vector<std::unique_ptr<ArmPublication>> arms_;
    std::vector<std::unique_ptr<HandlePublication>> handles_;
    std::vector<std::unique_ptr<CommandChannel>> commands_;
    std::vector<std::unique_ptr<CouplingChannel>> couplings_;
    std::vector<TopicStats> final_;  // once closed
};

Node::Node(const std::string& ns, int domain, const std::string& nodeName,
           const Credentials& credentials)
    : impl_(std::make_unique<Impl>(ns, domain, nodeName, credentials)) {}

Node::~Node() { Close(); }

const std::string& Node::Namespace() const noexcept { return impl_->ns_; }
int Node::Domain() const noexcept { return impl_->domain_; }
const std::string& Node::NodeName() const noexcept { return impl_->graph_->NodeName(); }

namespace {
void CheckRate(double rateHz) {
    if (!std::isfinite(rateHz) || rateHz < 0 || rateHz > 100000)
        throw std::invalid_argument(
            "the publishing rate must be from 0 (every cycle) to 100000 Hz");
}
}  // namespace

void Node::Publish(Control::ServoLoop& loop, const std::string& name, double rateHz) {
    CheckRate(rateHz);
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    impl_->CheckOpen();
    impl_->Claim(name, Device::Arm, &loop);
    impl_->arms_.push_back(std::make_unique<ArmPublication>(impl_->participant_.Get(), impl_->ns_,
                                                            name, loop, rateHz));
    impl_->graph_->Announce();
}

void Node::Publish(Control::HandleReader& reader, const std::string& name, double rateHz) {
    CheckRate(rateHz);
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    impl_->CheckOpen();
    impl_->Claim(name, Device::Handle, &reader);
    impl_->handles_.push_back(std::make_unique<HandlePublication>(
        impl_->participant_.Get(), impl_->ns_, name, reader, rateHz));
    impl_->graph_->Announce();
}

void Node::AcceptCommands(Control::ServoLoop& loop, const std::string& name,
                          const Control::CommandSettings& settings) {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    impl_->CheckOpen();
    impl_->Claim(name, Device::Arm, &loop);
    impl_->commands_.push_back(std::make_unique<CommandChannel>(impl_->participant_.Get(),
                                                                impl_->ns_, name, loop, settings));
    impl_->graph_->Announce();
}

void Node::Couple(Control::ServoLoop& loop, const std::string& name, const CouplingPeer& peer) {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    impl_->CheckOpen();
    impl_->Claim(name, Device::Arm, &loop);
    impl_->couplings_.push_back(
        std::make_unique<CouplingChannel>(impl_->participant_.Get(), impl_->ns_, name, loop, peer));
    impl_->graph_->Announce();
}

std::vector<TopicStats> Node::Stats() const {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    if (impl_->closed_) return impl_->final_;
    std::vector<TopicStats> out;
    for (const auto& a : impl_->arms_) a->Stats(out);
    for (const auto& c : impl_->commands_) c->Stats(out);
    for (const auto& c : impl_->couplings_) c->Stats(out);
    for (const auto& h : impl_->handles_) h->Stats(out);
    return out;
}

void Node::Close() {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    if (impl_->closed_) return;
    Impl& s = *impl_;
    for (auto& c : s.commands_) c->Stop();
    for (auto& c : s.couplings_) c->Stop();
    for (auto& a : s.arms_) a->Stop();
    for (auto& h : s.handles_) h->Stop();
    for (const auto& a : s.arms_) a->Stats(s.final_);
    for (const auto& c : s.commands_) c->Stats(s.final_);
    for (const auto& c : s.couplings_) c->Stats(s.final_);
    for (const auto& h : s.handles_) h->Stats(s.final_);
    s.commands_.clear();
    s.couplings_.clear();
    s.arms_.clear();
    s.handles_.clear();
    s.graph_.reset();
    s.participant_.Reset();
    s.closed_ = true;
}

}  // namespace Tamro::HardwareAPI::Network
