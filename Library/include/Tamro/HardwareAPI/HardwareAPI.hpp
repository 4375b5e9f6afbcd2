// Tamro Hardware API: the device library behind the TamroHardwareAPI Python module and the
// tamro package.
//
// Failure model
//   Devices (Devices::*, IO::SerialStream, discovery): nothing throws for an input or output
//   failure, and nothing retries. A failure is written as one line to standard error
//   ("[err] <unit>:<line>> <message>", flushed at once) and shows in the results: a receive
//   operation leaves its outputs as the caller gave them, an exchange returns zeros,
//   Handle::Receive returns -1 or a short count. The only failure signal between the layers
//   is the state of the std::iostream a device was given. A read that times out (one second
//   unless the stream was given another time-out) sets eofbit and failbit; from then on that
//   stream refuses every read and write at once, quietly. The device layer never clears it:
//   open a new SerialStream to recover.
//   Control layer (Control::ServoLoop, Control::HandleReader): a caller that waits for an
//   outcome gets an exception, typed (Control/Errors.hpp): PortError (the port could not be
//   opened: its errno and path), NoAnswer (ETIMEDOUT: the device did not answer the wake-up),
//   WrongDevice (ENODEV: it answered as another model), all of them DeviceError, a
//   std::system_error; and InvalidArgument, a std::invalid_argument naming the option or effect
//   parameter out of range by its C++ name. A running loop never throws and never writes to
//   standard error: its failures are counted, and enough of them in a row latch a Fault that
//   stops it. Its port is its own and it uses it quietly; every wait is bounded by the fault
//   time-out and cut short when the loop is stopped. Replies are matched to the requests they
//   answer, in order; after a failure the servo loop trusts none until the arm has answered a
//   wake-up sent as a barrier.
//
// Threading rules
//   No global state. A device, its stream, and every other device that shares that stream
//   must be used by one thread at a time; devices on different streams may be driven from
//   different threads at once. Discovery starts one worker thread per probe and joins it
//   before the next probe; those threads touch only the stream and device of their own probe.
//   Each control loop owns one thread, one device and its stream. Its members may be called
//   from any other thread; none of them makes the loop wait: it takes no lock that another
//   thread holds, allocates nothing once running, and hands data over whole (a triple buffer
//   in, a seqlock and single-producer rings out).
#pragma once

#include <Tamro/HardwareAPI/Control/Commands.hpp>
#include <Tamro/HardwareAPI/Control/Effects.hpp>
#include <Tamro/HardwareAPI/Control/Errors.hpp>
#include <Tamro/HardwareAPI/Control/HandleReader.hpp>
#include <Tamro/HardwareAPI/Control/Loop.hpp>
#include <Tamro/HardwareAPI/Control/Outlet.hpp>
#include <Tamro/HardwareAPI/Control/ServoLoop.hpp>
#include <Tamro/HardwareAPI/Control/Vector.hpp>
#include <Tamro/HardwareAPI/Devices/Device.hpp>
#include <Tamro/HardwareAPI/Devices/Handle.hpp>
#include <Tamro/HardwareAPI/Devices/Messages.hpp>
#include <Tamro/HardwareAPI/Devices/Velkin3.hpp>
#include <Tamro/HardwareAPI/Discovery.hpp>
#include <Tamro/HardwareAPI/IO/SerialStream.hpp>
#ifdef TAMRO_HAVE_DDS
#include <Tamro/HardwareAPI/Network/Node.hpp>
#include <Tamro/HardwareAPI/Network/Topics.hpp>
#endif
#include <Tamro/HardwareAPI/PortReport.hpp>
#include <Tamro/HardwareAPI/Probes.hpp>
#include <Tamro/HardwareAPI/UUID.hpp>
#include <Tamro/HardwareAPI/Version.hpp>
