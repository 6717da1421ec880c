#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "kernel_variants.hpp"
#include "test_support.hpp"

namespace mirelo {
namespace {

struct Variant {
    const char* name;
    void (*multiply)(StridedRows, std::ptrdiff_t, const double*, std::ptrdiff_t, std::ptrdiff_t, StridedOutput,
                     bool) noexcept;
    double (*norm)(const double*, std::ptrdiff_t) noexcept;
    void (*screen)(const SingleScreen&) noexcept;
    void (*band)(const double*, std::ptrdiff_t, std::ptrdiff_t, std::ptrdiff_t, std::ptrdiff_t, StridedOutput) noexcept;
    std::ptrdiff_t (*near)(const NearBoxes&) noexcept;
    double (*distance)(const double*, const double*, std::ptrdiff_t) noexcept;
    void (*distances)(const double* const*, const double* const*, std::ptrdiff_t, std::ptrdiff_t, double*) noexcept;
};

#define MIRELO_VARIANT(build)                                                                                  \
    Variant {                                                                                                  \
        #build, build##_kernels::multiply_packed, build##_kernels::squared_norm, build##_kernels::screen_single, \
            build##_kernels::products_lower_band, build##_kernels::near_boxes, build##_kernels::squared_distance, \
            build##_kernels::squared_distances                                                                 \
    }

// Every build the CPU runs, the portable one first.
std::vector<Variant> variants() {
    std::vector<Variant> all = {MIRELO_VARIANT(portable)};
#if defined(MIRELO_AVX2_KERNELS)
    if (kernel_build_runs("avx2")) all.push_back(MIRELO_VARIANT(avx2));
#endif
#if defined(MIRELO_AVX512_KERNELS)
    if (kernel_build_runs("avx512")) all.push_back(MIRELO_VARIANT(avx512));
#endif
    return all;
}

std::vector<double> packed(const RowMajorMatrix& b, Eigen::Index first_row, Eigen::Index rows) {
    std::vector<double> out(static_cast<std::size_t>(packed_size(rows, b.cols())));
    pack_rows({b.row(first_row).data(), b.cols(), 1}, rows, b.cols(), out.data());
    return out;
}

TEST(Kernels, EachElementHasTheSameBitsHoweverTheWorkIsCut) {
    for (const Variant& variant : variants()) {
        // Lengths below and past one group, row counts around the register blocks.
        for (Eigen::Index length : {1, 3, 6, 8, 35}) {
            SCOPED_TRACE(std::string(variant.name) + ", length " + std::to_string(length));
            const RowMajorMatrix a = test::random_matrix(13, length, 60) * 1e3;
            const RowMajorMatrix b = test::random_matrix(19, length, 61);
            Matrix whole(a.rows(), b.rows());
            variant.multiply({a.data(), length, 1}, a.rows(), packed(b, 0, b.rows()).data(), b.rows(), length,
                             {whole.data(), 1, a.rows()}, false);
            EXPECT_TRUE(whole.isApprox(a * b.transpose(), 1e-12));
            for (Eigen::Index i = 0; i < a.rows(); ++i) {
                for (Eigen::Index j = 0; j < b.rows(); ++j) {
                    double alone;
                    variant.multiply({a.row(i).data(), length, 1}, 1, packed(b, j, 1).data(), 1, length,
                                     {&alone, 0, 0}, false);
                    ASSERT_EQ(alone, whole(i, j)) << i << ", " << j;
                }
                double self;
                variant.multiply({a.row(i).data(), length, 1}, 1, packed(a, i, 1).data(), 1, length, {&self, 0, 0},
                                 false);
                EXPECT_EQ(self, variant.norm(a.row(i).data(), length));
                // Lane p % 4 sums difference p: the same bits in every build.
                double lanes[4] = {};
                for (Eigen::Index p = 0; p < length; ++p) {
                    const double difference = a(i, p) - b(i, p);
                    lanes[p % 4] += difference * difference;
                }
                EXPECT_EQ(variant.distance(a.row(i).data(), b.row(i).data(), length),
                          (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]));
            }
            // Pairs taken together, in runs around the kernel's blocks: each as it is alone.
            std::vector<const double*> firsts, seconds;
            for (Eigen::Index i = 0; i < a.rows(); ++i) {
                firsts.push_back(a.row(i).data());
                seconds.push_back(b.row((3 * i) % b.rows()).data());
            }
            std::vector<double> together(firsts.size());
            variant.distances(firsts.data(), seconds.data(), a.rows(), length, together.data());
            for (Eigen::Index i = 0; i < a.rows(); ++i) {
                EXPECT_EQ(together[static_cast<std::size_t>(i)], variant.distance(firsts[static_cast<std::size_t>(i)],
                                                                                  seconds[static_cast<std::size_t>(i)], length));
            }
            // The length cut in two slices, the second continuing each chain: the same bits again.
            const Eigen::Index cut = length / 2;
            RowMajorMatrix sliced(a.rows(), b.rows());
            const RowMajorMatrix b_head = b.leftCols(cut), b_tail = b.rightCols(length - cut);
            variant.multiply({a.data(), length, 1}, a.rows(), packed(b_head, 0, b.rows()).data(), b.rows(), cut,
                             {sliced.data(), b.rows(), 1}, false);
            variant.multiply({a.data() + cut, length, 1}, a.rows(), packed(b_tail, 0, b.rows()).data(), b.rows(),
                             length - cut, {sliced.data(), b.rows(), 1}, true);
            EXPECT_TRUE(test::same(sliced, whole));
            // Each row alone against every group at once, in the same two slices: the same bits again.
            RowMajorMatrix rows_alone(a.rows(), b.rows());
            for (Eigen::Index i = 0; i < a.rows(); ++i) {
                variant.multiply({a.row(i).data(), length, 1}, 1, packed(b_head, 0, b.rows()).data(), b.rows(), cut,
                                 {rows_alone.row(i).data(), b.rows(), 1}, false);
                variant.multiply({a.row(i).data() + cut, length, 1}, 1, packed(b_tail, 0, b.rows()).data(), b.rows(),
                                 length - cut, {rows_alone.row(i).data(), b.rows(), 1}, true);
            }
            EXPECT_TRUE(test::same(rows_alone, whole));
            // The band kernel reads its packed rows as rows of the product too: in bands of 7 rows
            // and the same two slices, its lower triangle has the bits of multiply_packed.
            RowMajorMatrix expected(b.rows(), b.rows());
            variant.multiply({b.data(), length, 1}, b.rows(), packed(b, 0, b.rows()).data(), b.rows(), length,
                             {expected.data(), b.rows(), 1}, false);
            RowMajorMatrix banded = RowMajorMatrix::Zero(b.rows(), b.rows());
            for (Eigen::Index top = 0; top < b.rows(); top += 7) {
                const Eigen::Index height = std::min<Eigen::Index>(7, b.rows() - top);
                for (const auto& [slice, first, count] :
                     {std::tuple{packed(b_head, 0, b.rows()), Eigen::Index{0}, cut},
                      std::tuple{packed(b_tail, 0, b.rows()), cut, length - cut}}) {
                    variant.band(slice.data(), b.rows(), count, top, height, {banded.data(), b.rows(), 1});
                }
            }
            const auto lower = [](const RowMajorMatrix& m) { return Matrix(m.triangularView<Eigen::Lower>()); };
            EXPECT_TRUE(test::same(lower(banded), lower(expected)));
            // Boxes around the groups of 150 rows: a group is near when its gaps' squares, summed in p
            // order in single precision, are at most the limit, and no row of a group is nearer.
            const RowMajorMatrix rows = test::random_matrix(150, length, 65);
            const Eigen::Index groups = (rows.rows() + kSinglePanelRows - 1) / kSinglePanelRows;
            const Eigen::Index chunks = (groups + kBoxLanes - 1) / kBoxLanes;
            std::vector<float> boxes(static_cast<std::size_t>(chunks * 2 * kBoxLanes * length), 0.0f);
            std::vector<float> query(static_cast<std::size_t>(length));
            for (Eigen::Index p = 0; p < length; ++p) query[static_cast<std::size_t>(p)] = static_cast<float>(a(0, p) * 1e-3);
            std::vector<float> bounds(static_cast<std::size_t>(groups), 0.0f);
            for (Eigen::Index g = 0; g < groups; ++g) {
                const auto group = rows.middleRows(g * kSinglePanelRows,
                                                   std::min(kSinglePanelRows, rows.rows() - g * kSinglePanelRows));
                float* chunk = boxes.data() + g / kBoxLanes * 2 * kBoxLanes * length + g % kBoxLanes;
                for (Eigen::Index p = 0; p < length; ++p) {
                    const float low = static_cast<float>(group.col(p).minCoeff());
                    const float high = static_cast<float>(group.col(p).maxCoeff());
                    chunk[p * 2 * kBoxLanes] = low;
                    chunk[p * 2 * kBoxLanes + kBoxLanes] = high;
                    const float gap = std::max({low - query[static_cast<std::size_t>(p)],
                                                query[static_cast<std::size_t>(p)] - high, 0.0f});
                    bounds[static_cast<std::size_t>(g)] += gap * gap;
                }
            }
            std::vector<float> sorted = bounds;
            std::sort(sorted.begin(), sorted.end());
            const float limit = sorted[sorted.size() / 2];
            std::vector<std::ptrdiff_t> near(static_cast<std::size_t>(groups)), near_expected;
            for (Eigen::Index g = 0; g < groups; ++g) {
                if (bounds[static_cast<std::size_t>(g)] <= limit) near_expected.push_back(g);
            }
            const std::ptrdiff_t count = variant.near({query.data(), boxes.data(), groups, length, limit, near.data()});
            EXPECT_EQ(std::vector<std::ptrdiff_t>(near.begin(), near.begin() + count), near_expected);
            // Asked for, every group's bound comes out with the same bits, and the list is the same.
            std::vector<float> found_bounds(static_cast<std::size_t>(chunks * kBoxLanes), -1.0f);
            std::vector<std::ptrdiff_t> listed(static_cast<std::size_t>(groups));
            const std::ptrdiff_t listed_count =
                variant.near({query.data(), boxes.data(), groups, length, limit, listed.data(), found_bounds.data()});
            EXPECT_EQ(std::vector<std::ptrdiff_t>(listed.begin(), listed.begin() + listed_count), near_expected);
            for (Eigen::Index g = 0; g < groups; ++g) {
                EXPECT_EQ(std::memcmp(&found_bounds[static_cast<std::size_t>(g)], &bounds[static_cast<std::size_t>(g)],
                                      sizeof(float)), 0) << "group " << g;
            }
        }
    }
}

TEST(Kernels, EveryBuildGivesThePortableBuildsBits) {
    // One fused multiply-add after another in index order, whatever the vector width: products,
    // lone rows, the band's lower triangle and norms all have the portable build's bits. 30 rows
    // fill the widest register blocks and part of one; 37 columns end inside a group and a tile.
    const std::vector<Variant> all = variants();
    for (Eigen::Index length : {1, 7, 64, 300}) {
        const RowMajorMatrix a = test::random_matrix(30, length, 80) * 1e3;
        const RowMajorMatrix b = test::random_matrix(37, length, 81);
        const std::vector<double> b_packed = packed(b, 0, b.rows());
        const auto results = [&](const Variant& variant) {
            RowMajorMatrix product(a.rows(), b.rows()), lone(a.rows(), b.rows());
            RowMajorMatrix band = RowMajorMatrix::Zero(b.rows(), b.rows());
            Vector norms(a.rows());
            variant.multiply({a.data(), length, 1}, a.rows(), b_packed.data(), b.rows(), length,
                             {product.data(), b.rows(), 1}, false);
            for (Eigen::Index i = 0; i < a.rows(); ++i) {
                variant.multiply({a.row(i).data(), length, 1}, 1, b_packed.data(), b.rows(), length,
                                 {lone.row(i).data(), b.rows(), 1}, false);
                norms[i] = variant.norm(a.row(i).data(), length);
            }
            variant.band(b_packed.data(), b.rows(), length, 0, b.rows(), {band.data(), b.rows(), 1});
            return std::vector<Matrix>{product, lone, Matrix(band.triangularView<Eigen::Lower>()), norms};
        };
        const std::vector<Matrix> expected = results(all.front());
        for (const Variant& variant : all) {
            SCOPED_TRACE(std::string(variant.name) + ", length " + std::to_string(length));
            const std::vector<Matrix> found = results(variant);
            for (std::size_t k = 0; k < expected.size(); ++k) EXPECT_TRUE(test::same(found[k], expected[k])) << k;
        }
    }
}

TEST(Kernels, CodedScreenFlagsWhatTheFormulaOverTheCodesSays) {
    // Random rows below 2 in magnitude, read as codes: a row is flagged where 2 * dot - norm,
    // evaluated in double over the codes' values, lies above the limit at the
    // checkpoint and at the end, by more than single precision can blur; the limits cut the rows
    // about in half. The same with all the queries paired with every group and with every query
    // alone, reading the checkpoint's 16-bit codes and then its 8-bit ones, where the formula takes
    // the query's own 8-bit codes' values; the last coordinate's spread is small, so that its step
    // is finer than the others'.
    constexpr Eigen::Index n = 150, count = 4;
    const Eigen::Index groups = (n + kSinglePanelRows - 1) / kSinglePanelRows, flag_groups = (n + kPanelRows - 1) / kPanelRows;
    std::vector<std::ptrdiff_t> every_group(static_cast<std::size_t>(groups)), starts, paired;
    for (std::ptrdiff_t g = 0; g < groups; ++g) {
        every_group[static_cast<std::size_t>(g)] = g;
        starts.push_back(static_cast<std::ptrdiff_t>(paired.size()));
        for (std::ptrdiff_t q = 0; q < count; ++q) paired.push_back(q);
    }
    starts.push_back(static_cast<std::ptrdiff_t>(paired.size()));
    for (const Eigen::Index length : {1, 3, 8, 35}) {
        const Eigen::Index checkpoint = (length + 1) / 2, tail = length - checkpoint;
        RowMajorMatrix rows = test::random_matrix(n, length, 70).array().tanh() * 1.99;
        rows.col(checkpoint - 1) *= 0.01;
        const RowMajorMatrix queries = test::random_matrix(count, length, 71).cast<float>().cast<double>();
        const RowMajorMatrix coded_rows = (rows / kCodeStep).array().round() * kCodeStep;
        std::vector<double> steps;
        RowMajorMatrix coarse_rows = coded_rows;
        for (Eigen::Index p = 0; p < checkpoint; ++p) {
            steps.push_back(head_code_step(rows.col(p).cwiseAbs().maxCoeff()));
            coarse_rows.col(p) = (rows.col(p) / steps.back()).array().round() * steps.back();
        }
        std::vector<std::uint8_t> coarse(static_cast<std::size_t>(packed_bytes_size(n, checkpoint)));
        pack_rows_bytes({rows.data(), length, 1}, n, checkpoint, 1.0, steps.data(), coarse.data());
        const std::vector<float> float_steps(steps.begin(), steps.end());
        const Eigen::Index byte_length = (checkpoint + kByteLane - 1) / kByteLane * kByteLane;
        std::vector<std::int8_t> byte_queries(static_cast<std::size_t>(count * byte_length));
        std::vector<float> byte_scales;
        std::vector<std::int32_t> byte_offsets;
        std::vector<std::int16_t> codes(static_cast<std::size_t>(packed_single_size(n, checkpoint)));
        std::vector<std::int16_t> tails(static_cast<std::size_t>(packed_single_size(n, tail)));
        pack_rows_coded({rows.data(), length, 1}, n, checkpoint, 1.0, codes.data());
        pack_rows_coded({rows.data() + checkpoint, length, 1}, n, tail, 1.0, tails.data());
        std::vector<float> norms(static_cast<std::size_t>(n)), checkpoint_norms(norms.size());
        for (Eigen::Index j = 0; j < n; ++j) {
            norms[static_cast<std::size_t>(j)] = static_cast<float>(rows.row(j).squaredNorm());
            checkpoint_norms[static_cast<std::size_t>(j)] = static_cast<float>(rows.row(j).head(checkpoint).squaredNorm());
        }
        std::vector<float> single_queries(static_cast<std::size_t>(count * length)), coded_queries, limits,
            checkpoint_limits;
        Matrix at_checkpoint(count, n), at_end(count, n), coarse_at_checkpoint(count, n), coarse_at_end(count, n);
        for (Eigen::Index q = 0; q < count; ++q) {
            for (Eigen::Index p = 0; p < length; ++p) single_queries[static_cast<std::size_t>(q * length + p)] = static_cast<float>(queries(q, p));
            for (Eigen::Index p = 0; p < length; ++p) coded_queries.push_back(static_cast<float>(queries(q, p) * kCodeStep));
            const ByteQuery codes = code_query_bytes(single_queries.data() + q * length, float_steps.data(), checkpoint,
                                                     byte_queries.data() + q * byte_length);
            byte_scales.push_back(codes.scale);
            byte_offsets.push_back(codes.offset);
            Eigen::RowVectorXd coded_query = queries.row(q);
            for (Eigen::Index p = 0; p < checkpoint; ++p) {
                coded_query[p] = codes.scale * byte_queries[static_cast<std::size_t>(q * byte_length + p)] / steps[static_cast<std::size_t>(p)];
            }
            for (Eigen::Index j = 0; j < n; ++j) {
                const auto formula = [&](const Eigen::RowVectorXd& query, const RowMajorMatrix& values, Eigen::Index upto,
                                         const std::vector<float>& row_norms) {
                    return 2.0 * query.head(upto).dot(values.row(j).head(upto)) - row_norms[static_cast<std::size_t>(j)];
                };
                at_checkpoint(q, j) = formula(queries.row(q), coded_rows, checkpoint, checkpoint_norms);
                at_end(q, j) = formula(queries.row(q), coded_rows, length, norms);
                coarse_at_checkpoint(q, j) = formula(coded_query, coarse_rows, checkpoint, checkpoint_norms);
                coarse_at_end(q, j) = formula(coded_query, coarse_rows, length, norms);
            }
            const auto median = [](Vector values) {
                std::sort(values.begin(), values.end());
                return static_cast<float>(values[values.size() / 2]);
            };
            checkpoint_limits.push_back(median(at_checkpoint.row(q).transpose()));
            limits.push_back(median(at_end.row(q).transpose()));
        }
        for (const Variant& variant : variants()) {
            SCOPED_TRACE(std::string(variant.name) + ", length " + std::to_string(length));
            const auto screen = [&](Eigen::Index first, Eigen::Index queries_screened, const std::ptrdiff_t* pair_starts,
                                    const std::ptrdiff_t* pair_queries, bool bytes, std::uint8_t* flags) {
                variant.screen({single_queries.data() + first * length, queries_screened, limits.data() + first, nullptr,
                                norms.data(), n, length, flags, every_group.data(), groups, pair_starts, pair_queries,
                                checkpoint, checkpoint_norms.data(), checkpoint_limits.data() + first, tails.data(),
                                codes.data(), coded_queries.data() + first * length, bytes ? coarse.data() : nullptr,
                                byte_queries.data() + first * byte_length, byte_scales.data() + first,
                                byte_offsets.data() + first});
            };
            const auto check = [&](const Matrix& checkpoint_formula, const Matrix& end_formula,
                                   const std::vector<std::uint8_t>& flags) {
                Eigen::Index decided = 0;
                for (Eigen::Index q = 0; q < count; ++q) {
                    for (Eigen::Index j = 0; j < n; ++j) {
                        const double margin = 1e-4,
                                     c = checkpoint_formula(q, j) - checkpoint_limits[static_cast<std::size_t>(q)],
                                     e = end_formula(q, j) - limits[static_cast<std::size_t>(q)];
                        if (std::abs(c) < margin || (c > 0 && std::abs(e) < margin)) continue;
                        ++decided;
                        const std::size_t at = static_cast<std::size_t>(q * flag_groups + j / kPanelRows);
                        ASSERT_EQ((flags[at] >> (j % kPanelRows)) & 1u, unsigned{c > 0 && e > 0}) << q << ", " << j;
                    }
                }
                EXPECT_GT(decided, count * n * 9 / 10);
            };
            for (const bool bytes : {false, true}) {
                SCOPED_TRACE(bytes ? "8-bit" : "16-bit");
                std::vector<std::uint8_t> together(static_cast<std::size_t>(count * flag_groups)), alone(together.size());
                screen(0, count, starts.data(), paired.data(), bytes, together.data());
                for (Eigen::Index q = 0; q < count; ++q) screen(q, 1, nullptr, nullptr, bytes, alone.data() + q * flag_groups);
                check(bytes ? coarse_at_checkpoint : at_checkpoint, bytes ? coarse_at_end : at_end, together);
                check(bytes ? coarse_at_checkpoint : at_checkpoint, bytes ? coarse_at_end : at_end, alone);
            }
        }
    }
}

TEST(Kernels, ScreenFlagsTheRowsWithinEachBar) {
    // Sixteenths keep every product exact in single precision too, and every value a code, and the
    // rounding bound stays below 1/256: a row is flagged when its distance is at most the bar, never
    // when it is 1/256 beyond. 37 and 203 rows leave partial groups of both sizes; 203 also fill the
    // blocks of groups that a query alone takes.
    for (const Eigen::Index n : {37, 203}) {
        SCOPED_TRACE(std::to_string(n) + " rows");
        const Eigen::Index flag_groups = (n + kPanelRows - 1) / kPanelRows;
        const RowMajorMatrix queries = (test::random_matrix(9, 5, 62) * 20.0).array().round() / 16.0;
        const RowMajorMatrix rows = (test::random_matrix(n, 5, 63) * 20.0).array().round().min(31.0).max(-31.0) / 16.0;
        const Vector row_norms = rows.rowwise().squaredNorm();
        const Vector query_norms = queries.rowwise().squaredNorm();
        const Matrix distances = ((-2.0 * queries * rows.transpose()).rowwise() + row_norms.transpose()).colwise() +
                                 query_norms;
        std::vector<double> bars(9);
        std::vector<float> limits(9), single_queries(9 * 5);
        std::vector<float> single_norms(row_norms.data(), row_norms.data() + n);
        for (Eigen::Index q = 0; q < 9; ++q) {
            Vector sorted = distances.row(q).transpose();
            std::sort(sorted.begin(), sorted.end());
            bars[static_cast<std::size_t>(q)] = sorted[4 * q];  // from the nearest row to most of them
            limits[static_cast<std::size_t>(q)] =
                single_precision_limit(bars[static_cast<std::size_t>(q)], query_norms[q], row_norms.maxCoeff(), 5);
            for (Eigen::Index p = 0; p < 5; ++p) single_queries[static_cast<std::size_t>(q * 5 + p)] = queries(q, p);
        }
        // Every query paired with every group, then each query alone on every group; then pairs and
        // lone groups left out, whose flags must stay as they were.
        const std::ptrdiff_t groups = (n + kSinglePanelRows - 1) / kSinglePanelRows;
        std::vector<std::ptrdiff_t> every_group(static_cast<std::size_t>(groups)), starts, paired, some_starts,
            some_paired, every_other;
        for (std::ptrdiff_t g = 0; g < groups; ++g) {
            every_group[static_cast<std::size_t>(g)] = g;
            starts.push_back(static_cast<std::ptrdiff_t>(paired.size()));
            some_starts.push_back(static_cast<std::ptrdiff_t>(some_paired.size()));
            for (std::ptrdiff_t q = 0; q < 9; ++q) {
                paired.push_back(q);
                if ((q + g) % 2 == 0) some_paired.push_back(q);
            }
            if (g % 2 == 0) every_other.push_back(g);
        }
        starts.push_back(static_cast<std::ptrdiff_t>(paired.size()));
        some_starts.push_back(static_cast<std::ptrdiff_t>(some_paired.size()));
        const auto flag = [&](const std::vector<std::uint8_t>& flags, Eigen::Index q, Eigen::Index j) {
            return (flags[static_cast<std::size_t>(q * flag_groups + j / 8)] >> (j % 8)) & 1u;
        };
        // A checkpoint passes over no row within the bar, and the rows that pass it go on to the
        // same answer.
        for (const std::ptrdiff_t checkpoint : {0, 2, 4}) {
            const std::ptrdiff_t head = checkpoint == 0 ? 5 : checkpoint;
            std::vector<float> heads(static_cast<std::size_t>(packed_single_size(n, 5)));
            std::vector<std::int16_t> codes(static_cast<std::size_t>(packed_single_size(n, head)));
            std::vector<std::int16_t> tails(static_cast<std::size_t>(packed_single_size(n, 5 - head)));
            // Steps of 1/64 keep every sixteenth exact as an 8-bit code too, the queries' as well.
            const std::vector<double> steps(5, 1.0 / 64);
            const std::vector<float> float_steps(5, 1.0f / 64);
            std::vector<std::uint8_t> coarse(static_cast<std::size_t>(packed_bytes_size(n, head)));
            pack_rows_bytes({rows.data(), 5, 1}, n, head, 1.0, steps.data(), coarse.data());
            const std::ptrdiff_t byte_length = (checkpoint + kByteLane - 1) / kByteLane * kByteLane;
            std::vector<std::int8_t> byte_queries(static_cast<std::size_t>(9 * byte_length));
            std::vector<float> byte_scales(9);
            std::vector<std::int32_t> byte_offsets(9);
            pack_rows_single({rows.data(), 5, 1}, n, 5, 1.0, heads.data());
            pack_rows_coded({rows.data(), 5, 1}, n, head, 1.0, codes.data());
            pack_rows_coded({rows.data() + head, 5, 1}, n, 5 - head, 1.0, tails.data());
            std::vector<float> checkpoint_norms(static_cast<std::size_t>(n)), checkpoint_limits(9), coded_limits(9);
            std::vector<float> coded_queries(static_cast<std::size_t>(9 * 5));
            for (Eigen::Index j = 0; j < n; ++j) {
                checkpoint_norms[static_cast<std::size_t>(j)] = static_cast<float>(rows.row(j).head(checkpoint).squaredNorm());
            }
            const double coded_norm = coded_norm_bound(row_norms.maxCoeff(), kCodeError * std::sqrt(5.0));
            for (Eigen::Index q = 0; q < 9; ++q) {
                checkpoint_limits[static_cast<std::size_t>(q)] =
                    coded_limit(bars[static_cast<std::size_t>(q)], queries.row(q).head(checkpoint).squaredNorm(),
                                       coded_norm, checkpoint, checkpoint,
                                       kCodeError * queries.row(q).head(checkpoint).cwiseAbs().sum());
                coded_limits[static_cast<std::size_t>(q)] = checkpoint == 0 ? limits[static_cast<std::size_t>(q)]
                    : coded_limit(bars[static_cast<std::size_t>(q)], query_norms[q], coded_norm, 5, 5,
                                         kCodeError * queries.row(q).cwiseAbs().sum());
                for (Eigen::Index p = 0; p < 5; ++p) {
                    coded_queries[static_cast<std::size_t>(q * 5 + p)] = static_cast<float>(queries(q, p) * kCodeStep);
                }
                const ByteQuery codes = code_query_bytes(single_queries.data() + q * 5, float_steps.data(), checkpoint,
                                                         byte_queries.data() + q * byte_length);
                ASSERT_EQ(codes.error, 0.0);
                byte_scales[static_cast<std::size_t>(q)] = codes.scale;
                byte_offsets[static_cast<std::size_t>(q)] = codes.offset;
            }
            // Nine queries to a group are two blocks, which read its codes converted once.
            std::vector<float> converted(static_cast<std::size_t>(kSinglePanelRows * checkpoint));
            // The paired queries read the 16-bit codes, a query alone the 8-bit ones, and then the
            // other way round.
            const auto screen = [&](const Variant& variant, const float* query, std::ptrdiff_t count, std::uint8_t* flags, const std::vector<std::ptrdiff_t>& listed,
                                    const std::ptrdiff_t* pair_starts, const std::ptrdiff_t* pair_queries,
                                    bool bytes, float* converted_codes = nullptr) {
                const std::ptrdiff_t first = query - single_queries.data();
                variant.screen({query, count, coded_limits.data() + first / 5, heads.data(), single_norms.data(), n, 5,
                                flags, listed.data(), static_cast<std::ptrdiff_t>(listed.size()), pair_starts,
                                pair_queries, checkpoint, checkpoint_norms.data(), checkpoint_limits.data() + first / 5,
                                tails.data(), codes.data(), coded_queries.data() + first,
                                (count == 1) == bytes ? coarse.data() : nullptr,
                                byte_queries.data() + first / 5 * byte_length, byte_scales.data() + first / 5,
                                byte_offsets.data() + first / 5, converted_codes});
            };
            for (const Variant& variant : variants()) {
                for (const bool bytes : {true, false}) {
                    SCOPED_TRACE(std::string(variant.name) + ", checkpoint " + std::to_string(checkpoint) +
                                 (bytes ? ", 8-bit alone" : ", 8-bit paired"));
                    std::vector<std::uint8_t> candidates(static_cast<std::size_t>(9 * flag_groups), 0xff);
                    screen(variant, single_queries.data(), 9, candidates.data(), every_group, starts.data(),
                           paired.data(), bytes, converted.data());
                    std::vector<std::uint8_t> some(candidates.size(), 0xa5);
                    screen(variant, single_queries.data(), 9, some.data(), every_group, some_starts.data(),
                           some_paired.data(), bytes);
                    for (Eigen::Index q = 0; q < 9; ++q) {
                        std::vector<std::uint8_t> alone(static_cast<std::size_t>(flag_groups), 0xff);
                        screen(variant, single_queries.data() + q * 5, 1, alone.data(), every_group,
                               nullptr, nullptr, bytes);
                        std::vector<std::uint8_t> alone_some(alone.size(), 0xa5);
                        screen(variant, single_queries.data() + q * 5, 1, alone_some.data(), every_other,
                               nullptr, nullptr, bytes);
                        for (Eigen::Index j = 0; j < n; ++j) {
                            const bool within = distances(q, j) <= bars[static_cast<std::size_t>(q)];
                            const Eigen::Index g = j / kSinglePanelRows;
                            ASSERT_EQ(flag(candidates, q, j), within) << q << ", " << j;
                            ASSERT_EQ(flag(alone, 0, j), within) << q << ", " << j;
                            ASSERT_EQ(flag(some, q, j), (q + g) % 2 == 0 ? within : (0xa5 >> (j % 8)) & 1u) << q << ", " << j;
                            ASSERT_EQ(flag(alone_some, 0, j), g % 2 == 0 ? within : (0xa5 >> (j % 8)) & 1u) << q << ", " << j;
                        }
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace mirelo
