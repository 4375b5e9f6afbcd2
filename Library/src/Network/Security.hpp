// A participant's DDS Security properties from an enclave directory, with its files checked
// first: Cyclone says only "error" when it cannot load them.
#pragma once

#include <Tamro/HardwareAPI/Network/Credentials.hpp>

#include <dds/dds.h>

#include <string>

namespace Tamro::HardwareAPI::Network::Detail {

// The files of an enclave, as the properties name them.
struct EnclaveFile {
    const char* property;
    const char* file;
};
inline constexpr EnclaveFile EnclaveFiles[] = {
    {"dds.sec.auth.identity_ca", "identity_ca.cert.pem"},
    {"dds.sec.auth.identity_certificate", "cert.pem"},
    {"dds.sec.auth.private_key", "key.pem"},
    {"dds.sec.access.permissions_ca", "permissions_ca.cert.pem"},
    {"dds.sec.access.governance", "governance.p7s"},
    {"dds.sec.access.permissions", "permissions.p7s"},
};

// Sets on qos the properties that load Cyclone's three security plugins with the enclave's
// files. Throws std::runtime_error naming the first file that is missing, unreadable or empty,
// and why.
void SetSecurity(dds_qos_t* qos, const Credentials& credentials);

// The enclave's file that Cyclone's words on a refused participant point at ("permissions.p7s"),
// or empty when they name none.
const char* Culprit(const std::string& why) noexcept;

}  // namespace Tamro::HardwareAPI::Network::Detail
