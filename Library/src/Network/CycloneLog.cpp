#include "CycloneLog.hpp"

#include "LogLimiter.hpp"

#include <dds/ddsrt/log.h>

#include <cstdio>
#include <mutex>
#include <string_view>

namespace Tamro::HardwareAPI::Network::Detail {

namespace {

thread_local LogCapture* capturing = nullptr;
constexpr std::size_t MostCaptured = 4096;

// Cyclone's threads log at will: one at a time through the limiter.
struct LimitedSink {
    std::mutex lock;
    LogLimiter limiter;
};

void Write(void* arg, const dds_log_data_t* data) {
    if (capturing != nullptr) capturing->Add(data->message, data->size);
    auto& sink = *static_cast<LimitedSink*>(arg);
    std::lock_guard<std::mutex> held(sink.lock);
    const std::string_view line =
        sink.limiter.Offer(std::string_view(data->message, data->size), LogLimiter::Clock::now());
    if (line.empty()) return;
    std::fprintf(stderr, "cyclonedds: %.*s\n", static_cast<int>(line.size()), line.data());
}

}  // namespace

LogCapture::LogCapture() noexcept { capturing = this; }
LogCapture::~LogCapture() { capturing = nullptr; }

void LogCapture::Add(const char* message, std::size_t size) {
    std::string_view line(message, size);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.remove_suffix(1);
    if (line.empty() || text_.size() >= MostCaptured) return;
    if (!text_.empty()) text_ += "; ";
    // One line: OpenSSL's reasons come several to a message.
    for (const char c : line.substr(0, MostCaptured - text_.size()))
        text_ += (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
}

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
