// The engine alone, for comparison with a node's published topics: Cyclone's own writer and
// reader, no servo loop, no hand-over, measuring each one-way hop from the writer's source
// timestamp (both ends on one machine, one clock).
//
//   pub:  writes a PoseStamped on --topic at --rate Hz (clock_nanosleep to each tick), as a
//         node's publishing thread does, for --seconds; bench-dds-latency takes it. Prints
//         how long each write took.
//   ping: the same paced writes on rt/probe/ping, and takes the replies on rt/probe/pong on a
//         waitset; pong answers each at once from its waitset. The outward hop starts cold
//         (everything slept for a period), the way back starts with both processes awake:
//         ping prints both hops and half the round trip, as ddsperf's ping-pong reports it.
//
//   bench-dds-probe --mode pub|ping|pong --domain D [--topic T] [--rate HZ] [--count N]
//                   [--seconds S]
#include "BenchSupport.hpp"

#include <Tamro/HardwareAPI/Network/Topics.hpp>

#include "Network/Wire.hpp"

#include <time.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace TamroBench;
namespace Network = Tamro::HardwareAPI::Network;
using Network::Wire::PoseStamped;

namespace {

long long WallNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Network::Wire::Time Stamp(long long ns) {
    return {static_cast<std::int32_t>(ns / 1000000000),
            static_cast<std::uint32_t>(ns % 1000000000)};
}

long long Ns(const Network::Wire::Time& t) { return t.sec * 1000000000LL + t.nanosec; }

// A topic's endpoints with the QoS of the node's measured topics (best effort, keep last 1).
class Side {
public:
    Side(dds_entity_t participant, const char* out, const char* in) {
        dds_qos_t* qos = dds_create_qos();
        dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
        dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 1);
        const auto& type = Network::Wire::DescriptorOf(Network::Message::PoseStamped);
        if (out) {
            const dds_entity_t t = dds_create_topic(participant, &type, out, nullptr, nullptr);
            writer = dds_create_writer(participant, t, qos, nullptr);
        }
        if (in) {
            const dds_entity_t t = dds_create_topic(participant, &type, in, nullptr, nullptr);
            reader = dds_create_reader(participant, t, qos, nullptr);
            waitset = dds_create_waitset(participant);
            dds_set_status_mask(reader, DDS_DATA_AVAILABLE_STATUS);
            dds_waitset_attach(waitset, reader, reader);
        }
        dds_delete_qos(qos);
    }
    bool Ok() const { return writer >= 0 && reader >= 0 && waitset >= 0; }

    // Blocks until a writer matched, or false after seconds.
    bool Matched(double seconds) const {
        const auto until = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < until) {
            dds_publication_matched_status_t w{};
            dds_subscription_matched_status_t r{};
            const bool out = writer == 0 || (dds_get_publication_matched_status(writer, &w) == 0 &&
                                             w.current_count);
            const bool in = reader == 0 || (dds_get_subscription_matched_status(reader, &r) == 0 &&
                                            r.current_count);
            if (out && in) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    // The samples taken, each with the time it was taken and its source timestamp.
    template <typename Fn>
    void Take(Fn fn) const {
        void* samples[4] = {};
        dds_sample_info_t infos[4];
        const int n = dds_take(reader, samples, infos, 4, 4);
        const long long now = WallNs();
        for (int i = 0; i < n; ++i)
            if (infos[i].valid_data)
                fn(*static_cast<const PoseStamped*>(samples[i]), now, infos[i].source_timestamp);
        if (n > 0) dds_return_loan(reader, samples, n);
    }

    dds_entity_t writer = 0, reader = 0, waitset = 0;
};

char Frame[] = "probe";

void Write(dds_entity_t writer, long long stampNs, double x) {
    PoseStamped pose{{Stamp(stampNs), Frame}, {x, 0, 0}, {0, 0, 0, 1}};
    dds_write(writer, &pose);
}

// The next tick of a period on the monotonic clock.
class Ticks {
public:
    explicit Ticks(double rateHz) : period_(static_cast<long long>(1e9 / rateHz)) {
        clock_gettime(CLOCK_MONOTONIC, &next_);
    }
    const timespec& Next() {
        const long long ns = next_.tv_nsec + period_;
        next_.tv_sec += ns / 1000000000;
        next_.tv_nsec = ns % 1000000000;
        return next_;
    }
    static long long Left(const timespec& t) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return (t.tv_sec - now.tv_sec) * 1000000000LL + (t.tv_nsec - now.tv_nsec);
    }

private:
    const long long period_;
    timespec next_{};
};

int Pub(dds_entity_t participant, const std::string& topic, double rate, double seconds) {
    const Side side(participant, topic.c_str(), nullptr);
    if (!side.Ok() || !side.Matched(20)) return 1;
    std::vector<double> writes;  // how long dds_write took: the sendmsg to loopback inside
    writes.reserve(static_cast<std::size_t>(rate * seconds) + 1);
    Ticks ticks(rate);
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < until) {
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ticks.Next(), nullptr);
        const auto start = Clock::now();
        Write(side.writer, WallNs(), 0);
        writes.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    const Summary w = Summarise(writes);
    Json().Number("write_p50_us", w.p50).Number("write_p99_us", w.p99).Print();
    return 0;
}

int Pong(dds_entity_t participant, double seconds) {
    const Side side(participant, "rt/probe/pong", "rt/probe/ping");
    if (!side.Ok()) return 1;
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < until) {
        if (dds_waitset_wait(side.waitset, nullptr, 0, DDS_MSECS(100)) <= 0) continue;
        // The outward hop in x, the original stamp kept: ping learns both.
        side.Take([&](const PoseStamped& p, long long now, long long source) {
            Write(side.writer, Ns(p.header.stamp), static_cast<double>(now - source) / 1000.0);
        });
    }
    return 0;
}

int Ping(dds_entity_t participant, double rate, std::size_t count, double seconds) {
    const Side side(participant, "rt/probe/ping", "rt/probe/pong");
    if (!side.Ok() || !side.Matched(20)) return 1;
    std::vector<double> out, back, half;
    out.reserve(count);
    back.reserve(count);
    half.reserve(count);
    Ticks ticks(rate);
    timespec next = ticks.Next();
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    std::size_t warm = rate > 0 ? static_cast<std::size_t>(rate / 2) : 0;  // half a second
    while (half.size() < count && Clock::now() < until) {
        const long long left = Ticks::Left(next);
        if (left <= 0) {
            Write(side.writer, WallNs(), 0);
            next = ticks.Next();
            continue;
        }
        if (dds_waitset_wait(side.waitset, nullptr, 0, left) <= 0) continue;
        side.Take([&](const PoseStamped& p, long long now, long long source) {
            if (warm > 0) {
                --warm;
                return;
            }
            out.push_back(p.position[0]);
            back.push_back(static_cast<double>(now - source) / 1000.0);
            half.push_back(static_cast<double>(now - Ns(p.header.stamp)) / 2000.0);
        });
    }
    const Summary o = Summarise(out), b = Summarise(back), h = Summarise(half);
    Json()
        .Number("count", static_cast<double>(h.count))
        .Number("out_p50_us", o.p50)
        .Number("out_p99_us", o.p99)
        .Number("back_p50_us", b.p50)
        .Number("back_p99_us", b.p99)
        .Number("half_rtt_p50_us", h.p50)
        .Number("half_rtt_p99_us", h.p99)
        .Print();
    return h.count > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const Args args(argc, argv);
    if (!args.Check({"--mode", "--domain", "--topic", "--rate", "--count", "--seconds"})) return 2;
    const std::string mode = args.String("--mode", "");
    const auto domain = static_cast<dds_domainid_t>(args.Integer("--domain", 0));
    const double rate = static_cast<double>(args.Integer("--rate", 1000));
    const auto count = static_cast<std::size_t>(args.Integer("--count", 5000));
    const double seconds = static_cast<double>(args.Integer("--seconds", 20));
    if (rate <= 0 || rate > 100000 || (mode != "pub" && mode != "ping" && mode != "pong")) {
        std::fprintf(stderr, "--mode pub|ping|pong, --rate 1 to 100000\n");
        return 2;
    }
    const dds_entity_t participant = dds_create_participant(domain, nullptr, nullptr);
    if (participant < 0) {
        std::fprintf(stderr, "cannot join DDS\n");
        return 1;
    }
    int status = 0;
    if (mode == "pub")
        status = Pub(participant, args.String("--topic", "rt/probe/stream"), rate, seconds);
    else if (mode == "pong")
        status = Pong(participant, seconds);
    else
        status = Ping(participant, rate, count, seconds);
    dds_delete(participant);
    if (status != 0) std::fprintf(stderr, "bench-dds-probe: no match or DDS refused\n");
    return status;
}
