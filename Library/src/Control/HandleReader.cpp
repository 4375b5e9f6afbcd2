#include <Tamro/HardwareAPI/Control/HandleReader.hpp>

#include "HandleCore.hpp"
#include "LoopThread.hpp"
#include "SerialHandleLink.hpp"
#include "Timing.hpp"

#include <mutex>
#include <thread>

namespace Tamro::HardwareAPI::Control {

namespace {

// Options are checked before the port is touched.
const HandleReaderOptions& Checked(const HandleReaderOptions& options) {
    Detail::CheckLoopOptions(options.rateHz, options.faultTimeout, options.maxFaults);
    return options;
}

}  // namespace

// The reader's life: the port (a serial link), the thread and its stop; the cycles
// themselves are the core's.
class HandleReader::Impl {
public:
    Impl(const std::string& port, const HandleReaderOptions& options)
        : port_(port),
          options_(Checked(options)),
          link_(port),
          core_(options_, link_, clock_, link_.Info().device_id) {
        core_.Flags().Starting();
        thread_ = std::thread([this] {
            Detail::LoopThreadSetUp();
            core_.Run();
        });
    }

    // The wait in flight is cut short, so closing takes no longer than the thread's own work.
    void Close() {
        std::lock_guard<std::mutex> lock(lifecycle_);
        if (thread_.joinable()) {
            link_.Interrupt();  // first: a wait it cuts short ends the run even before the flag
            core_.Flags().RequestStop();
            thread_.join();
        }
        link_.Close();
    }

    const std::string port_;
    const HandleReaderOptions options_;
    Detail::SerialHandleLink link_;
    Detail::SystemClock clock_;
    Detail::HandleCore core_;

    std::mutex lifecycle_;  // never touched by the thread
    std::thread thread_;
};

HandleReader::HandleReader(const std::string& port, const HandleReaderOptions& options)
    : impl_(std::make_unique<Impl>(port, options)) {}

HandleReader::~HandleReader() { impl_->Close(); }

const Devices::HandleInfo& HandleReader::Info() const noexcept { return impl_->link_.Info(); }
const std::string& HandleReader::Port() const noexcept { return impl_->port_; }
const HandleReaderOptions& HandleReader::Options() const noexcept { return impl_->options_; }
void HandleReader::Close() { impl_->Close(); }
bool HandleReader::Running() const noexcept { return impl_->core_.Flags().Running(); }
std::optional<Fault> HandleReader::LatchedFault() const {
    return impl_->core_.Flags().LatchedFault();
}
HandleStatus HandleReader::Latest() const { return impl_->core_.Latest(); }

std::size_t HandleReader::DrainEvents(HandleEvent* out, std::size_t max) {
    return impl_->core_.DrainEvents(out, max);
}

bool HandleReader::SendUserData(const std::uint8_t* data, std::size_t length) {
    return impl_->core_.SendUserData(data, length);
}

HandleReaderStats HandleReader::Stats() const { return impl_->core_.Stats(); }
void HandleReader::Record(std::size_t capacity) { impl_->core_.Recording().Start(capacity); }
std::size_t HandleReader::Drain(HandleRecord* out, std::size_t max) {
    return impl_->core_.Recording().Drain(out, max);
}
std::size_t HandleReader::Pending() const { return impl_->core_.Recording().Pending(); }
Outlet<HandleStatus>& HandleReader::StatusOutlet() noexcept { return impl_->core_.StatusOutlet(); }

}  // namespace Tamro::HardwareAPI::Control
