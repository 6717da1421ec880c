#pragma once

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "progress_lines.hpp"

namespace mirelo {

// Calls lines.catch_up() from a thread of its own when their quiet start ends, so that a long
// stage that began in it is told then though no report of it comes; nothing if stopped before.
class QuietEndAlarm {
public:
    explicit QuietEndAlarm(ProgressLines& lines);
    ~QuietEndAlarm();
    QuietEndAlarm(const QuietEndAlarm&) = delete;
    QuietEndAlarm& operator=(const QuietEndAlarm&) = delete;

    // Ends the thread, then rethrows what writing the line threw, if anything.
    void stop();

private:
    void halt() noexcept;

    ProgressLines& lines;
    std::mutex guard;
    std::condition_variable woken;
    bool stopping = false;
    std::exception_ptr failure;  // read only once the thread has ended
    std::thread thread;
};

}  // namespace mirelo
