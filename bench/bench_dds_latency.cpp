// A subscriber in a process of its own: how long after a cycle's reply its measured_cp sample
// is taken here (wall clock now minus the sample's stamp, which is the reply's time). Waits
// on a waitset, as a native ROS 2 subscriber would. Prints "ready" once its reader matched a
// writer, then one JSON object when it has --count samples or --seconds passed. Of that time,
// "dds_" figures are from the write's start (the sample's source timestamp) to here: DDS's part.
//
//   bench-dds-latency --domain D --topic rt/lab/arm/measured_cp [--count N] [--seconds S]
//                     [--take waitset|listener]
#include "BenchSupport.hpp"

#include <Tamro/HardwareAPI/Network/Topics.hpp>

#include "Network/Wire.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

using namespace TamroBench;
namespace Network = Tamro::HardwareAPI::Network;

namespace {

// What was taken: from the reply (the sample's stamp) and from the write (its source
// timestamp) to the take. Filled by one thread at a time, up to its count.
struct Taken {
    explicit Taken(std::size_t count) : count(count) {
        latency.reserve(count);
        dds.reserve(count);
    }
    void From(dds_entity_t reader) {
        void* samples[16] = {};
        dds_sample_info_t infos[16];
        const int n = dds_take(reader, samples, infos, 16, 16);
        const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        for (int i = 0; i < n && latency.size() < count; ++i) {
            if (!infos[i].valid_data) continue;
            const auto& stamp =
                static_cast<const Network::Wire::PoseStamped*>(samples[i])->header.stamp;
            const long long sent = stamp.sec * 1000000000LL + stamp.nanosec;
            latency.push_back(static_cast<double>(now - sent) / 1000.0);
            dds.push_back(static_cast<double>(now - infos[i].source_timestamp) / 1000.0);
        }
        if (n > 0) dds_return_loan(reader, samples, n);
        if (latency.size() >= count) done.store(true, std::memory_order_release);
    }
    const std::size_t count;
    std::vector<double> latency, dds;
    std::atomic<bool> done{false};
};

void OnData(dds_entity_t reader, void* arg) {
    auto* taken = static_cast<Taken*>(arg);
    if (!taken->done.load(std::memory_order_acquire)) taken->From(reader);
}

}  // namespace

int main(int argc, char** argv) {
    const Args args(argc, argv);
    if (!args.Check({"--domain", "--topic", "--count", "--seconds", "--take"})) return 2;
    const auto domain = static_cast<dds_domainid_t>(args.Integer("--domain", 0));
    const std::string topicName = args.String("--topic", "rt/lab/arm/measured_cp");
    const auto count = static_cast<std::size_t>(args.Integer("--count", 5000));
    const long seconds = args.Integer("--seconds", 20);
    const std::string take = args.String("--take", "waitset");
    if (take != "waitset" && take != "listener") {
        std::fprintf(stderr, "--take waitset|listener\n");
        return 2;
    }
    Taken taken(count);
    dds_listener_t* listener = nullptr;
    if (take == "listener") {
        listener = dds_create_listener(&taken);
        dds_lset_data_available(listener, OnData);
    }

    const dds_entity_t participant = dds_create_participant(domain, nullptr, nullptr);
    const dds_entity_t topic =
        dds_create_topic(participant, &Network::Wire::DescriptorOf(Network::Message::PoseStamped),
                         topicName.c_str(), nullptr, nullptr);
    dds_qos_t* qos = dds_create_qos();
    dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 16);
    const dds_entity_t reader = dds_create_reader(participant, topic, qos, listener);
    dds_delete_qos(qos);
    if (listener) dds_delete_listener(listener);
    if (participant < 0 || topic < 0 || reader < 0) {
        std::fprintf(stderr, "cannot join DDS\n");
        return 1;
    }
    const dds_entity_t waitset = dds_create_waitset(participant);
    dds_set_status_mask(reader, DDS_DATA_AVAILABLE_STATUS);
    dds_waitset_attach(waitset, reader, reader);

    const auto until = Clock::now() + std::chrono::seconds(seconds);
    for (dds_subscription_matched_status_t m{};
         dds_get_subscription_matched_status(reader, &m) == 0 && m.current_count == 0;)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::printf("ready\n");
    std::fflush(stdout);

    while (!taken.done.load(std::memory_order_acquire) && Clock::now() < until) {
        if (take == "listener") {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        if (dds_waitset_wait(waitset, nullptr, 0, DDS_MSECS(100)) > 0) taken.From(reader);
    }
    dds_delete(participant);  // waits for a listener still running
    const Summary s = Summarise(taken.latency);
    const Summary d = Summarise(taken.dds);
    std::printf(
        "{\"count\": %zu, \"p50_us\": %.2f, \"p90_us\": %.2f, \"p99_us\": %.2f, \"max_us\": "
        "%.2f, \"dds_p50_us\": %.2f, \"dds_p99_us\": %.2f}\n",
        s.count, s.p50, s.p90, s.p99, s.max, d.p50, d.p99);
    return s.count > 0 ? 0 : 1;
}
