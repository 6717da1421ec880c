#include "progress_lines.hpp"

#include <cmath>
#include <utility>

namespace mirelo {

ProgressLines::ProgressLines(Write write, std::chrono::milliseconds quiet_start, std::chrono::milliseconds interval)
    : write(std::move(write)), quiet_start(quiet_start), interval(interval), start(Clock::now()) {}

ProgressReport ProgressLines::report() {
    return [this](const char* stage, double done) { hear(stage, done); };
}

void ProgressLines::hear(const char* heard, double share) {
    const std::lock_guard<std::mutex> hold(guard);
    if (heard != stage) {
        stage = heard;
        told = false;
    }
    done = share;
    const auto now = Clock::now();
    if (now < quiet_end() || (told && now - last_line < interval)) {
        return;
    }
    tell(now);
}

void ProgressLines::catch_up() {
    const std::lock_guard<std::mutex> hold(guard);
    const auto now = Clock::now();
    if (stage.empty() || told || now < quiet_end()) {
        return;
    }
    tell(now);
}

void ProgressLines::tell(Clock::time_point now) {
    told = true;
    last_line = now;
    const long percent = std::lround(100.0 * done);
    write("[mirelo] " + stage + ": " + std::to_string(percent) + "% done");
}

}  // namespace mirelo
