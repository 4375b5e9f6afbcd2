// Tamro Hardware API: the device library behind the TamroHardwareAPI Python module.
//
// Failure model
//   Nothing in this library throws for an input or output failure, and nothing retries.
//   A failure is written as one line to standard error ("[err] <unit>:<line>> <message>",
//   flushed at once) and shows in the results: a receive operation leaves its outputs as the
//   caller gave them, an exchange returns zeros, Handle::Receive returns -1 or a short count.
//   The only failure signal between the layers is the state of the std::iostream a device
//   was given. A read that times out (one second) sets eofbit and failbit; from then on that
//   stream refuses every read and write at once, quietly. The library never clears it: open
//   a new SerialStream to recover.
//
// Threading rules
//   The library has no locks and no global state. A device, its stream, and every other
//   device that shares that stream must be used by one thread at a time. Different devices
//   on different streams may be driven from different threads at once. Discovery starts one
//   worker thread per probe and joins it before the next probe; those threads touch only
//   the stream and device of their own probe.
#pragma once

#include <Tamro/HardwareAPI/Devices/Device.hpp>
#include <Tamro/HardwareAPI/Devices/Handle.hpp>
#include <Tamro/HardwareAPI/Devices/Messages.hpp>
#include <Tamro/HardwareAPI/Devices/Velkin3.hpp>
#include <Tamro/HardwareAPI/Discovery.hpp>
#include <Tamro/HardwareAPI/IO/SerialStream.hpp>
#include <Tamro/HardwareAPI/Probes.hpp>
#include <Tamro/HardwareAPI/UUID.hpp>
#include <Tamro/HardwareAPI/Version.hpp>
