#include "centred_products.hpp"

#include <algorithm>
#include <vector>

#include <omp.h>

#include "kernels.hpp"
#include "parallel_job.hpp"

namespace mirelo {

namespace {

using Index = Eigen::Index;

// The summed index is taken in slices whose packing stays in the last-level cache; each element's
// chain runs on from slice to slice.
constexpr Index kSlice = 640;
// Rows of the triangle per task: a band's packed items stay in the second-level cache.
constexpr Index kBand = 32;
// Packed values shared by the threads between two waits for each other.
constexpr Index kChunkBytes = Index{8} << 20;

// Writes kPanelRows items of one slice, value p of item r at packed[p * kPanelRows + r]; value(r, p)
// gives the centred value and count is how many items are real (zeros after them).
template <class Value>
void pack_group(Index count, Index slice, double* packed, Value&& value) {
    for (Index p = 0; p < slice; ++p) {
        for (Index r = 0; r < kPanelRows; ++r) packed[p * kPanelRows + r] = r < count ? value(r, p) : 0.0;
    }
}

// Adds the products of `count` items over `length` values to sum, on `threads` threads whose
// pieces run through `job`; pack(first_item, items, first, slice, packed) packs one group's share
// of a slice.
template <class Pack>
void add_products_upper(Index count, Index length, Pack&& pack, Matrix& sum, ParallelJob& job, int threads) {
    const Index groups = (count + kPanelRows - 1) / kPanelRows;
    const Index bands = (count + kBand - 1) / kBand;
    const Index slice_size = packed_size(count, kSlice);
    // Several slices are packed between two waits for every thread, as many as fit kChunkBytes;
    // a thread alone has no one to wait for.
    const Index chunk_slices =
        threads == 1 ? 1 : std::max<Index>(1, kChunkBytes / (slice_size * Index{sizeof(double)}));
    const Index chunk = chunk_slices * kSlice;
    const Index used_slices = std::min(chunk_slices, (length + kSlice - 1) / kSlice);
    std::vector<double> packed(static_cast<std::size_t>(used_slices * slice_size));
#pragma omp parallel num_threads(threads) if (threads > 1)
    for (Index start = 0; start < length; start += chunk) {
        const Index slices = (std::min(chunk, length - start) + kSlice - 1) / kSlice;
        const auto slice_length = [&](Index s) { return std::min(kSlice, length - start - s * kSlice); };
#pragma omp for schedule(static) collapse(2)
        for (Index s = 0; s < slices; ++s) {
            for (Index g = 0; g < groups; ++g) {
                job.run([&] {
                    const Index top = g * kPanelRows;
                    pack(top, std::min(kPanelRows, count - top), start + s * kSlice, slice_length(s),
                         packed.data() + s * slice_size + top * slice_length(s));
                });
            }
        }
        // The longest bands, at the bottom of the triangle, go first; each runs through the
        // chunk's slices in order. Rows of the triangle are written row-major: sum's columns.
#pragma omp for schedule(dynamic, 1)
        for (Index b = bands - 1; b >= 0; --b) {
            job.run([&] {
                const Index top = b * kBand;
                for (Index s = 0; s < slices; ++s) {
                    products_lower_band(packed.data() + s * slice_size, count, slice_length(s), top,
                                        std::min(kBand, count - top), {sum.data(), count, 1});
                }
            });
        }
    }
}

void add_products(const Items& items, Index length, Matrix& sum, ParallelJob& job, int threads) {
    add_products_upper(items.count, length, [&](Index top, Index count, Index first, Index slice, double* out) {
        const double* values = items.values + top * items.item_stride + first * items.value_stride;
        if (items.item_stride == 1 && count == kPanelRows) {
            // A whole group of a row-major block's columns: each step is one contiguous run, short
            // enough that a library call per run would cost more than the copy.
            for (Index p = 0; p < slice; ++p) {
                const double* run = values + p * items.value_stride;
                double* to = out + p * kPanelRows;
                for (Index r = 0; r < kPanelRows; ++r) to[r] = run[r];
            }
            return;
        }
        pack_group(count, slice, out, [&](Index r, Index p) {
            return values[r * items.item_stride + p * items.value_stride];
        });
    }, sum, job, threads);
}

}  // namespace

void add_item_products(const Items& items, Index length, Matrix& sum) {
    ParallelJob job;
    add_products(items, length, sum, job, omp_get_max_threads());
    job.finish();
}

void add_item_products_alone(const Items& items, Index length, Matrix& sum, ParallelJob& job) {
    add_products(items, length, sum, job, 1);
}

}  // namespace mirelo
