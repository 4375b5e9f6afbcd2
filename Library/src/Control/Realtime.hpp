#pragma once

#include <Tamro/HardwareAPI/Control/Loop.hpp>

#include <string>

namespace Tamro::HardwareAPI::Control::Detail {

// Locks every page of the process, now and to come (mlockall MCL_CURRENT | MCL_FUTURE), so
// the loop never waits for a page fault. Called before the loop thread starts, so its stack
// is locked too. Empty on success, else why not and how to allow it.
std::string LockProcessMemory();

// Moves the calling thread to SCHED_FIFO at priority: the loop thread calls it on itself
// before its first cycle. Best effort: what the system refuses is said in the status, with
// the way to allow it, and the thread keeps running at normal priority. memoryRefusal is
// LockProcessMemory's answer, carried into the status.
RealtimeStatus MakeThisThreadRealtime(int priority, const std::string& memoryRefusal);

}  // namespace Tamro::HardwareAPI::Control::Detail
