#include "quiet_end_alarm.hpp"

#include <utility>

namespace mirelo {

QuietEndAlarm::QuietEndAlarm(ProgressLines& lines) : lines(lines) {
    thread = std::thread([this] {
        {
            std::unique_lock<std::mutex> lock(guard);
            if (woken.wait_until(lock, this->lines.quiet_end(), [this] { return stopping; })) {
                return;
            }
        }
        try {
            this->lines.catch_up();
        } catch (...) {
            failure = std::current_exception();
        }
    });
}

QuietEndAlarm::~QuietEndAlarm() { halt(); }

void QuietEndAlarm::halt() noexcept {
    {
        const std::lock_guard<std::mutex> lock(guard);
        stopping = true;
    }
    woken.notify_all();
    if (thread.joinable()) {
        thread.join();
    }
}

void QuietEndAlarm::stop() {
    halt();
    if (std::exception_ptr error = std::exchange(failure, nullptr)) {
        std::rethrow_exception(error);
    }
}

}  // namespace mirelo
