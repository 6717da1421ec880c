// Times two revisions of the core in one process on the same rows, each loaded from a library of
// its own (benchmarks/revision_side). Rounds of calls alternate the sides A B, B A, A B ..., each
// turn timed in CPU time of the process (a batch runs on several threads), and the answers of both
// are hashed: different answers are an error (exit status 1). Run by compare_revisions.py.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "revision_side/revision_side.hpp"

namespace {

const char* const kUsage =
    "usage: compare_revisions LIB_A LIB_B DATA MODES ROUNDS CALLS TURN_SECONDS BATCH_ROWS\n"
    "MODES: predict, batch or predict,batch. CALLS a turn: 0 for as many as take TURN_SECONDS.\n"
    "DATA: int64 rows, queries, features, k, scale; float64 variance; the rows and the queries as float64;\n"
    "the rows' int32 labels.\n"
    ;

struct Options {
    std::string libraries[2];
    std::string data;
    std::string modes;
    int rounds;
    long calls;
    double turn_seconds;
    std::int64_t batch_rows;
};

Options parse(int argc, char** argv) {
    if (argc != 9) throw std::invalid_argument(kUsage);
    return Options{{argv[1], argv[2]}, argv[3], argv[4], std::stoi(argv[5]), std::stol(argv[6]), std::stod(argv[7]),
                   std::stoll(argv[8])};
}

// The data file, mapped rather than read so that both sides train on the same pages.
class Data {
public:
    explicit Data(const std::string& path) {
        const int fd = open(path.c_str(), O_RDONLY);
        struct stat info {};
        if (fd < 0 || fstat(fd, &info) != 0) throw std::runtime_error("cannot open " + path);
        size = static_cast<std::size_t>(info.st_size);
        base = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        close(fd);
        if (base == MAP_FAILED) throw std::runtime_error("cannot map " + path);
        const auto* header = static_cast<const std::int64_t*>(base);
        rows = header[0], queries = header[1], features = header[2];
        k = static_cast<std::int32_t>(header[3]);
        scale = header[4] != 0;
        std::memcpy(&variance, header + 5, sizeof variance);
        X = reinterpret_cast<const double*>(header + 6);
        Q = X + rows * features;
        labels = reinterpret_cast<const std::int32_t*>(Q + queries * features);
        if (reinterpret_cast<const char*>(labels + rows) != static_cast<const char*>(base) + size)
            throw std::runtime_error(path + " is not as long as its header says");
    }
    ~Data() { munmap(base, size); }
    Data(const Data&) = delete;
    Data& operator=(const Data&) = delete;

    std::int64_t rows, queries, features;
    std::int32_t k;
    bool scale;
    double variance;
    const double* X;
    const double* Q;
    const std::int32_t* labels;

private:
    void* base;
    std::size_t size;
};

// Never unloaded: the side's objects live until the process ends.
std::unique_ptr<RevisionSide> load(const std::string& path) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) throw std::runtime_error(dlerror());
    auto* make = reinterpret_cast<RevisionSide* (*)()>(dlsym(library, "mirelo_revision_side"));
    if (!make) throw std::runtime_error(path + " exports no mirelo_revision_side");
    return std::unique_ptr<RevisionSide>(make());
}

double seconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double quantile(std::vector<double> values, double q) {
    std::sort(values.begin(), values.end());
    const double place = q * static_cast<double>(values.size() - 1);
    const auto below = static_cast<std::size_t>(place);
    const std::size_t above = std::min(below + 1, values.size() - 1);
    return values[below] + (place - static_cast<double>(below)) * (values[above] - values[below]);
}

double median(std::vector<double> values) {
    return quantile(std::move(values), 0.5);
}

std::uint64_t fold(std::uint64_t hash, std::uint64_t value) { return (hash ^ value) * 1099511628211ull; }

// One side's record over the rounds: CPU and wall seconds per call, and the answers' hash.
struct Turns {
    std::vector<double> cpu, wall;
    std::uint64_t hash = 1469598103934665603ull;
};

void report_hashes(const char* what, std::uint64_t a, std::uint64_t b, bool& same) {
    std::printf("%s %s: A %016llx B %016llx\n", what, a == b ? "same" : "DIFFERENT", (unsigned long long)a,
                (unsigned long long)b);
    same = same && a == b;
}

// CPU seconds a call, from calls until a quarter of a turn has passed.
template <class Call>
double seconds_a_call(double turn_seconds, RevisionSide& side, Call call) {
    const double start = seconds(CLOCK_PROCESS_CPUTIME_ID);
    double spent = 0;
    long calls = 0;
    for (; calls == 0 || spent < turn_seconds / 4; ++calls) {
        call(side, calls);
        spent = seconds(CLOCK_PROCESS_CPUTIME_ID) - start;
    }
    return spent / double(calls);
}

// Calls a turn that take about turn_seconds on the slower side. Each side is timed a second
// time: the first calls also fault in its store and warm its caches.
template <class Call>
long calls_for(double turn_seconds, RevisionSide* sides[2], Call call) {
    double slower = 0;
    for (int s = 0; s < 2; ++s) {
        seconds_a_call(turn_seconds, *sides[s], call);
        slower = std::max(slower, seconds_a_call(turn_seconds, *sides[s], call));
    }
    return std::max(1L, static_cast<long>(turn_seconds / slower + 0.5));
}

// One mode: call i of round r asks call(r * calls + i).
template <class Call>
void run_rounds(const char* name, const Options& options, RevisionSide* sides[2], Call call, bool& same) {
    const int rounds = options.rounds;
    const long calls = options.calls > 0 ? options.calls : calls_for(options.turn_seconds, sides, call);
    Turns turns[2];
    for (int r = 0; r < rounds; ++r) {
        for (int turn = 0; turn < 2; ++turn) {
            const int s = (r + turn) % 2;  // A B, then B A
            const double cpu = seconds(CLOCK_PROCESS_CPUTIME_ID), wall = seconds(CLOCK_MONOTONIC);
            std::uint64_t hash = turns[s].hash;
            for (long i = 0; i < calls; ++i) hash = fold(hash, call(*sides[s], long(r) * calls + i));
            turns[s].cpu.push_back((seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu) / double(calls));
            turns[s].wall.push_back((seconds(CLOCK_MONOTONIC) - wall) / double(calls));
            turns[s].hash = hash;
        }
    }
    std::vector<double> ratios;
    for (int r = 0; r < rounds; ++r) ratios.push_back(turns[1].cpu[r] / turns[0].cpu[r]);
    std::printf("%s: %d rounds of %ld calls a side\n", name, rounds, calls);
    for (int s = 0; s < 2; ++s)
        std::printf("  %c  %12.1f us CPU a call (median)   %12.1f us wall\n", "AB"[s], 1e6 * median(turns[s].cpu),
                    1e6 * median(turns[s].wall));
    std::printf("  B/A %.3f (ratio of medians); rounds' ratios: median %.3f, quartiles %.3f-%.3f, range %.3f-%.3f\n",
                median(turns[1].cpu) / median(turns[0].cpu), median(ratios), quantile(ratios, 0.25),
                quantile(ratios, 0.75), quantile(ratios, 0.0), quantile(ratios, 1.0));
    report_hashes("  labels", turns[0].hash, turns[1].hash, same);
}

int compare(const Options& options) {
    const Data data(options.data);
    std::unique_ptr<RevisionSide> owned[2] = {load(options.libraries[0]), load(options.libraries[1])};
    RevisionSide* sides[2] = {owned[0].get(), owned[1].get()};
    for (int s = 0; s < 2; ++s) {
        const double wall = seconds(CLOCK_MONOTONIC);
        sides[s]->train(data.X, data.rows, data.features, data.labels, data.k, data.variance, data.scale);
        std::printf("%c  trained %lld x %lld -> %d components in %.1f s\n", "AB"[s], (long long)data.rows,
                    (long long)data.features, sides[s]->components(), seconds(CLOCK_MONOTONIC) - wall);
    }
    bool same = true;
    const std::int64_t f = data.features, queries = data.queries;
    if (options.modes.find("predict") != std::string::npos) {
        run_rounds("predict, one row a call", options, sides,
                   [&](const RevisionSide& side, long i) { return side.predict_each(data.Q + i % queries * f, 1); },
                   same);
        report_hashes("  neighbours of every query, one row a call", sides[0]->neighbours(data.Q, queries, true),
                      sides[1]->neighbours(data.Q, queries, true), same);
    }
    if (options.modes.find("batch") != std::string::npos) {
        const std::int64_t rows = std::min(options.batch_rows, queries), starts = queries - rows + 1;
        const std::string name = "predict_batch of " + std::to_string(rows) + " rows";
        run_rounds(name.c_str(), options, sides,
                   [&](const RevisionSide& side, long i) { return side.predict_batch(data.Q + i * rows % starts * f, rows); },
                   same);
        report_hashes("  neighbours of every query, one call", sides[0]->neighbours(data.Q, queries, false),
                      sides[1]->neighbours(data.Q, queries, false), same);
    }
    return same ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    try {
        return compare(parse(argc, argv));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "compare_revisions: %s\n", e.what());
        return 2;
    }
}
