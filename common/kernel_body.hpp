// The kernels' body, written once for every instruction set. Each kernel build includes it
// inside a namespace of its own, after defining `Ops`: the vector type `V` of four doubles and
// zero, load, store, broadcast, multiply_add (a * b + c), distance ((n - 2 * d) + q) and
// not_below (lane mask of !(x >= bar)). No standard-library code is instantiated here, so no
// copy built for one instruction set can stand in for another at link time.

using Index = std::ptrdiff_t;
using V = Ops::V;

// Query or row blocks of this many share each load of a packed group.
constexpr int kBlockRows = 6;

inline Index smaller(Index a, Index b) { return a < b ? a : b; }

// acc[r] += a(r, p) * group(p) for p < length, one chain per lane, in p order.
template <int R>
inline __attribute__((always_inline)) void chains(const StridedRows& a, const double* group, Index length,
                                                  V (&acc)[R][2]) {
    for (Index p = 0; p < length; ++p) {
        const V low = Ops::load(group + p * kPanelRows);
        const V high = Ops::load(group + p * kPanelRows + 4);
#pragma GCC unroll 6
        for (int r = 0; r < R; ++r) {
            const V value = Ops::broadcast(a.data[r * a.row_stride + p * a.element_stride]);
            acc[r][0] = Ops::multiply_add(value, low, acc[r][0]);
            acc[r][1] = Ops::multiply_add(value, high, acc[r][1]);
        }
    }
}

template <int R>
void rows_against_groups(StridedRows a, const double* packed_b, Index b_rows, Index length, StridedOutput out,
                         bool accumulate) {
    for (Index first = 0; first < b_rows; first += kPanelRows) {
        const Index columns = smaller(kPanelRows, b_rows - first);
        double* corner = out.data + first * out.column_stride;
        V acc[R][2];
        double lanes[kPanelRows] = {};
        for (int r = 0; r < R; ++r) {
            if (accumulate) {
                for (Index c = 0; c < columns; ++c) lanes[c] = corner[r * out.row_stride + c * out.column_stride];
            }
            acc[r][0] = Ops::load(lanes);
            acc[r][1] = Ops::load(lanes + 4);
        }
        chains<R>(a, packed_b + first * length, length, acc);
        for (int r = 0; r < R; ++r) {
            Ops::store(lanes, acc[r][0]);
            Ops::store(lanes + 4, acc[r][1]);
            for (Index c = 0; c < columns; ++c) corner[r * out.row_stride + c * out.column_stride] = lanes[c];
        }
    }
}

void multiply_packed(StridedRows a, Index a_rows, const double* packed_b, Index b_rows, Index length,
                     StridedOutput out, bool accumulate) noexcept {
    for (Index first = 0; first < a_rows; first += kBlockRows) {
        const StridedRows block{a.data + first * a.row_stride, a.row_stride, a.element_stride};
        const StridedOutput block_out{out.data + first * out.row_stride, out.row_stride, out.column_stride};
        switch (smaller(kBlockRows, a_rows - first)) {
            case 6: rows_against_groups<6>(block, packed_b, b_rows, length, block_out, accumulate); break;
            case 5: rows_against_groups<5>(block, packed_b, b_rows, length, block_out, accumulate); break;
            case 4: rows_against_groups<4>(block, packed_b, b_rows, length, block_out, accumulate); break;
            case 3: rows_against_groups<3>(block, packed_b, b_rows, length, block_out, accumulate); break;
            case 2: rows_against_groups<2>(block, packed_b, b_rows, length, block_out, accumulate); break;
            default: rows_against_groups<1>(block, packed_b, b_rows, length, block_out, accumulate); break;
        }
    }
}

double squared_norm(const double* row, Index length) noexcept {
    V sum = Ops::zero();
    for (Index p = 0; p < length; ++p) {
        const V value = Ops::broadcast(row[p]);
        sum = Ops::multiply_add(value, value, sum);
    }
    double lanes[4];
    Ops::store(lanes, sum);
    return lanes[0];
}

template <int R>
void screen_block(const DistanceScreen& s, Index first_query) {
    const StridedRows queries{s.queries.data + first_query * s.queries.row_stride, s.queries.row_stride,
                              s.queries.element_stride};
    const Index groups = (s.row_count + kPanelRows - 1) / kPanelRows;
    const Index padded = groups * kPanelRows;
    V query_norms[R];
    V bars[R];
    for (int r = 0; r < R; ++r) {
        query_norms[r] = Ops::broadcast(s.query_norms[first_query + r]);
        bars[r] = Ops::broadcast(s.bars[first_query + r]);
    }
    for (Index g = 0; g < groups; ++g) {
        const Index first = g * kPanelRows;
        const Index rows = smaller(kPanelRows, s.row_count - first);
        double norms[kPanelRows] = {};
        for (Index c = 0; c < rows; ++c) norms[c] = s.row_norms[first + c];
        const unsigned valid = (1u << rows) - 1u;
        V acc[R][2];
        for (int r = 0; r < R; ++r) acc[r][0] = acc[r][1] = Ops::zero();
        chains<R>(queries, s.packed_rows + first * s.length, s.length, acc);
        const V low_norms = Ops::load(norms);
        const V high_norms = Ops::load(norms + 4);
        for (int r = 0; r < R; ++r) {
            const V low = Ops::distance(low_norms, acc[r][0], query_norms[r]);
            const V high = Ops::distance(high_norms, acc[r][1], query_norms[r]);
            const unsigned mask = (Ops::not_below(low, bars[r]) | (Ops::not_below(high, bars[r]) << 4)) & valid;
            const Index query = first_query + r;
            s.candidates[query * groups + g] = static_cast<std::uint8_t>(mask);
            if (mask != 0) {
                Ops::store(s.distances + query * padded + first, low);
                Ops::store(s.distances + query * padded + first + 4, high);
            }
        }
    }
}

void screen_distances(const DistanceScreen& s) noexcept {
    for (Index first = 0; first < s.query_count; first += kBlockRows) {
        switch (smaller(kBlockRows, s.query_count - first)) {
            case 6: screen_block<6>(s, first); break;
            case 5: screen_block<5>(s, first); break;
            case 4: screen_block<4>(s, first); break;
            case 3: screen_block<3>(s, first); break;
            case 2: screen_block<2>(s, first); break;
            default: screen_block<1>(s, first); break;
        }
    }
}
