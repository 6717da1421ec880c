// The kernels for any CPU, with every multiply rounded before its add.
#include <cstring>

#include "kernel_variants.hpp"

namespace mirelo::portable_kernels {
namespace {

// Plain arrays rather than vector types, so nothing here depends on a vector ABI; the
// compiler maps the lane loops onto whatever the target has.
struct Ops {
    struct V {
        double lane[4];
    };
    static V zero() { return V{}; }
    static V load(const double* p) { return {{p[0], p[1], p[2], p[3]}}; }
    static void store(double* p, V v) { std::memcpy(p, v.lane, sizeof v.lane); }
    static V broadcast(double x) { return {{x, x, x, x}}; }
    static V multiply_add(V a, V b, V c) {
        for (int i = 0; i < 4; ++i) c.lane[i] = a.lane[i] * b.lane[i] + c.lane[i];
        return c;
    }
    static V distance(V norms, V dots, V query_norm) {
        for (int i = 0; i < 4; ++i) norms.lane[i] = (norms.lane[i] - 2.0 * dots.lane[i]) + query_norm.lane[i];
        return norms;
    }
    static unsigned not_below(V x, V bar) {
        unsigned mask = 0;
        for (int i = 0; i < 4; ++i) mask |= (x.lane[i] >= bar.lane[i] ? 0u : 1u) << i;
        return mask;
    }
};

}  // namespace

#include "kernel_body.hpp"

}  // namespace mirelo::portable_kernels
