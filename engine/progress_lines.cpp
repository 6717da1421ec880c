#include "progress_lines.hpp"

#include <cmath>
#include <utility>

namespace mirelo {

ProgressLines::ProgressLines(Write write, std::chrono::milliseconds quiet_start, std::chrono::milliseconds interval)
    : write(std::move(write)), quiet_start(quiet_start), interval(interval), start(std::chrono::steady_clock::now()) {}

ProgressReport ProgressLines::report() {
    return [this](const char* stage, double done) { hear(stage, done); };
}

void ProgressLines::hear(const char* stage, double done) {
    const auto now = std::chrono::steady_clock::now();
    const bool new_stage = stage != last_stage;
    if (now - start < quiet_start || (!new_stage && now - last_line < interval)) {
        return;
    }
    last_stage = stage;
    last_line = now;
    const long percent = std::lround(100.0 * done);
    write("[mirelo] " + last_stage + ": " + std::to_string(percent) + "% done");
}

}  // namespace mirelo
