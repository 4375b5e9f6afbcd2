#pragma once

#include <Tamro/HardwareAPI/Control/Loop.hpp>

#include <thread>

namespace Tamro::HardwareAPI::Control::Detail {

// Moves thread to SCHED_FIFO at priority and locks the process's memory. Best effort: what
// the system refuses is said in the status, with the way to allow it, and the thread keeps
// running at normal priority.
RealtimeStatus MakeRealtime(std::thread& thread, int priority);

}  // namespace Tamro::HardwareAPI::Control::Detail
