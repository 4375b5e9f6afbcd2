#include "CycloneLog.hpp"

#include "LogLimiter.hpp"

#include <dds/ddsrt/log.h>

#include <cstdio>
#include <mutex>

namespace Tamro::HardwareAPI::Network::Detail {

namespace {

// Cyclone's threads log at will: one at a time through the limiter.
struct LimitedSink {
    std::mutex lock;
    LogLimiter limiter;
};

void Write(void* arg, const dds_log_data_t* data) {
    auto& sink = *static_cast<LimitedSink*>(arg);
    std::lock_guard<std::mutex> held(sink.lock);
    const std::string_view line =
        sink.limiter.Offer(std::string_view(data->message, data->size), LogLimiter::Clock::now());
    if (line.empty()) return;
    std::fprintf(stderr, "cyclonedds: %.*s\n", static_cast<int>(line.size()), line.data());
}

}  // namespace

void RouteCycloneLog() noexcept {
    // Cyclone's sink is the process's, so its limiter is too; it lives as long as the process
    // (a sink Cyclone may still call must never go away).
    static LimitedSink sink;
    static std::once_flag routed;
    std::call_once(routed, [] {
        // Cyclone warns on standard error about every sample it cannot deserialize: a foreign
        // writer could fill the terminal at will. Errors still show, limited.
        dds_set_log_mask(DDS_LC_FATAL | DDS_LC_ERROR);
        dds_set_log_sink(&Write, &sink);
    });
}

}  // namespace Tamro::HardwareAPI::Network::Detail
