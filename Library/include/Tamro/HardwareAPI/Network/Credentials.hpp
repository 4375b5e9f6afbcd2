// What a participant proves itself with on a secured DDS domain (DDS Security, as ROS 2's
// SROS2 lays it out).
#pragma once

#include <string>

namespace Tamro::HardwareAPI::Network {

// The highest domain id a secured participant can join: Cyclone's access control parses no
// governance or permissions document whose domain range goes beyond it.
inline constexpr int MaxSecuredDomain = 230;

// An enclave of a keystore: the directory enclaves/<name> holding cert.pem, key.pem,
// identity_ca.cert.pem, permissions_ca.cert.pem, governance.p7s and permissions.p7s.
struct Credentials {
    std::string directory;      // empty: an open participant, with no security at all
    std::string enclave = "/";  // its name (/lab/bridge), announced as ROS 2 nodes announce it
};

}  // namespace Tamro::HardwareAPI::Network
