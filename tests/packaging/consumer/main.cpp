// Prints the library's version, then runs one force exchange against a canned reply held in
// a string stream: any std::iostream can stand in for the serial port.
#include <Tamro/HardwareAPI/HardwareAPI.hpp>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

int main() {
    namespace api = Tamro::HardwareAPI;
    namespace msg = api::Devices::Messages;

    std::printf("TamroHardwareAPI %s\n", api::GetVersion());

    const float state[6] = {0.5f, -0.25f, 1.0f, 0.0f, 0.0f, 2.0f};
    std::string reply(1, static_cast<char>(msg::EndEffectorState));
    reply.append(reinterpret_cast<const char*>(state), sizeof state);  // little-endian host
    // Opened at the end for writing, so the request goes after the reply the arm reads.
    std::stringstream wire(reply, std::ios::in | std::ios::out | std::ios::ate);

    api::Devices::Velkin3 arm(&wire);
    const float force[3] = {1.0f, 2.0f, 3.0f};
    const api::Devices::StateVectors result = arm.end_effector_force(force);
    std::printf("position %g %g %g velocity %g %g %g\n", result.position[0], result.position[1],
                result.position[2], result.velocity[0], result.velocity[1], result.velocity[2]);

    // The control layer's effects, rendered where the arm is: 2 cm into a wall.
    const api::Control::Effect wall =
        api::Control::Validated(api::Control::Plane{{0, 0, 0}, {0, 0, 1}, 1000, 0});
    const api::Control::Vec3 push = api::Control::ForceOf(wall, {0, 0, -0.02}, {0, 0, 0});
    std::printf("wall %g %g %g\n", push[0], push[1], push[2]);
    return 0;
}
