#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "progress_lines.hpp"
#include "quiet_end_alarm.hpp"

namespace mirelo {
namespace {

TEST(ProgressLines, QuietAtFirstThenEachStageAndAtMostOnceAnInterval) {
    using std::chrono::milliseconds;
    std::vector<std::string> lines;
    const auto write = [&](const std::string& line) { lines.push_back(line); };
    ProgressLines quiet(write, milliseconds{3600000}, milliseconds{0});
    quiet.report()("projection", 0.5);
    EXPECT_TRUE(lines.empty());
    ProgressLines talking(write, milliseconds{0}, milliseconds{3600000});
    const ProgressReport report = talking.report();
    report("statistics and covariance", 0.0);
    report("statistics and covariance", 0.25);  // within the interval: not a line
    report("projection", 0.503);
    talking.catch_up();  // the stage underway has had its line
    quiet.catch_up();    // still quiet
    const std::vector<std::string> expected{"[mirelo] statistics and covariance: 0% done",
                                            "[mirelo] projection: 50% done"};
    EXPECT_EQ(lines, expected);
}

// Lines written from the alarm's thread, awaited (within a bound) instead of timed.
struct AwaitedLines {
    std::mutex guard;
    std::condition_variable written;
    std::vector<std::string> lines;

    ProgressLines::Write writer(bool fail) {
        return [this, fail](const std::string& line) {
            {
                const std::lock_guard<std::mutex> hold(guard);
                lines.push_back(line);
            }
            written.notify_all();
            if (fail) throw std::runtime_error("the reader has gone");
        };
    }
    bool await_one() {
        std::unique_lock<std::mutex> lock(guard);
        return written.wait_for(lock, std::chrono::seconds{60}, [&] { return !lines.empty(); });
    }
};

TEST(ProgressLines, AStageBegunInTheQuietStartIsToldWhenItEnds) {
    // No report comes after the quiet start, as in a long last stage.
    for (const bool fail : {false, true}) {
        AwaitedLines awaited;
        ProgressLines progress(awaited.writer(fail), std::chrono::milliseconds{500});
        progress.report()("store", 0.25);
        QuietEndAlarm alarm(progress);
        ASSERT_TRUE(awaited.await_one());
        if (fail) {
            EXPECT_THROW(alarm.stop(), std::runtime_error);  // handed to the training's thread
        } else {
            alarm.stop();
        }
        EXPECT_EQ(awaited.lines, std::vector<std::string>{"[mirelo] store: 25% done"});
    }
    AwaitedLines awaited;
    ProgressLines quiet(awaited.writer(false), std::chrono::milliseconds{3600000});
    QuietEndAlarm stopped_early(quiet);
    quiet.report()("projection", 0.5);
    stopped_early.stop();
    EXPECT_TRUE(awaited.lines.empty());
}

}  // namespace
}  // namespace mirelo
