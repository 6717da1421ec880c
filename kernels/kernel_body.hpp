// The kernels' body, written once for every instruction set. Each kernel build includes it
// inside a namespace of its own, after defining `Ops`:
// - V, the products' vector of kDoubleLanes doubles (4 or 8; a packed group is a whole number of
//   them), with zero, load, store, broadcast and multiply_add (a * b + c, one rounding), and
//   kBlockRows and kTileVectors, the rows and vectors of columns of a product's register tile;
// - Q, four doubles, which the distances sum in, with zero_quad, load_quad, store, subtract,
//   multiply and add, each rounded on its own, and load_first (the first `count` values, fewer
//   than four, then zeros, reading nothing past them);
// - F, eight floats, with load, broadcast, multiply_add, subtract, multiply, add, larger (of two
//   numbers), twice_less (2 * d - n, one rounding where the CPU fuses it), not_at_most (lane mask
//   of !(x <= limit)) and load_codes (sixteen 16-bit integers into two F, exactly);
// - D, a group's kSinglePanelRows integer dots, with zero_dots, B, one step of a group's 8-bit
//   codes as pack_rows_bytes lays them out, with load_bytes, add_byte_dots (D plus each row's
//   step times four signed 8-bit query codes, packed in an int32 with the first lowest, exactly)
//   and dot_floats (the dots less the codes' offset, times a scale, into two F).
// No standard-library code is instantiated here, so no copy built for one instruction set can
// stand in for another at link time.

using Index = std::ptrdiff_t;
using V = Ops::V;
using Q = Ops::Q;
using F = Ops::F;

constexpr Index kLanes = Ops::kDoubleLanes;
static_assert(kPanelRows % kLanes == 0, "a packed group is a whole number of vectors");
constexpr int kTileVectors = Ops::kTileVectors;
constexpr Index kTileColumns = kTileVectors * kLanes;
static_assert(kTileColumns % kPanelRows == 0, "a tile's columns are whole packed groups");
constexpr int kGroupVectors = kPanelRows / kLanes;
constexpr int kBlockRows = Ops::kBlockRows;
// Queries, pairs or groups the screen and the distances take at a time.
constexpr int kScreenBlock = 6;

inline Index smaller(Index a, Index b) { return a < b ? a : b; }

template <int R>
struct Block {
    static constexpr int rows = R;
};

// visit(Block<R>{}, first) for the last `rest` rows, R == rest, if 0 < rest <= Most.
template <int Most, class Visit>
inline __attribute__((always_inline)) void visit_rest(Index rest, Index first, Visit& visit) {
    if constexpr (Most > 0) {
        if (rest == Most) {
            visit(Block<Most>{}, first);
        } else {
            visit_rest<Most - 1>(rest, first, visit);
        }
    }
}

// visit(Block<R>{}, first) for consecutive blocks of at most Most of `count` rows.
template <int Most, class Visit>
inline __attribute__((always_inline)) void each_block(Index count, Visit&& visit) {
    Index first = 0;
    for (; first + Most <= count; first += Most) visit(Block<Most>{}, first);
    visit_rest<Most - 1>(count - first, first, visit);
}

// Value p of every row of a packed single-precision group, in two vectors: floats as they are,
// codes converted to floats.
inline __attribute__((always_inline)) void load_step(const float* group, Index p, F& low, F& high) {
    low = Ops::load(group + p * kSinglePanelRows);
    high = Ops::load(group + p * kSinglePanelRows + kPanelRows);
}
template <class Code>
inline __attribute__((always_inline)) void load_step(const Code* group, Index p, F& low, F& high) {
    Ops::load_codes(group + p * kSinglePanelRows, low, high);
}

// acc[r] += rows[r][p * element_stride] * group(p) for p < length: one chain per lane, in p order.
// A group holds two vectors' worth of rows.
template <int R, class T, class Packed>
inline __attribute__((always_inline)) void chains(const T* const (&rows)[R], Index element_stride,
                                                  const Packed* group, Index length, F (&acc)[R][2]) {
    for (Index p = 0; p < length; ++p) {
        F low, high;
        load_step(group, p, low, high);
#pragma GCC unroll 6
        for (int r = 0; r < R; ++r) {
            const F value = Ops::broadcast(rows[r][p * element_stride]);
            acc[r][0] = Ops::multiply_add(value, low, acc[r][0]);
            acc[r][1] = Ops::multiply_add(value, high, acc[r][1]);
        }
    }
}

// Where vector k of the W vectors of columns from packed group `group` on has its value 0: the
// columns run on through consecutive groups, each `length` steps of kPanelRows values.
template <int W>
inline __attribute__((always_inline)) void column_vectors(const double* group, Index length,
                                                          const double* (&columns)[W]) {
    for (int k = 0; k < W; ++k) {
        columns[k] = group + k * kLanes / kPanelRows * kPanelRows * length + k * kLanes % kPanelRows;
    }
}

// A product's R rows, each read through a pointer of its own: value p of row r is
// rows[r][p * element_stride].
template <int R>
struct SpreadRows {
    const double* rows[R];
    Index element_stride;
    double at(int r, Index p) const { return rows[r][p * element_stride]; }
};

// The rows of one whole packed group, read through the group's pointer alone, so that a tile of
// them needs one register for its rows however many there are.
struct GroupRows {
    const double* group;
    double at(int r, Index p) const { return group[p * kPanelRows + r]; }
};

// acc[r][k] += rows.at(r, p) * (vector k of the columns at step p) for p < length: one chain per
// lane, in p order.
template <int R, int W, class Rows>
inline __attribute__((always_inline)) void product_chains(const Rows& rows, const double* group, Index length,
                                                          V (&acc)[R][W]) {
    const double* columns[W];
    column_vectors(group, length, columns);
    for (Index p = 0; p < length; ++p) {
        V values[W];
        for (int k = 0; k < W; ++k) values[k] = Ops::load(columns[k] + p * kPanelRows);
#pragma GCC unroll 16
        for (int r = 0; r < R; ++r) {
            const V value = Ops::broadcast(rows.at(r, p));
            for (int k = 0; k < W; ++k) acc[r][k] = Ops::multiply_add(value, values[k], acc[r][k]);
        }
    }
}

template <int R>
inline __attribute__((always_inline)) SpreadRows<R> spread_rows(const double* first, Index row_stride,
                                                                Index element_stride) {
    SpreadRows<R> rows;
    for (int r = 0; r < R; ++r) rows.rows[r] = first + r * row_stride;
    rows.element_stride = element_stride;
    return rows;
}

// out(r, c) (+)= the chain of rows[r] with column c of W vectors of packed columns, for c <
// columns. Whole vectors of contiguous outputs are read and written in place, others through
// lanes.
template <int R, int W, class Rows>
inline __attribute__((always_inline)) void tile(const Rows& rows, const double* group, Index length, Index columns,
                                                StridedOutput out, bool accumulate) {
    const bool in_place = columns == W * kLanes && out.column_stride == 1;
    V acc[R][W];
    double lanes[W * kLanes] = {};
    for (int r = 0; r < R; ++r) {
        const double* source = in_place ? out.data + r * out.row_stride : lanes;
        if (accumulate && !in_place) {
            for (Index c = 0; c < columns; ++c) lanes[c] = out.data[r * out.row_stride + c * out.column_stride];
        }
        for (int k = 0; k < W; ++k) acc[r][k] = accumulate ? Ops::load(source + k * kLanes) : Ops::zero();
    }
    product_chains<R, W>(rows, group, length, acc);
    for (int r = 0; r < R; ++r) {
        double* target = in_place ? out.data + r * out.row_stride : lanes;
        for (int k = 0; k < W; ++k) Ops::store(target + k * kLanes, acc[r][k]);
        if (!in_place) {
            for (Index c = 0; c < columns; ++c) out.data[r * out.row_stride + c * out.column_stride] = lanes[c];
        }
    }
}

// tile over the packed columns from `group` on, at most kTileColumns of them: as many vectors as
// the groups the columns reach, so that no group past the last is read.
template <int R, int W = kTileVectors, class Rows>
inline __attribute__((always_inline)) void tile_from(const Rows& rows, const double* group, Index length,
                                                     Index columns, StridedOutput out, bool accumulate) {
    if constexpr (W > kGroupVectors) {
        if (columns <= (W - kGroupVectors) * kLanes) {
            tile_from<R, W - kGroupVectors>(rows, group, length, columns, out, accumulate);
            return;
        }
    }
    tile<R, W>(rows, group, length, columns, out, accumulate);
}

template <int R>
void rows_against_groups(StridedRows a, const double* packed_b, Index b_rows, Index length, StridedOutput out,
                         bool accumulate) {
    const SpreadRows<R> rows = spread_rows<R>(a.data, a.row_stride, a.element_stride);
    for (Index first = 0; first < b_rows; first += kTileColumns) {
        tile_from<R>(rows, packed_b + first * length, length, smaller(kTileColumns, b_rows - first),
                     {out.data + first * out.column_stride, out.row_stride, out.column_stride}, accumulate);
    }
}

// A lone row against up to kBlockRows groups at once, their chains side by side, so that the row
// is not held to the latency of one group's chains; each chain is the one a tile forms.
void row_against_groups(StridedRows a, const double* packed_b, Index b_rows, Index length, StridedOutput out,
                        bool accumulate) {
    each_block<kBlockRows>((b_rows + kPanelRows - 1) / kPanelRows, [&](auto block, Index first) {
        constexpr int G = decltype(block)::rows;
        V acc[G][kGroupVectors];
        double lanes[G][kPanelRows] = {};
        for (int g = 0; g < G; ++g) {
            const Index column = (first + g) * kPanelRows;
            for (Index c = 0; accumulate && c < smaller(kPanelRows, b_rows - column); ++c) {
                lanes[g][c] = out.data[(column + c) * out.column_stride];
            }
            for (int k = 0; k < kGroupVectors; ++k) acc[g][k] = Ops::load(lanes[g] + k * kLanes);
        }
        const double* group = packed_b + first * kPanelRows * length;
        for (Index p = 0; p < length; ++p) {
            const V value = Ops::broadcast(a.data[p * a.element_stride]);
#pragma GCC unroll 16
            for (int g = 0; g < G; ++g) {
                const double* values = group + (g * length + p) * kPanelRows;
                for (int k = 0; k < kGroupVectors; ++k) {
                    acc[g][k] = Ops::multiply_add(value, Ops::load(values + k * kLanes), acc[g][k]);
                }
            }
        }
        for (int g = 0; g < G; ++g) {
            const Index column = (first + g) * kPanelRows;
            for (int k = 0; k < kGroupVectors; ++k) Ops::store(lanes[g] + k * kLanes, acc[g][k]);
            for (Index c = 0; c < smaller(kPanelRows, b_rows - column); ++c) {
                out.data[(column + c) * out.column_stride] = lanes[g][c];
            }
        }
    });
}

void multiply_packed(StridedRows a, Index a_rows, const double* packed_b, Index b_rows, Index length,
                     StridedOutput out, bool accumulate) noexcept {
    if (a_rows == 1) {
        row_against_groups(a, packed_b, b_rows, length, out, accumulate);
        return;
    }
    each_block<kBlockRows>(a_rows, [&](auto block, Index first) {
        rows_against_groups<decltype(block)::rows>({a.data + first * a.row_stride, a.row_stride, a.element_stride},
                                                   packed_b, b_rows, length,
                                                   {out.data + first * out.row_stride, out.row_stride,
                                                    out.column_stride},
                                                   accumulate);
    });
}

void products_lower_band(const double* packed, Index count, Index length, Index top, Index height,
                         StridedOutput out) noexcept {
    // The band's rows are read where they were packed, value p of an item kPanelRows values after
    // value p - 1, and the band stays in the second-level cache; one tile's packed columns at a
    // time stay in the first-level cache while every block of the band passes over them.
    for (Index first = 0; first < top + height; first += kTileColumns) {
        const double* group = packed + first * length;
        const Index columns = smaller(kTileColumns, count - first);
        each_block<kBlockRows>(height, [&](auto block, Index offset) {
            constexpr int R = decltype(block)::rows;
            const Index row = top + offset;
            if (row + R <= first) {
                return;  // wholly above the diagonal
            }
            const StridedOutput tile_out{out.data + row * out.row_stride + first * out.column_stride,
                                         out.row_stride, out.column_stride};
            if constexpr (R == kPanelRows) {
                if (row % kPanelRows == 0) {
                    tile_from<R>(GroupRows{packed + row * length}, group, length, columns, tile_out, true);
                    return;
                }
            }
            SpreadRows<R> rows;
            for (int r = 0; r < R; ++r) {
                const Index item = row + r;
                rows.rows[r] = packed + (item - item % kPanelRows) * length + item % kPanelRows;
            }
            rows.element_stride = kPanelRows;
            tile_from<R>(rows, group, length, columns, tile_out, true);
        });
    }
}

double squared_norm(const double* row, Index length) noexcept {
    V sum = Ops::zero();
    for (Index p = 0; p < length; ++p) {
        const V value = Ops::broadcast(row[p]);
        sum = Ops::multiply_add(value, value, sum);
    }
    double lanes[kLanes];
    Ops::store(lanes, sum);
    return lanes[0];
}

// Four chains per pair, lane p % 4 summing the squares of differences p, in p order; a row's
// tail is padded with zeros, which leave a sum unchanged. R pairs go side by side so that their
// chains' latencies overlap; each pair's sum is the same as alone.
template <int R>
inline __attribute__((always_inline)) void distance_chains(const double* const* a, const double* const* b,
                                                           Index length, double* out) {
    Q sums[R];
    for (int r = 0; r < R; ++r) sums[r] = Ops::zero_quad();
    Index p = 0;
    for (; p + 4 <= length; p += 4) {
        for (int r = 0; r < R; ++r) {
            const Q difference = Ops::subtract(Ops::load_quad(a[r] + p), Ops::load_quad(b[r] + p));
            sums[r] = Ops::add(sums[r], Ops::multiply(difference, difference));
        }
    }
    if (p < length) {
        for (int r = 0; r < R; ++r) {
            const Q difference =
                Ops::subtract(Ops::load_first(a[r] + p, length - p), Ops::load_first(b[r] + p, length - p));
            sums[r] = Ops::add(sums[r], Ops::multiply(difference, difference));
        }
    }
    for (int r = 0; r < R; ++r) {
        double lanes[4];
        Ops::store(lanes, sums[r]);
        out[r] = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
    }
}

double squared_distance(const double* a, const double* b, Index length) noexcept {
    double distance;
    distance_chains<1>(&a, &b, length, &distance);
    return distance;
}

void squared_distances(const double* const* a, const double* const* b, Index count, Index length,
                       double* out) noexcept {
    each_block<kScreenBlock>(count, [&](auto block, Index first) {
        distance_chains<decltype(block)::rows>(a + first, b + first, length, out + first);
    });
}

// Loads n values, zeros past `count`, into two vectors.
template <class Vec, class T>
inline __attribute__((always_inline)) void load_padded(const T* values, Index count, Vec& low, Vec& high) {
    constexpr Index lanes = sizeof(Vec) / sizeof(T);
    T padded[2 * lanes] = {};
    if (count < 2 * lanes) {
        for (Index c = 0; c < count; ++c) padded[c] = values[c];
        values = padded;
    }
    low = Ops::load(values);
    high = Ops::load(values + lanes);
}

inline unsigned valid_rows(Index rows) { return (1u << rows) - 1u; }

// The rows of group g whose 2 * dot - norm, from their two vectors of dot products, is not at
// most `limit`: bit r for row r of the group.
inline __attribute__((always_inline)) unsigned passing(const SingleScreen& s, const float* norms, Index g, float limit,
                                                       F low, F high) {
    const Index rows = smaller(kSinglePanelRows, s.row_count - g * kSinglePanelRows);
    F low_norms, high_norms;
    load_padded(norms + g * kSinglePanelRows, rows, low_norms, high_norms);
    const F bound = Ops::broadcast(limit);
    return (Ops::not_at_most(Ops::twice_less(low, low_norms), bound) |
            (Ops::not_at_most(Ops::twice_less(high, high_norms), bound) << 8)) &
           valid_rows(rows);
}

inline void set_flags(const SingleScreen& s, Index flag_groups, Index g, Index query, unsigned mask) {
    std::uint8_t* flags = s.candidates + query * flag_groups + 2 * g;
    flags[0] = static_cast<std::uint8_t>(mask);
    if (2 * g + 1 < flag_groups) {
        flags[1] = static_cast<std::uint8_t>(mask >> 8);
    }
}

// The rows of group g that pass the checkpoint's test for `query`; all of them without one.
inline __attribute__((always_inline)) unsigned checkpoint_passing(const SingleScreen& s, Index g, Index query, F low,
                                                                  F high) {
    return s.checkpoint == 0 ? valid_rows(smaller(kSinglePanelRows, s.row_count - g * kSinglePanelRows))
                             : passing(s, s.checkpoint_norms, g, s.checkpoint_limits[query], low, high);
}

// acc[g] += query . (the `length` values of packed[g]), one chain per group and lane.
template <int G, class Packed>
inline __attribute__((always_inline)) void group_chains(const float* query, const Packed* const (&packed)[G],
                                                        Index length, F (&acc)[G][2]) {
    for (Index p = 0; p < length; ++p) {
        const F value = Ops::broadcast(query[p]);
#pragma GCC unroll 6
        for (int g = 0; g < G; ++g) {
            F low, high;
            load_step(packed[g], p, low, high);
            acc[g][0] = Ops::multiply_add(value, low, acc[g][0]);
            acc[g][1] = Ops::multiply_add(value, high, acc[g][1]);
        }
    }
}

// group_chains over the first `length` values of listed groups groups[g] of `rows`.
template <int G, class Packed>
inline __attribute__((always_inline)) void listed_chains(const float* query, const Packed* rows, Index length,
                                                         const Index* groups, F (&acc)[G][2]) {
    const Packed* packed[G];
    for (int g = 0; g < G; ++g) packed[g] = rows + groups[g] * kSinglePanelRows * length;
    group_chains<G>(query, packed, length, acc);
}

// Steps of kByteLane values in the checkpoint's 8-bit codes.
inline Index byte_steps(const SingleScreen& s) { return (s.checkpoint + kByteLane - 1) / kByteLane; }

inline std::int32_t query_step(const SingleScreen& s, Index query, Index step) {
    std::int32_t four;
    __builtin_memcpy(&four, s.byte_queries + (query * byte_steps(s) + step) * kByteLane, sizeof four);
    return four;
}

// acc[g] = the dot of `query` with group packed[g] over the checkpoint's 8-bit codes: exact
// integer sums, one chain per group, then scaled into floats.
template <int G>
inline __attribute__((always_inline)) void group_byte_dots(const SingleScreen& s, Index query,
                                                           const std::uint8_t* const (&packed)[G], F (&acc)[G][2]) {
    typename Ops::D dots[G];
    for (int g = 0; g < G; ++g) dots[g] = Ops::zero_dots();
    for (Index k = 0; k < byte_steps(s); ++k) {
        const std::int32_t four = query_step(s, query, k);
#pragma GCC unroll 6
        for (int g = 0; g < G; ++g) {
            dots[g] = Ops::add_byte_dots(dots[g], Ops::load_bytes(packed[g] + k * kSinglePanelRows * kByteLane), four);
        }
    }
    for (int g = 0; g < G; ++g) Ops::dot_floats(dots[g], s.byte_offsets[query], s.byte_scales[query], acc[g][0], acc[g][1]);
}

// The same for queries[r] with one group, which every query of the block takes from one load.
template <int R>
inline __attribute__((always_inline)) void query_byte_dots(const SingleScreen& s, const Index* queries,
                                                           const std::uint8_t* group, F (&acc)[R][2]) {
    typename Ops::D dots[R];
    for (int r = 0; r < R; ++r) dots[r] = Ops::zero_dots();
    for (Index k = 0; k < byte_steps(s); ++k) {
        const typename Ops::B step = Ops::load_bytes(group + k * kSinglePanelRows * kByteLane);
#pragma GCC unroll 6
        for (int r = 0; r < R; ++r) dots[r] = Ops::add_byte_dots(dots[r], step, query_step(s, queries[r], k));
    }
    for (int r = 0; r < R; ++r) {
        Ops::dot_floats(dots[r], s.byte_offsets[queries[r]], s.byte_scales[queries[r]], acc[r][0], acc[r][1]);
    }
}

// A group's 8-bit codes.
inline const std::uint8_t* group_bytes(const SingleScreen& s, Index g) {
    return s.packed_bytes + g * kSinglePanelRows * byte_steps(s) * kByteLane;
}

// acc[g] = the first query's dot with listed group groups[g] over the leading values: the whole
// rows without a checkpoint, the checkpoint's 8-bit codes with one where there are any, its
// 16-bit codes otherwise.
template <int G>
inline __attribute__((always_inline)) void head_chains(const SingleScreen& s, const Index* groups, F (&acc)[G][2]) {
    if (s.checkpoint == 0) {
        listed_chains<G>(s.queries, s.packed_rows, s.length, groups, acc);
    } else if (s.packed_bytes != nullptr) {
        const std::uint8_t* packed[G];
        for (int g = 0; g < G; ++g) packed[g] = group_bytes(s, groups[g]);
        group_byte_dots<G>(s, 0, packed, acc);
    } else {
        listed_chains<G>(s.coded_queries, s.packed_codes, s.checkpoint, groups, acc);
    }
}

// Listed groups a query alone takes at a time: the chains of those that pass the checkpoint wait
// on the stack.
constexpr Index kLoneGroups = 48;

// How near the processor a fetch_group brings the values: kNearest into every cache level;
// kSecondLevel asks for the second level and beyond only, for values read after many others.
constexpr int kNearest = 3;
constexpr int kSecondLevel = 2;

// Asks for `count` values ahead of their use: the listed groups lie apart, and the hardware
// cannot guess which comes next.
template <int Level = kNearest, class T>
inline void fetch_values(const T* values, Index count) {
    const char* bytes = reinterpret_cast<const char*>(values);
    const Index size = count * static_cast<Index>(sizeof(T));
    for (Index b = 0; b < size; b += 64) __builtin_prefetch(bytes + b, 0, Level);
    __builtin_prefetch(bytes + size - 1, 0, Level);
}

// A packed group's `length` values.
template <int Level = kNearest, class Packed>
inline void fetch_group(const Packed* group, Index length) {
    fetch_values<Level>(group, length * kSinglePanelRows);
}

// How many listed groups ahead a query alone asks for the leading values of. Whole rows come into
// the first-level cache, which a few groups fill. Codes are fewer bytes and come to the second
// level; they are read from stores too large for the caches, where each group's is a miss to
// memory, so they are asked for further ahead.
inline Index fetch_ahead(const SingleScreen& s) { return s.checkpoint == 0 ? 12 : 24; }

// fetch_group on the leading values of listed group i, if there is one, and with codes the norms
// their test reads.
inline void fetch_head(const SingleScreen& s, Index i) {
    if (i >= s.group_count) return;
    const Index g = s.groups[i];
    if (s.checkpoint == 0) {
        fetch_group(s.packed_rows + g * kSinglePanelRows * s.length, s.length);
        return;
    }
    fetch_values<kSecondLevel>(s.checkpoint_norms + g * kSinglePanelRows, kSinglePanelRows);
    if (s.packed_bytes != nullptr) {
        fetch_group<kSecondLevel>(group_bytes(s, g), byte_steps(s) * kByteLane);
    } else {
        fetch_group<kSecondLevel>(s.packed_codes + g * kSinglePanelRows * s.checkpoint, s.checkpoint);
    }
}

// A query alone on listed groups `first` to `first + count`: blocks of groups, each group in
// chains of its own, so that the chains' latencies overlap. The groups that pass the checkpoint
// go on from where it left their chains.
void lone_query_groups(const SingleScreen& s, Index flag_groups, Index first, Index count) noexcept {
    const Index checkpoint = s.checkpoint == 0 ? s.length : s.checkpoint;
    const Index tail = s.length - checkpoint;
    Index going_on[kLoneGroups];
    unsigned kept_rows[kLoneGroups];
    F saved[kLoneGroups][2];
    Index kept = 0;
    each_block<kScreenBlock>(count, [&](auto block, Index offset) {
        constexpr int G = decltype(block)::rows;
        F acc[G][2];
        for (int g = 0; g < G; ++g) acc[g][0] = acc[g][1] = Ops::zero_single();
        for (int g = 0; g < G; ++g) fetch_head(s, first + offset + g + fetch_ahead(s));
        head_chains<G>(s, s.groups + first + offset, acc);
        for (int g = 0; g < G; ++g) {
            const Index group = s.groups[first + offset + g];
            const unsigned rows = checkpoint_passing(s, group, 0, acc[g][0], acc[g][1]);
            // Most groups end at the checkpoint, and their rows' norms are left unread.
            if (rows == 0 || tail == 0) {
                set_flags(s, flag_groups, group, 0,
                          rows == 0 ? 0u : rows & passing(s, s.row_norms, group, s.limits[0], acc[g][0], acc[g][1]));
                continue;
            }
            // Read only once the whole run has passed the checkpoint: in the first-level cache
            // they would push out the codes of the groups still to come.
            fetch_group<kSecondLevel>(s.packed_tails + group * kSinglePanelRows * tail, tail);
            fetch_values<kSecondLevel>(s.row_norms + group * kSinglePanelRows, kSinglePanelRows);
            going_on[kept] = group;
            kept_rows[kept] = rows;
            saved[kept][0] = acc[g][0];
            saved[kept++][1] = acc[g][1];
        }
    });
    each_block<kScreenBlock>(kept, [&](auto block, Index offset) {
        constexpr int G = decltype(block)::rows;
        const std::int16_t* packed[G];
        F acc[G][2];
        for (int g = 0; g < G; ++g) {
            packed[g] = s.packed_tails + going_on[offset + g] * kSinglePanelRows * tail;
            acc[g][0] = saved[offset + g][0];
            acc[g][1] = saved[offset + g][1];
        }
        group_chains<G>(s.coded_queries + checkpoint, packed, tail, acc);
        for (int g = 0; g < G; ++g) {
            const Index group = going_on[offset + g];
            set_flags(s, flag_groups, group, 0,
                      kept_rows[offset + g] & passing(s, s.row_norms, group, s.limits[0], acc[g][0], acc[g][1]));
        }
    });
}

// A group's leading values, read from codes, as floats in the packing's layout.
inline void convert_codes(const std::int16_t* codes, Index length, float* out) {
    for (Index p = 0; p < length; ++p) {
        F low, high;
        Ops::load_codes(codes + p * kSinglePanelRows, low, high);
        Ops::store(out + p * kSinglePanelRows, low);
        Ops::store(out + p * kSinglePanelRows + kPanelRows, high);
    }
}

// One group against blocks of its listed queries, which share each load of it; a block whose
// queries all pass over the group at the checkpoint reads no further. The codes of a group that
// more than one block meets are converted once for all of them: the same values, so the same
// chains.
void group_queries(const SingleScreen& s, Index flag_groups, Index i) noexcept {
    const Index g = s.groups[i];
    const Index count = s.pair_starts[i + 1] - s.pair_starts[i];
    const Index* queries = s.pair_queries + s.pair_starts[i];
    const Index checkpoint = s.checkpoint == 0 ? s.length : s.checkpoint;
    const Index tail = s.length - checkpoint;
    const bool bytes = s.checkpoint > 0 && s.packed_bytes != nullptr;
    const std::int16_t* codes =
        s.checkpoint == 0 || bytes ? nullptr : s.packed_codes + g * kSinglePanelRows * checkpoint;
    const bool converted = codes != nullptr && s.converted_codes != nullptr && count > kScreenBlock;
    if (converted) convert_codes(codes, checkpoint, s.converted_codes);
    each_block<kScreenBlock>(count, [&](auto block, Index first) {
        constexpr int R = decltype(block)::rows;
        F acc[R][2];
        const float* rows[R];
        unsigned kept[R];
        unsigned any = 0;
        for (int r = 0; r < R; ++r) acc[r][0] = acc[r][1] = Ops::zero_single();
        if (s.checkpoint == 0) {
            for (int r = 0; r < R; ++r) rows[r] = s.queries + queries[first + r] * s.length;
            chains<R>(rows, 1, s.packed_rows + g * kSinglePanelRows * s.length, s.length, acc);
        } else if (bytes) {
            query_byte_dots<R>(s, queries + first, group_bytes(s, g), acc);
        } else {
            for (int r = 0; r < R; ++r) rows[r] = s.coded_queries + queries[first + r] * s.length;
            if (converted) {
                chains<R>(rows, 1, static_cast<const float*>(s.converted_codes), checkpoint, acc);
            } else {
                chains<R>(rows, 1, codes, checkpoint, acc);
            }
        }
        for (int r = 0; r < R; ++r) any |= kept[r] = checkpoint_passing(s, g, queries[first + r], acc[r][0], acc[r][1]);
        if (any != 0 && tail > 0) {
            for (int r = 0; r < R; ++r) rows[r] = s.coded_queries + queries[first + r] * s.length + checkpoint;
            chains<R>(rows, 1, s.packed_tails + g * kSinglePanelRows * tail, tail, acc);
        }
        for (int r = 0; r < R; ++r) {
            const Index query = queries[first + r];
            set_flags(s, flag_groups, g, query,
                      kept[r] == 0 ? 0u : kept[r] & passing(s, s.row_norms, g, s.limits[query], acc[r][0], acc[r][1]));
        }
    });
}

void screen_single(const SingleScreen& s) noexcept {
    static_assert(kSinglePanelRows == 2 * kPanelRows, "each single-precision group is two flag groups");
    const Index flag_groups = (s.row_count + kPanelRows - 1) / kPanelRows;
    if (s.pair_starts == nullptr) {
        // The first groups' codes are asked for together, rather than each as it is reached.
        for (Index i = 0; s.checkpoint > 0 && i < fetch_ahead(s); ++i) fetch_head(s, i);
        for (Index first = 0; first < s.group_count; first += kLoneGroups) {
            lone_query_groups(s, flag_groups, first, smaller(kLoneGroups, s.group_count - first));
        }
        return;
    }
    for (Index i = 0; i < s.group_count; ++i) group_queries(s, flag_groups, i);
}

// Chunks of boxes a few at a time, each in a chain of its own, so that the chains' latencies overlap.
Index near_boxes(const NearBoxes& s) noexcept {
    static_assert(kBoxLanes * sizeof(float) == sizeof(F), "one chunk a vector");
    constexpr int kTogether = 4;
    const Index chunks = (s.groups + kBoxLanes - 1) / kBoxLanes;
    const Index chunk_size = 2 * kBoxLanes * s.length;
    const F limit = Ops::broadcast(s.limit);
    Index count = 0;
    for (Index first = 0; first < chunks; first += kTogether) {
        const int together = static_cast<int>(smaller(kTogether, chunks - first));
        F sums[kTogether];
        for (int c = 0; c < kTogether; ++c) sums[c] = Ops::zero_single();
        for (Index p = 0; p < s.length; ++p) {
            const F value = Ops::broadcast(s.query[p]);
            for (int c = 0; c < together; ++c) {
                const float* box = s.boxes + (first + c) * chunk_size + p * 2 * kBoxLanes;
                const F gap = Ops::larger(Ops::larger(Ops::subtract(Ops::load(box), value),
                                                      Ops::subtract(value, Ops::load(box + kBoxLanes))),
                                          Ops::zero_single());
                sums[c] = Ops::add(sums[c], Ops::multiply(gap, gap));
            }
        }
        for (int c = 0; c < together; ++c) {
            const Index group = (first + c) * kBoxLanes;
            if (s.bounds != nullptr) Ops::store(s.bounds + group, sums[c]);
            unsigned near = ~Ops::not_at_most(sums[c], limit) & ((1u << smaller(kBoxLanes, s.groups - group)) - 1u);
            for (; near != 0; near &= near - 1) s.near[count++] = group + __builtin_ctz(near);
        }
    }
    return count;
}
