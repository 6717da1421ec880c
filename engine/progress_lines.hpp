#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

#include "mirelo_types.hpp"

namespace mirelo {

// Turns a training's stage reports into lines for someone watching it: none in a training's
// first quiet_start (a short fit stays silent), then one as each stage starts and at most one an
// interval within a stage, each naming the stage and the share of it done. A stage that began in
// the quiet start and is still underway when it ends is told by catch_up (QuietEndAlarm calls it
// then), since no report of that stage may come later. Reports and catch_up may come from
// different threads; lines are written one at a time.
class ProgressLines {
public:
    using Write = std::function<void(const std::string& line)>;
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kQuietStart{2000};
    static constexpr std::chrono::milliseconds kInterval{1000};

    explicit ProgressLines(Write write, std::chrono::milliseconds quiet_start = kQuietStart,
                           std::chrono::milliseconds interval = kInterval);

    // A report that feeds this object; it must outlive the report's use.
    ProgressReport report();

    // When the quiet start is over.
    Clock::time_point quiet_end() const { return start + quiet_start; }

    // Once the quiet start is over, writes the line of the stage underway unless it has had one.
    void catch_up();

private:
    void hear(const char* stage, double done);
    // Writes the stage underway's line; the caller holds `guard`.
    void tell(Clock::time_point now);

    Write write;
    std::chrono::milliseconds quiet_start;
    std::chrono::milliseconds interval;
    Clock::time_point start;
    std::mutex guard;
    std::string stage;  // the latest stage heard, with its share done
    double done = 0.0;
    bool told = false;  // whether that stage has had a line
    Clock::time_point last_line;
};

}  // namespace mirelo
