// What the C++ benchmark programs share: a peer thread on its own pseudo-terminal, sample
// statistics, and a small JSON writer (bench/run.py reads one JSON object per program).
#pragma once

#include "BenchRunners.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <future>
#include <string>
#include <utility>
#include <vector>

namespace TamroBench {

// A peer serving its own pty from a thread of this process; stopped and joined on
// destruction.
class PeerThread {
public:
    explicit PeerThread(Mode mode, std::uint8_t userDataLength = 0) {
        if (!pty_.Open() || ::pipe(stop_) != 0) {
            std::perror("peer pty");
            std::exit(2);
        }
        served_ = std::async(std::launch::async, [this, mode, userDataLength] {
            return Serve(pty_.Master(), stop_[0], mode, userDataLength);
        });
    }

    ~PeerThread() { Stop(); }

    PeerThread(const PeerThread&) = delete;
    PeerThread& operator=(const PeerThread&) = delete;

    const std::string& Path() const { return pty_.Path(); }

    // Stops the peer; what it served.
    std::uint64_t Stop() {
        if (stop_[1] >= 0) {
            const char byte = 1;
            if (::write(stop_[1], &byte, 1) != 1) std::perror("peer stop");
            count_ = served_.get();
            ::close(stop_[1]);
            ::close(stop_[0]);
            stop_[0] = stop_[1] = -1;
        }
        return count_;
    }

private:
    Pty pty_;
    int stop_[2] = {-1, -1};
    std::future<std::uint64_t> served_;
    std::uint64_t count_ = 0;
};

struct Summary {
    std::size_t count = 0;
    double mean = 0, p50 = 0, p90 = 0, p99 = 0, max = 0;
};

// Sorts the samples (microseconds) in place.
inline Summary Summarise(std::vector<double>& samples) {
    Summary s;
    s.count = samples.size();
    if (samples.empty()) return s;
    std::sort(samples.begin(), samples.end());
    double total = 0;
    for (double v : samples) total += v;
    s.mean = total / static_cast<double>(samples.size());
    const auto at = [&](double q) {
        const auto i = static_cast<std::size_t>(q * static_cast<double>(samples.size()));
        return samples[std::min(i, samples.size() - 1)];
    };
    s.p50 = at(0.50);
    s.p90 = at(0.90);
    s.p99 = at(0.99);
    s.max = samples.back();
    return s;
}

// User plus system CPU time of the calling thread, in milliseconds.
inline double ThreadCpuMs() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    const auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// One flat JSON object, written field by field.
class Json {
public:
    Json& Number(const char* key, double value) {
        Key(key);
        char text[64];
        std::snprintf(text, sizeof text, "%.6g", std::isfinite(value) ? value : 0.0);
        out_ += text;
        return *this;
    }
    Json& Text(const char* key, const std::string& value) {
        Key(key);
        out_ += '"' + value + '"';
        return *this;
    }
    Json& Stats(const std::string& prefix, const Summary& s) {
        Number((prefix + "_count").c_str(), static_cast<double>(s.count));
        Number((prefix + "_mean_us").c_str(), s.mean);
        Number((prefix + "_p50_us").c_str(), s.p50);
        Number((prefix + "_p90_us").c_str(), s.p90);
        Number((prefix + "_p99_us").c_str(), s.p99);
        Number((prefix + "_max_us").c_str(), s.max);
        return *this;
    }
    Json& List(const char* key, const std::vector<double>& values) {
        Key(key);
        out_ += '[';
        for (std::size_t i = 0; i < values.size(); ++i) {
            char text[32];
            std::snprintf(text, sizeof text, i ? ", %.4g" : "%.4g", values[i]);
            out_ += text;
        }
        out_ += ']';
        return *this;
    }
    void Print() const { std::printf("{%s}\n", out_.c_str()); }

private:
    void Key(const char* key) {
        if (!out_.empty()) out_ += ", ";
        out_ += '"';
        out_ += key;
        out_ += "\": ";
    }
    std::string out_;
};

// --name value arguments; unknown ones are an error.
class Args {
public:
    Args(int argc, char** argv) : argc_(argc), argv_(argv) {}

    long Integer(const char* name, long fallback) const {
        const char* v = Find(name);
        return v ? std::strtol(v, nullptr, 10) : fallback;
    }
    std::string String(const char* name, const char* fallback) const {
        const char* v = Find(name);
        return v ? v : fallback;
    }
    // Every argument is one of names, each followed by a value.
    bool Check(std::initializer_list<const char*> names) const {
        for (int i = 1; i < argc_; i += 2) {
            bool known = false;
            for (const char* n : names) known = known || std::string(argv_[i]) == n;
            if (!known || i + 1 >= argc_) {
                std::fprintf(stderr, "unknown or incomplete argument: %s\n", argv_[i]);
                return false;
            }
        }
        return true;
    }

private:
    const char* Find(const char* name) const {
        for (int i = 1; i + 1 < argc_; i += 2) {
            if (std::string(argv_[i]) == name) return argv_[i + 1];
        }
        return nullptr;
    }
    int argc_;
    char** argv_;
};

}  // namespace TamroBench
