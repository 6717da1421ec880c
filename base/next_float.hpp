#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace mirelo {

// The neighbour of x toward +infinity (up) or -infinity, bit for bit what std::nextafter gives,
// without its call: the search's limits take one for every block.
template <class T>
inline T next_float(T x, bool up) {
    static_assert(std::is_floating_point_v<T> && (sizeof(T) == 4 || sizeof(T) == 8));
    using Bits = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
    constexpr T kInfinity = std::numeric_limits<T>::infinity();
    if (std::isnan(x) || x == (up ? kInfinity : -kInfinity)) {
        return x;
    }
    if (x == T(0)) {
        return up ? std::numeric_limits<T>::denorm_min() : -std::numeric_limits<T>::denorm_min();
    }
    // The bits of a magnitude count its steps: away from zero is one more, toward it one less.
    Bits bits;
    std::memcpy(&bits, &x, sizeof x);
    bits = (x > T(0)) == up ? bits + 1 : bits - 1;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

// The largest float at most `value`, and the smallest at least it: bounds kept on their safe side.
inline float float_at_most(double value) {
    const float single = static_cast<float>(value);
    return static_cast<double>(single) > value ? next_float(single, false) : single;
}

inline float float_at_least(double value) {
    const float single = static_cast<float>(value);
    return static_cast<double>(single) < value ? next_float(single, true) : single;
}

}  // namespace mirelo
