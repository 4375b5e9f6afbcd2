// Network::Node from C++, with a DDS reader and writer of this process as the far side: every
// cycle of a loop reaches the topic, commands reach the arm through their checks, and closing
// stops both. Mostly here so that the node's threads run under the sanitizers; the Python
// tests check the topics against an independent ROS 2 peer.
#include "FakeDevices.hpp"
#include "LoopbackDds.hpp"

#include <Tamro/HardwareAPI/Control/ServoLoop.hpp>
#include <Tamro/HardwareAPI/Network/Node.hpp>

#include "Network/CommandChannel.hpp"
#include "Network/Wire.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

using namespace Tamro::HardwareAPI;
using Network::Wire::PoseStamped;
using Network::Wire::WrenchStamped;
using TamroTest::FakeArm;
using TamroTest::LoopbackDomain;
using namespace std::chrono_literals;

namespace {

// A participant of its own with one endpoint on a ROS 2 topic.
class FarSide {
public:
    FarSide(int domain, const char* topic, Network::Message message, bool reader)
        : participant_(
              dds_create_participant(static_cast<dds_domainid_t>(domain), nullptr, nullptr)) {
        const dds_entity_t t = dds_create_topic(participant_, &Network::Wire::DescriptorOf(message),
                                                topic, nullptr, nullptr);
        dds_qos_t* qos = dds_create_qos();
        dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
        dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, reader ? 2000 : 1);
        if (!reader) dds_qset_deadline(qos, DDS_MSECS(100));
        endpoint_ = reader ? dds_create_reader(participant_, t, qos, nullptr)
                           : dds_create_writer(participant_, t, qos, nullptr);
        dds_delete_qos(qos);
    }
    ~FarSide() { dds_delete(participant_); }

    dds_entity_t Endpoint() const { return endpoint_; }

    bool Matched() const {
        for (int i = 0; i < 1000; ++i) {
            dds_publication_matched_status_t pub{};
            dds_subscription_matched_status_t sub{};
            if (dds_get_publication_matched_status(endpoint_, &pub) == 0 && pub.current_count > 0)
                return true;
            if (dds_get_subscription_matched_status(endpoint_, &sub) == 0 && sub.current_count > 0)
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

private:
    dds_entity_t participant_;
    dds_entity_t endpoint_ = 0;
};

std::uint64_t Count(const Network::Node& node, const std::string& topic,
                    std::uint64_t Network::TopicStats::*field) {
    for (const auto& s : node.Stats())
        if (s.topic == topic) return s.*field;
    return 0;
}

}  // namespace

TEST(NetworkNode, PublishesEveryCycleAndTakesCheckedCommands) {
    const int domain = LoopbackDomain();
    FakeArm arm;
    Control::ServoOptions options;
    options.maxForce = 2;
    Control::ServoLoop loop(arm.Path(), options);
    Network::Node node("lab", domain);
    node.Publish(loop, "arm");
    node.AcceptCommands(loop, "arm");

    FarSide cp(domain, "rt/lab/arm/measured_cp", Network::Message::PoseStamped, true);
    FarSide cf(domain, "rt/lab/arm/servo_cf", Network::Message::WrenchStamped, false);
    ASSERT_TRUE(cp.Matched());
    ASSERT_TRUE(cf.Matched());
    ASSERT_TRUE(loop.Start());

    // Commands: a force beyond max_force is clamped, one that is not finite refused.
    WrenchStamped push{};
    push.header.frame_id = const_cast<char*>("lab/arm_base");
    push.force[1] = 5;
    WrenchStamped bad = push;
    bad.force[0] = std::nan("");
    auto reached = [&] {
        const auto forces = arm.Forces();
        return !forces.empty() && forces.back()[1] == 2.0f;
    };
    for (int i = 0; i < 500 && !reached(); ++i) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        push.header.stamp = {static_cast<std::int32_t>(
                                 std::chrono::duration_cast<std::chrono::seconds>(now).count()),
                             static_cast<std::uint32_t>(now % std::chrono::seconds(1) / 1ns)};
        bad.header.stamp = push.header.stamp;
        dds_write(cf.Endpoint(), &bad);
        dds_write(cf.Endpoint(), &push);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(reached()) << "the clamped command reached the arm";
    EXPECT_GT(Count(node, "/lab/arm/servo_cf", &Network::TopicStats::refused), 0u);
    EXPECT_GT(Count(node, "/lab/arm/servo_cf", &Network::TopicStats::clamped), 0u);
    for (const auto& f : arm.Forces())
        ASSERT_TRUE(std::isfinite(f[0]) && std::hypot(f[0], f[1], f[2]) <= 2.0f);

    // Measured: consecutive cycles, positions as the counting arm replied.
    void* samples[64] = {};
    dds_sample_info_t infos[64];
    std::size_t taken = 0;
    std::int32_t lastRequest = -1;
    for (int i = 0; i < 500 && taken < 100; ++i) {
        const int n = dds_take(cp.Endpoint(), samples, infos, 64, 64);
        for (int k = 0; k < n; ++k) {
            const auto& pose = *static_cast<const PoseStamped*>(samples[k]);
            EXPECT_STREQ(pose.header.frame_id, "lab/arm_base");
            EXPECT_EQ(pose.orientation[3], 1.0);
            const auto request =
                static_cast<std::int32_t>(FakeArm::CountingRequest(pose.position[0]));
            EXPECT_NEAR(pose.position[1], -pose.position[0], 1e-9);
            if (lastRequest >= 0) {
                EXPECT_EQ(request, lastRequest + 1) << "a cycle went missing";
            }
            lastRequest = request;
        }
        if (n > 0) {
            taken += static_cast<std::size_t>(n);
            dds_return_loan(cp.Endpoint(), samples, n);
        }
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_GE(taken, 100u);

    // Closing stops both and fades what was commanded; the figures stay.
    node.Close();
    const std::uint64_t published =
        Count(node, "/lab/arm/measured_cp", &Network::TopicStats::samples);
    EXPECT_GE(published, taken);
    ASSERT_TRUE(arm.WaitForForces(arm.Forces().size() + 300));
    EXPECT_EQ(arm.Forces().back()[1], 0.0f);
    EXPECT_EQ(loop.Commands().Status().mode, Control::CommandMode::Off);
    EXPECT_EQ(Count(node, "/lab/arm/measured_cp", &Network::TopicStats::samples), published);
    loop.Stop();
}

TEST(RateGate, AdmitsABurstThenTheRate) {
    Network::Detail::RateGate gate(1000);  // bursts of 100
    int admitted = 0;
    for (int i = 0; i < 300; ++i) admitted += gate.Admit(0) ? 1 : 0;
    EXPECT_EQ(admitted, 100) << "the burst, at once";
    for (std::int64_t ms = 1; ms <= 1000; ++ms)  // three a millisecond offered, one taken
        for (int i = 0; i < 3; ++i) admitted += gate.Admit(ms * 1'000'000) ? 1 : 0;
    EXPECT_EQ(admitted, 1100);
    admitted = 0;
    for (int i = 0; i < 300; ++i) admitted += gate.Admit(10'000'000'000) ? 1 : 0;
    EXPECT_EQ(admitted, 100) << "a quiet spell refills the burst, no more";
}

TEST(NetworkNode, CountsEachRefusalByReasonAndKeepsTheRefusedFrameCut) {
    const int domain = LoopbackDomain();
    FakeArm arm;
    Control::ServoLoop loop(arm.Path());
    Network::Node node("lab", domain);
    node.AcceptCommands(loop, "arm");
    FarSide cf(domain, "rt/lab/arm/servo_cf", Network::Message::WrenchStamped, false);
    ASSERT_TRUE(cf.Matched());
    const auto stats = [&] {
        for (const auto& s : node.Stats())
            if (s.topic == "/lab/arm/servo_cf") return s;
        return Network::TopicStats{};
    };
    const auto reason = [](const Network::TopicStats& s, Network::Refusal r) {
        return s.refusals[static_cast<std::size_t>(r)];
    };

    // A frame longer than is kept: counted as a frame refusal, kept cut.
    const std::string frame = "world/" + std::string(200, 'x');
    WrenchStamped foreign{};
    foreign.header.frame_id = const_cast<char*>(frame.c_str());
    for (int i = 0; i < 500 && reason(stats(), Network::Refusal::Frame) < 5; ++i) {
        dds_write(cf.Endpoint(), &foreign);
        std::this_thread::sleep_for(5ms);
    }
    Network::TopicStats s = stats();
    EXPECT_GE(reason(s, Network::Refusal::Frame), 5u);
    EXPECT_EQ(s.refusedFrame, frame.substr(0, Network::MaxShownFrame));
    EXPECT_EQ(s.expected[static_cast<std::size_t>(Network::Refusal::Frame)],
              "'lab/arm_base' or empty");

    // A flood: what arrives beyond the burst and the rate is refused for its rate, before its
    // frame or stamp are looked at (these are unstamped: implausible, when not refused first).
    WrenchStamped flood{};
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5000; ++i) dds_write(cf.Endpoint(), &flood);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Then a marked sample, again until it is seen (the flood's rate may refuse the first):
    // everything sent before it was taken.
    WrenchStamped end{};
    end.header.frame_id = const_cast<char*>("end");
    for (int i = 0; i < 500 && stats().refusedFrame != "end"; ++i) {
        dds_write(cf.Endpoint(), &end);
        std::this_thread::sleep_for(5ms);
    }
    const Network::TopicStats after = stats();
    ASSERT_EQ(after.refusedFrame, "end");
    const std::uint64_t arrived = after.samples - s.samples;
    const double allowed = Network::MaxCommandRateHz / 10 + Network::MaxCommandRateHz * elapsed;
    if (static_cast<double>(arrived) <= allowed + 10)
        GTEST_SKIP() << "no flood: " << arrived << " samples in " << elapsed << " s";
    EXPECT_GE(static_cast<double>(reason(after, Network::Refusal::Rate)),
              static_cast<double>(arrived) - allowed - 1);
    std::uint64_t sum = 0;
    for (const std::uint64_t n : after.refusals) sum += n;
    EXPECT_EQ(sum, after.refused) << "every refusal has its reason";
    EXPECT_EQ(reason(after, Network::Refusal::Rate) + reason(after, Network::Refusal::Implausible) +
                  reason(after, Network::Refusal::Frame) - reason(s, Network::Refusal::Frame),
              arrived);
}

TEST(NetworkNode, RefusesNamesAndDomainsRos2WouldNot) {
    for (const char* ns : {"", "/lab", "lab/", "a//b", "1lab", "la b", "lab-1"})
        EXPECT_THROW(Network::Node(ns, 0), std::invalid_argument) << ns;
    EXPECT_THROW(Network::Node("lab", 233), std::invalid_argument);
    EXPECT_THROW(Network::Node("lab", -1), std::invalid_argument);
}
