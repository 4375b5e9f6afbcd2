#include "SimulatedHandle.hpp"

#include <Tamro/HardwareAPI/Devices/Messages.hpp>

namespace TamroSimulator {

namespace Messages = Tamro::HardwareAPI::Devices::Messages;

namespace {

// A state message's code, device id and user data length: the user data follows.
constexpr std::size_t HandleStateHeaderLength =
    Messages::HeaderLength + Messages::HandleStateAt::UserData;
constexpr std::uint8_t NoError = 0;

}  // namespace

SimulatedHandle::SimulatedHandle(const Identity& identity, Clock::time_point start)
    : identity_(identity), start_(start) {}

std::size_t SimulatedHandle::Serve(const std::uint8_t* input, std::size_t size,
                                   Clock::time_point now, Bytes& replies) {
    std::size_t done = 0;
    while (done < size) {
        switch (input[done]) {
            case Messages::DeviceWakeup:
                replies.push_back(Messages::HandleInfo);
                PutU16(replies, identity_.deviceId);
                replies.push_back(ToolDataRemaining);
                replies.push_back(identity_.modelNumber);
                replies.push_back(identity_.hardwareVersion);
                replies.push_back(identity_.firmwareVersion);
                done += 1;
                break;
            case Messages::HandleStatus: {
                const double t = std::chrono::duration<double>(now - start_).count();
                const auto& data = model_.UserData();
                replies.push_back(Messages::HandleStatus);
                PutU16(replies, identity_.deviceId);
                replies.push_back(NoError);
                replies.push_back(HandleModel::HallEffectLevel(t));
                for (float component : HandleModel::Orientation(t)) PutFloat(replies, component);
                replies.push_back(static_cast<std::uint8_t>(data.size()));
                replies.insert(replies.end(), data.begin(), data.end());
                done += 1;
                break;
            }
            case Messages::HandleState: {
                if (size - done < HandleStateHeaderLength) return done;
                const std::size_t length =
                    input[done + Messages::HeaderLength + Messages::HandleStateAt::UserDataLength];
                if (size - done < HandleStateHeaderLength + length) return done;
                model_.SetUserData(input + done + HandleStateHeaderLength, length);
                done += HandleStateHeaderLength + length;
                break;
            }
            default: done += 1; break;
        }
    }
    return done;
}

}  // namespace TamroSimulator
