#pragma once

#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <thread>

namespace mirelo {

// A check that throws to stop a long computation; a binding installs one that raises the
// interpreter's pending KeyboardInterrupt. It is called only from the thread that started the
// computation, at most every kInterruptionInterval of work.
using InterruptionCheck = void (*)();
void set_interruption_check(InterruptionCheck check) noexcept;
constexpr std::chrono::milliseconds kInterruptionInterval{50};

// Runs the installed check now, on the calling thread (between the stages of a computation).
void check_interruption();

// What the threads of one parallel loop share: the first exception any of them met, and the
// interruption check, polled by the thread that made the job. Once either happened every thread
// skips its remaining iterations, and finish() rethrows after the region, so no exception leaves
// it. Making a job also prepares OpenMP for a fork of the process.
class ParallelJob {
public:
    ParallelJob();

    template <class Body>
    void run(Body&& body) noexcept {
        if (failed.load(std::memory_order_relaxed)) {
            return;
        }
        try {
            poll();
            body();
        } catch (...) {
            fail(std::current_exception());
        }
    }

    // Rethrows the first failure; call it after the parallel region.
    void finish();

private:
    void poll();
    void fail(std::exception_ptr error) noexcept;

    const std::thread::id owner;
    std::chrono::steady_clock::time_point next_poll;
    std::atomic<bool> failed{false};
    std::mutex failure_guard;
    std::exception_ptr failure;
};

}  // namespace mirelo
