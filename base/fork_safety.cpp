#include "fork_safety.hpp"

#include <mutex>

#include <omp.h>
#include <pthread.h>

namespace mirelo {

namespace {
void release_thread_pool() { omp_pause_resource_all(omp_pause_soft); }
}  // namespace

void prepare_openmp_for_fork() {
    static std::once_flag registered;
    std::call_once(registered, [] { pthread_atfork(release_thread_pool, nullptr, nullptr); });
}

}  // namespace mirelo
