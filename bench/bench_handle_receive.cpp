// Handle status messages streamed by a peer as fast as the line takes them, received by a
// plain C++ Handle subclass through Receive, and by a raw loop making the same three reads
// (header, fixed part, user data) by hand. Rounds of the two alternate. Messages per second;
// prints one JSON object.
//
//   bench-handle-receive [--seconds S] [--rounds R] [--user-data N] [--only raw|library|both]
//                        [--path PTY]   (a running bench-peer status's pty instead of a thread)
#include "BenchSupport.hpp"

#include <Tamro/HardwareAPI/Devices/Handle.hpp>
#include <Tamro/HardwareAPI/IO/SerialStream.hpp>

#include <memory>
#include <optional>

using namespace TamroBench;
using Tamro::HardwareAPI::Devices::Handle;
using Tamro::HardwareAPI::IO::SerialStream;

namespace {

// Messages carry their place in the peer's block of 256 as device id: a gap or a repeat
// means the reader lost its place in the stream.
struct Sequence {
    int expected = -1;
    long broken = 0;
    void See(std::uint16_t id) {
        if (expected >= 0 && id != expected) ++broken;
        expected = (id + 1) % 256;
    }
};

class CountingHandle : public Handle {
public:
    using Handle::Handle;
    long messages = 0;
    Sequence sequence;

    void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion,
                                      std::uint8_t, std::uint8_t hall_effect_sensor_level,
                                      std::uint8_t, const std::uint8_t*) override {
        ++messages;
        sequence.See(device_id);
        if (quaternion[0] != 1.0f || hall_effect_sensor_level != 77) ++sequence.broken;
    }
};

bool RawRead(int fd, std::uint8_t* destination, std::size_t count) {
    std::size_t got = 0;
    while (got < count) {
        const ssize_t n = ::read(fd, destination + got, count - got);
        if (n < 0) return false;
        got += static_cast<std::size_t>(n);
        if (n > 0 || got >= count) continue;
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 1000) <= 0) return false;
    }
    return true;
}

struct Reader {
    virtual ~Reader() = default;
    // Receives messages for the given time; how many arrived whole and in order.
    virtual long ReceiveFor(Clock::duration time, long& failures) = 0;
};

struct LibraryReader : Reader {
    SerialStream stream;
    CountingHandle handle;
    std::int32_t expectedResult;
    LibraryReader(const std::string& path, std::uint8_t userData)
        : stream(path.c_str(), true), handle(&stream),
          expectedResult(static_cast<std::int32_t>(StatusFixedLength) + userData) {
        if (!stream.IsOpen()) std::exit(2);
    }
    long ReceiveFor(Clock::duration time, long& failures) override {
        const long before = handle.messages, brokenBefore = handle.sequence.broken;
        const auto end = Clock::now() + time;
        do {
            for (int i = 0; i < 64; ++i) {
                if (handle.Receive() != expectedResult) ++failures;
            }
        } while (Clock::now() < end);
        failures += handle.sequence.broken - brokenBefore;
        return handle.messages - before;
    }
};

struct RawReader : Reader {
    int fd;
    Sequence sequence;
    explicit RawReader(const std::string& path) {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) {
            std::perror(path.c_str());
            std::exit(2);
        }
        ConfigureLikeLibrary(fd);
    }
    ~RawReader() override { ::close(fd); }
    long ReceiveFor(Clock::duration time, long& failures) override {
        long messages = 0;
        const long brokenBefore = sequence.broken;
        std::uint8_t in[StatusFixedLength + 255];
        const auto end = Clock::now() + time;
        do {
            for (int i = 0; i < 64; ++i) {
                if (!RawRead(fd, in, 1) || in[0] != HandleStatus ||
                    !RawRead(fd, in, StatusFixedLength)) {
                    ++failures;
                    continue;
                }
                const std::uint8_t userData = in[20];
                const std::uint16_t id = static_cast<std::uint16_t>(in[0] | (in[1] << 8));
                if (!RawRead(fd, in, userData)) ++failures;
                sequence.See(id);
                ++messages;
            }
        } while (Clock::now() < end);
        failures += sequence.broken - brokenBefore;
        return messages;
    }
};

}  // namespace

int main(int argc, char** argv) {
    const Args args(argc, argv);
    if (!args.Check({"--seconds", "--rounds", "--user-data", "--only", "--path"})) return 2;
    const double seconds = std::strtod(args.String("--seconds", "1.0").c_str(), nullptr);
    const long rounds = args.Integer("--rounds", 4);
    const auto userData = static_cast<std::uint8_t>(args.Integer("--user-data", 3));
    const std::string only = args.String("--only", "both");
    std::string path = args.String("--path", "");

    std::optional<PeerThread> peer;
    if (path.empty()) {
        peer.emplace(Mode::Status, userData);
        path = peer->Path();
    }

    // Only one reader may be open on the line at a time: whatever one of them leaves unread
    // would be taken by the other. Each reader drains its first messages to find its place.
    const auto slice = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(seconds / static_cast<double>(rounds)));
    long failures = 0;
    double rawMessages = 0, rawTime = 0, libraryMessages = 0, libraryTime = 0;
    for (long r = 0; r < rounds; ++r) {
        for (int k = 0; k < 2; ++k) {
            const bool useRaw = (k == 0) == (r % 2 == 0);
            if (useRaw ? only == "library" : only == "raw") continue;
            std::unique_ptr<Reader> reader;
            if (useRaw) reader = std::make_unique<RawReader>(path);
            else reader = std::make_unique<LibraryReader>(path, userData);
            // Align on a message boundary: the peer wrote while no reader was there, and a
            // message may have been cut by the previous reader's close.
            long ignored = 0;
            reader->ReceiveFor(std::chrono::milliseconds(20), ignored);
            const auto start = Clock::now();
            const long got = reader->ReceiveFor(slice, failures);
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            (useRaw ? rawMessages : libraryMessages) += static_cast<double>(got);
            (useRaw ? rawTime : libraryTime) += elapsed;
        }
    }

    Json json;
    json.Text("peer", peer ? "thread" : "process")
        .Number("user_data", userData)
        .Number("failures", static_cast<double>(failures));
    if (rawTime > 0) json.Number("raw_messages_per_s", rawMessages / rawTime);
    if (libraryTime > 0) json.Number("library_messages_per_s", libraryMessages / libraryTime);
    if (rawTime > 0 && libraryTime > 0) {
        json.Number("ratio", (libraryMessages / libraryTime) / (rawMessages / rawTime));
    }
    json.Print();
    return failures == 0 ? 0 : 1;
}
