#include "Options.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace TamroSimulator {

const char* const Usage =
    "usage: tamro-simulator [options]\n"
    "Simulates Velkin3 arms and handles on pseudo-terminals. Prints one line per device,\n"
    "\"arm PATH\" or \"handle PATH\", then \"ready\"; serves until SIGINT or SIGTERM.\n"
    "\n"
    "  --arms N          simulated arms (default 1)\n"
    "  --handles N       simulated handles (default 1)\n"
    "  --link-dir DIR    also link DIR/ttyACM0.. to the arms and DIR/ttyUSB0.. to the handles:\n"
    "                    a stable path per device, for tests and for programs that reconnect.\n"
    "                    DIR is created if missing; the links are removed on exit. Detection\n"
    "                    lists only /dev: it finds them only with --link-dir /dev (as root)\n"
    "  --device-id N     device id of the first device; the others count up (default 1)\n"
    "  --uuid HEX        32 hex digits (dashes allowed): identifier of the first arm; the\n"
    "                    other devices count up from it\n"
    "  --model N         model number the arms report (default 4)\n"
    "  --delay-us N      delay every reply by N microseconds from its own request's arrival\n"
    "                    (default 0), as a USB link would; replies keep their order however\n"
    "                    many requests are queued\n"
    "  --jitter-us N     add a random 0 to N microseconds to that delay (default 0)\n"
    "  --rate-hz N       steps per second for the arm's state-dependent commands (position and\n"
    "                    joint-angle pulls, joint torques); a force moves it exactly between\n"
    "                    requests (default 1000, at least 100)\n"
    "  --exit-with-stdin also stop when standard input reaches its end (for supervisors)\n"
    "  --help            this text\n";

namespace {

long Integer(const std::string& option, const char* text, long low, long high) {
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high)
        throw UsageError(option + " takes an integer from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not '" + text + "'");
    return value;
}

std::array<std::uint8_t, 16> Uuid(const char* text) {
    std::string digits;
    for (const char* c = text; *c; ++c)
        if (*c != '-') digits += *c;
    const bool hex = std::all_of(digits.begin(), digits.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
    });
    if (digits.size() != 32 || !hex)
        throw UsageError(std::string("--uuid takes 32 hex digits, not '") + text + "'");
    std::array<std::uint8_t, 16> uuid{};
    for (std::size_t i = 0; i < 16; ++i)
        uuid[i] = static_cast<std::uint8_t>(std::stoul(digits.substr(2 * i, 2), nullptr, 16));
    return uuid;
}

}  // namespace

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            options.help = true;
            continue;
        }
        if (option == "--exit-with-stdin") {
            options.exitWithStdin = true;
            continue;
        }
        if (i + 1 >= argc) throw UsageError("unknown option or missing value: " + option);
        const char* value = argv[++i];
        if (option == "--arms")
            options.arms = static_cast<int>(Integer(option, value, 0, 64));
        else if (option == "--handles")
            options.handles = static_cast<int>(Integer(option, value, 0, 64));
        else if (option == "--link-dir")
            options.linkDirectory = value;
        else if (option == "--device-id")
            options.deviceId = static_cast<std::uint16_t>(Integer(option, value, 0, 65535));
        else if (option == "--uuid")
            options.uuid = Uuid(value);
        else if (option == "--model")
            options.model = static_cast<std::uint8_t>(Integer(option, value, 0, 255));
        else if (option == "--delay-us")
            options.delayMicroseconds = Integer(option, value, 0, 10000000);
        else if (option == "--jitter-us")
            options.jitterMicroseconds = Integer(option, value, 0, 10000000);
        else if (option == "--rate-hz")
            options.rateHz = static_cast<double>(Integer(option, value, 100, 1000000));
        else
            throw UsageError("unknown option: " + option);
    }
    if (options.arms + options.handles == 0)
        throw UsageError("nothing to simulate: --arms 0 --handles 0");
    return options;
}

}  // namespace TamroSimulator
