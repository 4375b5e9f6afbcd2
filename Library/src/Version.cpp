#include <Tamro/HardwareAPI/Version.hpp>

#include <iostream>

namespace Tamro::HardwareAPI {

namespace {
constexpr const char* Version = TAMRO_HARDWARE_API_VERSION;
}

const char* GetVersion() noexcept { return Version; }

void PrintVersion() { std::cout << "Library version: " << Version << std::endl; }

}  // namespace Tamro::HardwareAPI
