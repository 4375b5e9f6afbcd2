// What the control layer's constructors and setters throw: a small hierarchy, so that callers
// (the bindings among them) choose by type and read the fields, never parse what().
#pragma once

#include <cerrno>
#include <stdexcept>
#include <string>
#include <system_error>

namespace Tamro::HardwareAPI::Control {

// A device could not be used: the port's errno, or one of the layer's own reasons below.
// Reason() is the sentence without the port; what() adds it.
class DeviceError : public std::system_error {
public:
    DeviceError(int error, std::string reason, std::string path)
        : std::system_error(error, std::generic_category(), reason + ": " + path),
          reason_(std::move(reason)),
          path_(std::move(path)) {}

    const std::string& Reason() const noexcept { return reason_; }
    const std::string& Path() const noexcept { return path_; }

private:
    std::string reason_;
    std::string path_;
};

// The port could not be opened; code() is the errno of the failed open.
class PortError : public DeviceError {
public:
    PortError(int error, std::string path)
        : DeviceError(error, std::generic_category().message(error), std::move(path)) {}
};

// The device did not answer in time (ETIMEDOUT).
class NoAnswer : public DeviceError {
public:
    NoAnswer(std::string reason, std::string path)
        : DeviceError(ETIMEDOUT, std::move(reason), std::move(path)) {}
};

// The device answered as something else than was asked for (ENODEV): an arm loop given a
// device whose wake-up reply names another model.
class WrongDevice : public DeviceError {
public:
    WrongDevice(std::string reason, std::string path)
        : DeviceError(ENODEV, std::move(reason), std::move(path)) {}
};

// An option or parameter out of range. Name() is its C++ name (rateHz, faultTimeout, ...),
// Requirement() what it must be ("must be from 0.1 to 100000"); what() is the two together.
class InvalidArgument : public std::invalid_argument {
public:
    InvalidArgument(std::string name, std::string requirement)
        : std::invalid_argument(name + " " + requirement),
          name_(std::move(name)),
          requirement_(std::move(requirement)) {}

    const std::string& Name() const noexcept { return name_; }
    const std::string& Requirement() const noexcept { return requirement_; }

private:
    std::string name_;
    std::string requirement_;
};

}  // namespace Tamro::HardwareAPI::Control
