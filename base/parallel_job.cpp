#include "parallel_job.hpp"

#include "fork_safety.hpp"

namespace mirelo {

namespace {
std::atomic<InterruptionCheck> installed_check{nullptr};
}  // namespace

void set_interruption_check(InterruptionCheck check) noexcept { installed_check.store(check); }

void check_interruption() {
    if (const InterruptionCheck check = installed_check.load()) {
        check();
    }
}

ParallelJob::ParallelJob() : owner(std::this_thread::get_id()), next_poll(std::chrono::steady_clock::now()) {
    prepare_openmp_for_fork();
}

void ParallelJob::poll() {
    if (std::this_thread::get_id() != owner) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= next_poll) {
        next_poll = now + kInterruptionInterval;
        check_interruption();
    }
}

void ParallelJob::fail(std::exception_ptr error) noexcept {
    const std::lock_guard<std::mutex> lock(failure_guard);
    if (!failure) {
        failure = error;
    }
    failed.store(true, std::memory_order_relaxed);
}

void ParallelJob::finish() {
    if (failure) {
        std::rethrow_exception(failure);
    }
}

}  // namespace mirelo
