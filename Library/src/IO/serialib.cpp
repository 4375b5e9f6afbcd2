#include "serialib.hpp"

#include "Deadline.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace Tamro::HardwareAPI::IO {

namespace {

constexpr useconds_t IdlePollMicroseconds = 100;

}  // namespace

serialib::~serialib() { Close(); }

std::int8_t serialib::Open(const char* path) {
    if (path == nullptr) {
        // open() is declared nonnull: passing null is undefined behaviour, not an error the
        // kernel reports. Fail as the kernel does for a bad address.
        errno = EFAULT;
        return -2;
    }
    fd_ = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ == -1) return -2;

    ::fcntl(fd_, F_SETFL, O_NONBLOCK);

    termios settings;
    ::tcgetattr(fd_, &settings);
    std::memset(&settings, 0, sizeof settings);  // nothing of the previous settings survives
    ::cfsetispeed(&settings, B115200);
    ::cfsetospeed(&settings, B115200);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    settings.c_cc[VTIME] = 0;
    settings.c_cc[VMIN] = 0;
    settings.c_iflag |= IGNBRK | IGNPAR;
    ::tcsetattr(fd_, TCSANOW, &settings);
    // A reply an earlier program left unread would otherwise answer our first request, and
    // every later reply would belong to the request before it.
    ::tcflush(fd_, TCIFLUSH);
    return 1;
}

void serialib::RaiseDTR() {
    int status = 0;
    ::ioctl(fd_, TIOCMGET, &status);
    status |= TIOCM_DTR;
    ::ioctl(fd_, TIOCMSET, &status);
}

std::size_t serialib::DiscardInput() noexcept {
    std::size_t dropped = holding_ ? 1 : 0;
    holding_ = false;
    if (fd_ < 0) return dropped;
    int waiting = 0;
    if (::ioctl(fd_, FIONREAD, &waiting) == 0 && waiting > 0) {
        dropped += static_cast<std::size_t>(waiting);
        ::tcflush(fd_, TCIFLUSH);
    }
    return dropped;
}

void serialib::Close() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

int serialib::ReadWithTimeout(std::uint8_t* destination, std::uint32_t count) {
    const Detail::Deadline deadline{readTimeout_};
    std::uint32_t got = 0;
    bool readableYetEmpty = false;
    for (;;) {
        const ssize_t n = ::read(fd_, destination + got, count - got);
        if (n < 0) return -2;
        got += static_cast<std::uint32_t>(n);
        if (got >= count || deadline.Expired()) return static_cast<int>(got);
        if (n > 0) {
            readableYetEmpty = false;
            continue;  // more may already be waiting
        }
        if (readableYetEmpty) {
            // poll said readable but read found nothing: not a terminal. Pace the loop
            // instead of spinning.
            ::usleep(IdlePollMicroseconds);
            continue;
        }
        // Sleep until the port is readable or the time is up.
        pollfd pfd{fd_, POLLIN, 0};
        const timespec left = Detail::ToTimespec(deadline.Remaining());
        readableYetEmpty = ::ppoll(&pfd, 1, &left, nullptr) > 0;
    }
}

std::streambuf* serialib::setbuf(char_type*, std::streamsize) { return this; }

serialib::int_type serialib::underflow() {
    if (fd_ == -1) return traits_type::eof();
    if (holding_) return traits_type::to_int_type(static_cast<char_type>(heldByte_));
    std::uint8_t byte = 0;
    if (ReadWithTimeout(&byte, 1) != 1) return traits_type::eof();
    heldByte_ = byte;
    holding_ = true;
    return traits_type::to_int_type(static_cast<char_type>(byte));
}

serialib::int_type serialib::uflow() {
    const int_type c = underflow();
    holding_ = false;
    return c;
}

std::streamsize serialib::xsgetn(char_type* s, std::streamsize n) {
    if (fd_ == -1 || n <= 0) return 0;
    auto* out = reinterpret_cast<std::uint8_t*>(s);
    if (holding_) {
        out[0] = heldByte_;
        holding_ = false;
        if (n == 1) return 1;
        const int got = ReadWithTimeout(out + 1, static_cast<std::uint32_t>(n - 1));
        return got < 0 ? 0 : got + 1;
    }
    const int got = ReadWithTimeout(out, static_cast<std::uint32_t>(n));
    return got < 0 ? 0 : got;
}

std::streamsize serialib::showmanyc() {
    if (fd_ == -1) return 0;
    if (holding_) return 1;
    if (ReadWithTimeout(&heldByte_, 1) == 1) {
        holding_ = true;
        return 1;
    }
    return 0;
}

serialib::int_type serialib::pbackfail(int_type c) {
    if (holding_ || traits_type::eq_int_type(c, traits_type::eof())) return traits_type::eof();
    heldByte_ = static_cast<std::uint8_t>(traits_type::to_char_type(c));
    holding_ = true;
    return c;
}

serialib::int_type serialib::overflow(int_type c) {
    if (fd_ == -1 || traits_type::eq_int_type(c, traits_type::eof())) return traits_type::eof();
    const char_type byte = traits_type::to_char_type(c);
    return ::write(fd_, &byte, 1) == 1 ? c : traits_type::eof();
}

std::streamsize serialib::xsputn(const char_type* s, std::streamsize n) {
    if (fd_ == -1 || n <= 0) return 0;
    // One write: a short write counts as nothing, and nothing is sent again.
    return ::write(fd_, s, static_cast<std::size_t>(n)) == n ? n : 0;
}

}  // namespace Tamro::HardwareAPI::IO
