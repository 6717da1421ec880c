#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "mirelo_types.hpp"

namespace mirelo {

// Turns a training's stage reports into lines for someone watching it: none in a training's
// first quiet_start (a short fit stays silent), then one as each stage starts and at most one an
// interval within a stage, each naming the stage and the share of it done.
class ProgressLines {
public:
    using Write = std::function<void(const std::string& line)>;
    static constexpr std::chrono::milliseconds kQuietStart{2000};
    static constexpr std::chrono::milliseconds kInterval{1000};

    explicit ProgressLines(Write write, std::chrono::milliseconds quiet_start = kQuietStart,
                           std::chrono::milliseconds interval = kInterval);

    // A report that feeds this object; it must outlive the report's use.
    ProgressReport report();

private:
    void hear(const char* stage, double done);

    Write write;
    std::chrono::milliseconds quiet_start;
    std::chrono::milliseconds interval;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point last_line;
    std::string last_stage;
};

}  // namespace mirelo
