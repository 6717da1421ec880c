// The kernels for any CPU. The products' multiply-adds are fused, as the other builds' are, so
// that their bits do not depend on the CPU; where the target lacks the instruction the library
// computes them exactly in software. The screen's single-precision chains round the multiply
// before the add: its bound allows for that, and it decides no bits of an answer.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "kernel_variants.hpp"

namespace mirelo::portable_kernels {
namespace {

template <class L, class MultiplyAdd>
L lanes_multiply_add(L a, const L& b, const L& c, MultiplyAdd multiply_add) {
    for (unsigned i = 0; i < std::size(a.lane); ++i) a.lane[i] = multiply_add(a.lane[i], b.lane[i], c.lane[i]);
    return a;
}

template <class L, class Op>
L lanewise(L a, const L& b, Op op) {
    for (unsigned i = 0; i < std::size(a.lane); ++i) a.lane[i] = op(a.lane[i], b.lane[i]);
    return a;
}

// Plain arrays rather than vector types, so nothing here depends on a vector ABI; the
// compiler maps the lane loops onto whatever the target has.
struct Ops {
    struct V {
        double lane[4];
    };
    static constexpr int kDoubleLanes = 4;
    static constexpr int kBlockRows = 6;
    static constexpr int kTileVectors = 2;
    static V zero() { return V{}; }
    static V load(const double* p) { return {{p[0], p[1], p[2], p[3]}}; }
    using Q = V;
    static Q zero_quad() { return zero(); }
    static Q load_quad(const double* p) { return load(p); }
    static V load_first(const double* p, std::ptrdiff_t count) {
        V v{};
        for (std::ptrdiff_t i = 0; i < 4; ++i) v.lane[i] = i < count ? p[i] : 0.0;
        return v;
    }
    static void store(double* p, V v) { std::memcpy(p, v.lane, sizeof v.lane); }
    static V broadcast(double x) { return {{x, x, x, x}}; }
    static V multiply_add(V a, V b, V c) {
        return lanes_multiply_add(a, b, c, [](double x, double y, double z) { return std::fma(x, y, z); });
    }
    static V subtract(V a, V b) { return lanewise(a, b, [](double x, double y) { return x - y; }); }
    static V multiply(V a, V b) { return lanewise(a, b, [](double x, double y) { return x * y; }); }
    static V add(V a, V b) { return lanewise(a, b, [](double x, double y) { return x + y; }); }

    struct F {
        float lane[8];
    };
    static F zero_single() { return F{}; }
    static F load(const float* p) {
        F v;
        std::memcpy(v.lane, p, sizeof v.lane);
        return v;
    }
    static void store(float* p, F v) { std::memcpy(p, v.lane, sizeof v.lane); }
    static F broadcast(float x) { return {{x, x, x, x, x, x, x, x}}; }
    static F multiply_add(F a, F b, F c) {
        return lanes_multiply_add(a, b, c, [](float x, float y, float z) { return x * y + z; });
    }
    static F subtract(F a, F b) { return lanewise(a, b, [](float x, float y) { return x - y; }); }
    static F multiply(F a, F b) { return lanewise(a, b, [](float x, float y) { return x * y; }); }
    static F add(F a, F b) { return lanewise(a, b, [](float x, float y) { return x + y; }); }
    static F larger(F a, F b) { return lanewise(a, b, [](float x, float y) { return x > y ? x : y; }); }
    static F twice_less(F dots, F norms) {
        for (int i = 0; i < 8; ++i) dots.lane[i] = 2 * dots.lane[i] - norms.lane[i];
        return dots;
    }
    template <class Code>
    static void load_codes(const Code* p, F& low, F& high) {
        for (int i = 0; i < 8; ++i) {
            low.lane[i] = p[i];
            high.lane[i] = p[i + 8];
        }
    }
    struct D {
        std::int32_t lane[16];
    };
    using B = const std::uint8_t*;
    static D zero_dots() { return D{}; }
    static B load_bytes(const std::uint8_t* p) { return p; }
    static D add_byte_dots(D dots, B step, std::int32_t four) {
        for (int r = 0; r < 16; ++r) {
            for (int j = 0; j < 4; ++j) {
                dots.lane[r] += std::int32_t{step[4 * r + j]} * static_cast<std::int8_t>(four >> (8 * j));
            }
        }
        return dots;
    }
    static void dot_floats(D dots, std::int32_t offset, float scale, F& low, F& high) {
        for (int i = 0; i < 8; ++i) {
            low.lane[i] = static_cast<float>(dots.lane[i] - offset) * scale;
            high.lane[i] = static_cast<float>(dots.lane[i + 8] - offset) * scale;
        }
    }
    static unsigned not_at_most(F x, F limit) {
        unsigned mask = 0;
        for (int i = 0; i < 8; ++i) mask |= (x.lane[i] <= limit.lane[i] ? 0u : 1u) << i;
        return mask;
    }
};

}  // namespace

#include "kernel_body.hpp"

}  // namespace mirelo::portable_kernels
