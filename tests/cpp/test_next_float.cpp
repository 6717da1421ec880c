#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "next_float.hpp"

namespace mirelo {
namespace {

template <class T>
void expect_next_floats_as_nextafter() {
    using Limits = std::numeric_limits<T>;
    for (const T value : {T(0), -T(0), Limits::denorm_min(), -Limits::denorm_min(), Limits::min(), -Limits::min(),
                          T(1), T(-1.5), T(0x1.8p-100), Limits::max(), -Limits::max(), Limits::infinity(),
                          -Limits::infinity()}) {
        for (const bool up : {true, false}) {
            const T got = next_float(value, up);
            const T expected = std::nextafter(value, up ? Limits::infinity() : -Limits::infinity());
            EXPECT_EQ(std::memcmp(&got, &expected, sizeof(T)), 0) << value << (up ? " up" : " down");
        }
    }
    EXPECT_TRUE(std::isnan(next_float(Limits::quiet_NaN(), true)));
}

TEST(NextFloat, StepsAsNextafterAtEveryKindOfValue) {
    // The limits step off their rounded values with these: a step the wrong way, or none, at zero,
    // a subnormal, a sign or an end of the range would let a bound cut off a row.
    expect_next_floats_as_nextafter<double>();
    expect_next_floats_as_nextafter<float>();
    // Boxes and limits are rounded to floats on their safe side, and to the nearest such float.
    for (const double value : {0.0, 0x1p-149, 0x1.8p-149, 1.0, 1.0 + 0x1p-40, -(1.0 + 0x1p-40), 1.0 / 3.0, -1e30}) {
        const float most = float_at_most(value);
        const float least = float_at_least(value);
        EXPECT_TRUE(most <= value && next_float(most, true) > value) << value;
        EXPECT_TRUE(least >= value && next_float(least, false) < value) << value;
    }
}

}  // namespace
}  // namespace mirelo
