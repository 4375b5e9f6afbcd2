// Network::Capture: the queue that hands samples to the consumer, and the capture itself
// recording a node of this process (every cycle of a counting fake arm, as the writer sent
// it), leaving other namespaces alone and listing what it cannot record. Mostly here so that
// the receiving thread runs under the sanitizers; the Python tests record a bridge.
#include "FakeDevices.hpp"
#include "LoopbackDds.hpp"

#include <Tamro/HardwareAPI/Control/ServoLoop.hpp>
#include <Tamro/HardwareAPI/Network/Capture.hpp>
#include <Tamro/HardwareAPI/Network/Node.hpp>

#include "Network/SampleQueue.hpp"
#include "Network/Wire.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace Tamro::HardwareAPI;
using Network::SampleHead;
using Network::Detail::SampleQueue;
using TamroTest::FakeArm;
using TamroTest::LoopbackDomain;
using namespace std::chrono_literals;

namespace {

// The whole records in a buffer Take filled.
std::vector<std::pair<SampleHead, std::vector<std::uint8_t>>> Records(const std::uint8_t* at,
                                                                      std::size_t used) {
    std::vector<std::pair<SampleHead, std::vector<std::uint8_t>>> out;
    const std::uint8_t* end = at + used;
    while (at < end) {
        SampleHead head;
        std::memcpy(&head, at, sizeof head);
        out.emplace_back(head,
                         std::vector<std::uint8_t>(at + sizeof head, at + sizeof head + head.size));
        at += SampleQueue::RecordSize(head.size);
    }
    return out;
}

std::uint8_t Byte(std::int64_t record, std::size_t i) {
    return static_cast<std::uint8_t>(record * 31 + static_cast<std::int64_t>(i));
}

}  // namespace

TEST(SampleQueue, HandsOverEveryRecordWholeAcrossTheRingsEnd) {
    // Sizes that are not multiples of 8 and leave every kind of gap before the ring's end;
    // the consumer's buffer is small, so it stops between records too.
    SampleQueue queue(4096);
    constexpr std::int64_t Count = 100000;
    std::thread producer([&] {
        for (std::int64_t n = 0; n < Count;) {
            const auto size = static_cast<std::uint32_t>((n * 37) % 301);
            const SampleHead head{static_cast<std::uint32_t>(n % 5), size, n, -n};
            if (queue.Push(head, [&](std::uint8_t* out) {
                    for (std::size_t i = 0; i < size; ++i) out[i] = Byte(n, i);
                }))
                ++n;
            else
                std::this_thread::yield();  // full: this test wants every record
        }
    });
    std::vector<std::uint8_t> buffer(SampleQueue::RecordSize(300) + 100);
    std::int64_t expected = 0;
    while (expected < Count) {
        const std::size_t used = queue.Take(buffer.data(), buffer.size());
        for (const auto& [head, data] : Records(buffer.data(), used)) {
            ASSERT_EQ(head.received, expected);
            ASSERT_EQ(head.published, -expected);
            ASSERT_EQ(head.topic, expected % 5);
            ASSERT_EQ(head.size, (expected * 37) % 301);
            for (std::size_t i = 0; i < data.size(); ++i) ASSERT_EQ(data[i], Byte(expected, i));
            ++expected;
        }
        if (used == 0) std::this_thread::yield();
    }
    producer.join();
    EXPECT_EQ(queue.Take(buffer.data(), buffer.size()), 0u);
}

TEST(SampleQueue, RefusesWhatDoesNotFitAndTakesItAfterRoomIsMade) {
    SampleQueue queue(4096);
    std::size_t pushed = 0;
    while (queue.Push({1, 100, 0, 0}, [](std::uint8_t* out) { std::memset(out, 7, 100); }))
        ++pushed;
    EXPECT_EQ(pushed, 4096 / SampleQueue::RecordSize(100));
    std::vector<std::uint8_t> buffer(8192);
    EXPECT_EQ(Records(buffer.data(), queue.Take(buffer.data(), buffer.size())).size(), pushed);
    EXPECT_TRUE(queue.Push({1, 100, 0, 0}, [](std::uint8_t* out) { std::memset(out, 7, 100); }));
}

namespace {

// A writer of this process's own, in a participant of its own.
class Writer {
public:
    Writer(int domain, const char* topic, const dds_topic_descriptor_t& type)
        : participant_(
              dds_create_participant(static_cast<dds_domainid_t>(domain), nullptr, nullptr)) {
        const dds_entity_t t = dds_create_topic(participant_, &type, topic, nullptr, nullptr);
        writer_ = dds_create_writer(participant_, t, nullptr, nullptr);
    }
    ~Writer() { dds_delete(participant_); }
    dds_entity_t Get() const { return writer_; }

private:
    dds_entity_t participant_;
    dds_entity_t writer_ = 0;
};

// A topic's figures now (a copy: Topics() gives a new list each time).
std::optional<Network::CapturedTopic> Find(const Network::Capture& capture,
                                           const std::string& name) {
    for (const auto& t : capture.Topics())
        if (t.topic == name) return t;
    return std::nullopt;
}

template <typename Condition>
bool WaitFor(Condition done) {
    for (int i = 0; i < 2000; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// A PoseStamped's frame and first position value, read from its CDR as ROS 2 lays it out.
std::pair<std::string, double> FrameAndX(const std::vector<std::uint8_t>& cdr) {
    std::uint32_t length;
    std::memcpy(&length, cdr.data() + 12, 4);
    std::string frame(reinterpret_cast<const char*>(cdr.data()) + 16, length - 1);
    const std::size_t doubles = 4 + (12 + length + 7) / 8 * 8;
    double x;
    std::memcpy(&x, cdr.data() + doubles, 8);
    return {frame, x};
}

}  // namespace

TEST(NetworkCapture, RecordsEveryCycleOfItsNamespaceAndListsWhatItCannot) {
    const int domain = LoopbackDomain();
    Network::Capture capture("lab", domain);

    dds_topic_descriptor_t unknown = Network::Wire::DescriptorOf(Network::Message::UInt8);
    unknown.m_typename = "other_msgs::msg::dds_::Thing_";
    const Writer stranger(domain, "rt/lab/thing", unknown);
    const Writer elsewhere(domain, "rt/lab2/arm/measured_cp",
                           Network::Wire::DescriptorOf(Network::Message::PoseStamped));

    FakeArm arm;
    Control::ServoLoop loop(arm.Path(), Control::ServoOptions{});
    std::uint64_t published = 0;
    {
        Network::Node node("lab", domain);
        node.Publish(loop, "arm");
        node.AcceptCommands(loop, "arm");  // readers only: nothing to record
        ASSERT_TRUE(WaitFor([&] {
            const auto topics = capture.Topics();
            return topics.size() == 3 && std::all_of(topics.begin(), topics.end(),
                                                     [](const auto& t) { return t.writers == 1; });
        }));
        ASSERT_TRUE(loop.Start());
        ASSERT_TRUE(WaitFor([&] {
            const auto cp = Find(capture, "/lab/arm/measured_cp");
            return cp && cp->samples >= 300;
        }));
        node.Close();
        for (const auto& s : node.Stats())
            if (s.topic == "/lab/arm/measured_cp") published = s.samples;
    }
    ASSERT_TRUE(WaitFor([&] { return Find(capture, "/lab/arm/measured_cp")->writers == 0; }));
    loop.Stop();
    capture.Close();

    const auto topics = capture.Topics();
    std::map<std::string, std::uint32_t> index;
    for (std::uint32_t i = 0; i < topics.size(); ++i) index[topics[i].topic] = i;
    ASSERT_EQ(index.size(), 3u);
    const std::uint32_t cp = index.at("/lab/arm/measured_cp");
    ASSERT_EQ(index.count("/lab/arm/measured_cv") + index.count("/lab/arm/measured_cf"), 2u);
    for (const auto& t : topics) {
        EXPECT_FALSE(t.offered.reliable) << t.topic;
        EXPECT_EQ(t.offered.depth, 1) << t.topic;
        EXPECT_EQ(t.dropped + t.lost, 0u) << t.topic;
    }
    const auto ignored = capture.Ignored();
    ASSERT_EQ(ignored.size(), 1u);
    EXPECT_EQ(ignored[0].topic, "rt/lab/thing");
    EXPECT_EQ(ignored[0].type, "other_msgs::msg::dds_::Thing_");
    EXPECT_STREQ(ignored[0].reason, "its type is not known");

    // Every cycle published while the reader was there, in order and whole.
    std::vector<std::uint8_t> buffer(1 << 22);
    const auto records = Records(buffer.data(), capture.Take(buffer.data(), buffer.size()));
    std::map<std::uint32_t, std::uint64_t> perTopic;
    std::uint64_t bytes = 0;
    long last = -1;
    std::uint64_t poses = 0;
    for (const auto& [head, data] : records) {
        ++perTopic[head.topic];
        EXPECT_GE(head.received, head.published);
        EXPECT_LT(head.received - head.published, 10'000'000'000);
        if (head.topic != cp) continue;
        bytes += head.size;
        ++poses;
        const auto [frame, x] = FrameAndX(data);
        EXPECT_EQ(frame, "lab/arm_base");
        const long cycle = FakeArm::CountingRequest(x);
        if (last >= 0) {
            EXPECT_EQ(cycle, last + 1) << "a cycle went missing";
        }
        last = cycle;
    }
    for (std::uint32_t i = 0; i < topics.size(); ++i) EXPECT_EQ(perTopic[i], topics[i].samples);
    EXPECT_EQ(bytes, topics[cp].bytes);
    EXPECT_LE(poses, published);
    EXPECT_GE(poses, 300u);
}

TEST(NetworkCapture, RefusesBadSettings) {
    const int domain = LoopbackDomain();
    EXPECT_THROW(Network::Capture("lab//x", domain), std::invalid_argument);
    EXPECT_THROW(Network::Capture("lab", 233), std::invalid_argument);
    Network::CaptureOptions small;
    small.queueBytes = 1000;
    EXPECT_THROW(Network::Capture("lab", domain, small), std::invalid_argument);
    Network::CaptureOptions large;
    large.maxSample = large.queueBytes;
    EXPECT_THROW(Network::Capture("lab", domain, large), std::invalid_argument);
}
