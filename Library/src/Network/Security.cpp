#include "Security.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>

namespace Tamro::HardwareAPI::Network::Detail {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};

// Opens and reads a byte of the file: what exists but cannot be read fails here, by name,
// rather than inside a plugin that says only that it failed.
void CheckReadable(const std::filesystem::path& path) {
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file)
        throw std::runtime_error("cannot read " + path.string() + ": " + std::strerror(errno));
    if (std::fgetc(file.get()) == EOF)
        throw std::runtime_error("cannot read " + path.string() + ": " +
                                 (std::ferror(file.get()) ? std::strerror(errno) : "it is empty"));
}

}  // namespace

void SetSecurity(dds_qos_t* qos, const Credentials& credentials) {
    std::error_code error;
    const std::filesystem::path directory = std::filesystem::absolute(credentials.directory, error);
    if (error || !std::filesystem::is_directory(directory, error))
        throw std::runtime_error("no enclave directory " + credentials.directory);
    for (const EnclaveFile& f : EnclaveFiles) {
        const std::filesystem::path path = directory / f.file;
        CheckReadable(path);
        dds_qset_prop(qos, f.property, ("file:" + path.string()).c_str());
    }
    // Cyclone's own plugins, found on its library path (as ROS 2's Cyclone layer loads them).
    struct Plugin {
        const char* prefix;
        const char* library;
        const char* name;
    };
    constexpr Plugin plugins[] = {{"dds.sec.auth", "dds_security_auth", "authentication"},
                                  {"dds.sec.crypto", "dds_security_crypto", "crypto"},
                                  {"dds.sec.access", "dds_security_ac", "access_control"}};
    for (const Plugin& p : plugins) {
        const std::string prefix = p.prefix;
        dds_qset_prop(qos, (prefix + ".library.path").c_str(), p.library);
        dds_qset_prop(qos, (prefix + ".library.init").c_str(),
                      (std::string("init_") + p.name).c_str());
        dds_qset_prop(qos, (prefix + ".library.finalize").c_str(),
                      (std::string("finalize_") + p.name).c_str());
    }
}

const char* Culprit(const std::string& why) noexcept {
    // Cyclone's plugins say which check failed, not which file it read.
    const auto says = [&why](const char* word) { return why.find(word) != std::string::npos; };
    if (says("governance")) return "governance.p7s";
    if (says("private key") || says("Private key")) return "key.pem";
    if (says("ertificate")) return "cert.pem";  // checked while validating permissions too
    if (says("permission")) return "permissions.p7s";
    return "";
}

}  // namespace Tamro::HardwareAPI::Network::Detail
