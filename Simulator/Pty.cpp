#include "Pty.hpp"

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace TamroSimulator {

namespace {

[[noreturn]] void Fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

Pty::Pty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) Fail("posix_openpt");
    char name[128];
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
        const int error = errno;
        ::close(master_);
        errno = error;
        Fail("pseudo-terminal setup");
    }
    path_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw;
    if (slave_ < 0 || ::tcgetattr(slave_, &raw) != 0) {
        const int error = errno;
        ::close(master_);
        if (slave_ >= 0) ::close(slave_);
        errno = error;
        Fail(name);
    }
    // Raw from the start: no echo and no translation even for a host that sets nothing.
    ::cfmakeraw(&raw);
    ::tcsetattr(slave_, TCSANOW, &raw);
}

Pty::~Pty() {
    ::close(slave_);
    ::close(master_);
}

}  // namespace TamroSimulator
