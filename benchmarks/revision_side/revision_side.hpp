#pragma once

#include <cstdint>

// What the comparison driver asks of one revision's core. Each revision is built into a
// library of its own that exports only mirelo_revision_side(), so that two revisions' symbols
// (their kernels' dispatch, their statics, their inline functions) never meet.
class RevisionSide {
public:
    virtual ~RevisionSide() = default;
    // Rows are row-major doubles; labels are class numbers. Throws what training throws.
    virtual void train(const double* X, std::int64_t rows, std::int64_t features, const std::int32_t* labels,
                       std::int32_t k, double variance, bool scale) = 0;
    virtual std::int32_t components() const = 0;
    // A hash of the labels of `count` rows: one predict call per row, or one predict_batch call.
    virtual std::uint64_t predict_each(const double* rows, std::int64_t count) const = 0;
    virtual std::uint64_t predict_batch(const double* rows, std::int64_t count) const = 0;
    // A hash of the k nearest rows and distances of `count` rows, asked in one call or a row at a time.
    virtual std::uint64_t neighbours(const double* rows, std::int64_t count, bool one_at_a_time) const = 0;
};

extern "C" RevisionSide* mirelo_revision_side();
