#include "QuietPort.hpp"

#include "Deadline.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace Tamro::HardwareAPI::Control::Detail {

namespace {

// A port that poll calls readable while read finds nothing (not a terminal) is looked at
// again after this long rather than in a spin.
constexpr auto IdleWait = std::chrono::microseconds(200);

}  // namespace

QuietPort::QuietPort() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

QuietPort::~QuietPort() {
    Close();
    if (wake_ >= 0) ::close(wake_);
}

int QuietPort::Open(const std::string& path) {
    if (wake_ < 0) return errno != 0 ? errno : EMFILE;
    if (port_.Open(path.c_str()) != 1) return errno != 0 ? errno : EIO;
    port_.RaiseDTR();
    begin_ = end_ = 0;
    error_ = 0;
    return 0;
}

void QuietPort::Close() noexcept { port_.Close(); }

int QuietPort::Write(const std::uint8_t* bytes, std::size_t count) noexcept {
    const int fd = port_.Descriptor();
    if (fd < 0) return error_ = EBADF;
    const ssize_t n = ::write(fd, bytes, count);
    if (n == static_cast<ssize_t>(count)) return 0;
    return error_ = (n < 0 && errno != 0) ? errno : EIO;
}

QuietPort::Wait QuietPort::Fill(std::size_t count, Clock::time_point until) noexcept {
    count = std::min(count, Capacity);
    if (Capacity - begin_ < count) {  // make room at the end
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    bool readableYetEmpty = false;
    while (Size() < count) {
        const int fd = port_.Descriptor();
        if (fd < 0) {
            error_ = EBADF;
            return Wait::Failed;
        }
        const ssize_t n = ::read(fd, buffer_.data() + end_, Capacity - end_);
        if (n > 0) {
            end_ += static_cast<std::size_t>(n);
            readableYetEmpty = false;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            error_ = errno;
            return Wait::Failed;
        }
        const Clock::time_point now = Clock::now();
        if (now >= until) return Wait::TimedOut;
        heartbeat_.Beat(now);
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_, POLLIN, 0}};
        // Readable yet empty: wait on the wake-up alone, briefly.
        const Clock::duration slice = heartbeat_.SliceEnd(now, until) - now;
        const Clock::duration left =
            readableYetEmpty ? std::min<Clock::duration>(slice, IdleWait) : slice;
        const timespec timeout = HardwareAPI::Detail::ToTimespec(left);
        const int ready = readableYetEmpty ? ::ppoll(fds + 1, 1, &timeout, nullptr)
                                           : ::ppoll(fds, 2, &timeout, nullptr);
        if (fds[1].revents != 0) return Wait::Interrupted;
        readableYetEmpty = !readableYetEmpty && ready > 0;
    }
    return Wait::Ready;
}

void QuietPort::Consume(std::size_t count) noexcept {
    begin_ += std::min(count, Size());
    if (begin_ == end_) begin_ = end_ = 0;
}

std::size_t QuietPort::Pending() const noexcept {
    int unread = 0;
    const int fd = port_.Descriptor();
    if (fd < 0 || ::ioctl(fd, FIONREAD, &unread) != 0 || unread < 0) unread = 0;
    return Size() + static_cast<std::size_t>(unread);
}

void QuietPort::Discard() noexcept {
    begin_ = end_ = 0;
    port_.DiscardInput();
}

void QuietPort::Interrupt() noexcept {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
}

void QuietPort::Resume() noexcept {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(wake_, &count, sizeof count);
}

QuietPort::int_type QuietPort::underflow() {
    lastWait_ = Fill(1, deadline_);
    if (lastWait_ != Wait::Ready) return traits_type::eof();
    return traits_type::to_int_type(static_cast<char_type>(*Data()));
}

QuietPort::int_type QuietPort::uflow() {
    const int_type c = underflow();
    if (!traits_type::eq_int_type(c, traits_type::eof())) Consume(1);
    return c;
}

std::streamsize QuietPort::xsgetn(char_type* s, std::streamsize n) {
    if (n <= 0) return 0;
    const auto want = std::min(static_cast<std::size_t>(n), Capacity);
    lastWait_ = Fill(want, deadline_);
    const std::size_t got = std::min(want, Size());
    std::memcpy(s, Data(), got);
    Consume(got);
    return static_cast<std::streamsize>(got);
}

std::streamsize QuietPort::xsputn(const char_type* s, std::streamsize n) {
    if (n > 0) Write(reinterpret_cast<const std::uint8_t*>(s), static_cast<std::size_t>(n));
    return n;  // whole to the stream, whatever happened: Error() says
}

QuietPort::int_type QuietPort::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const auto byte = static_cast<std::uint8_t>(traits_type::to_char_type(c));
    Write(&byte, 1);
    return c;
}

}  // namespace Tamro::HardwareAPI::Control::Detail
