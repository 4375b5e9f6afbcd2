#pragma once

namespace Tamro::HardwareAPI {

// The device library's version text ("0.1.1"); lives for the whole process.
const char* GetVersion() noexcept;

// Writes "Library version: <version>" and a newline to std::cout and flushes it.
void PrintVersion();

}  // namespace Tamro::HardwareAPI
