#include "Realtime.hpp"

#include <cerrno>
#include <cstring>
#include <string>

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>

namespace Tamro::HardwareAPI::Control::Detail {

namespace {

std::string ErrorText(int error) {
    char buffer[128];
    return ::strerror_r(error, buffer, sizeof buffer);
}

}  // namespace

std::string LockProcessMemory() {
    if (::mlockall(MCL_CURRENT | MCL_FUTURE) == 0) return {};
    return "memory not locked (" + ErrorText(errno) +
           "): page faults may still delay the loop. To allow it, raise the memlock limit "
           "('<user> - memlock unlimited' in /etc/security/limits.d/)";
}

RealtimeStatus MakeThisThreadRealtime(int priority, const std::string& memoryRefusal) {
    RealtimeStatus status;
    status.requested = true;
    sched_param parameters{};
    parameters.sched_priority = priority;
    const int refused = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &parameters);
    if (refused != 0) {
        status.message = "real-time priority refused (" + ErrorText(refused) +
                         "); the loop runs at normal priority. To allow it, give the user an "
                         "rtprio limit of at least " +
                         std::to_string(priority) +
                         " (a line '<user> - rtprio 90' in /etc/security/limits.d/, then log in "
                         "again) or the program CAP_SYS_NICE (setcap cap_sys_nice+ep)";
        return status;
    }
    status.granted = true;
    status.message = memoryRefusal;
    return status;
}

}  // namespace Tamro::HardwareAPI::Control::Detail
