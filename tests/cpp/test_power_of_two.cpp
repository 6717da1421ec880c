#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "power_of_two.hpp"

namespace mirelo {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(PowerOfTwo, ScalesAsLdexpAtEveryExponent) {
    // The screen scales norms and bounds by powers of two that can lie past either end of the
    // normal range (stores near the ends of double range); products that stay normal, round into
    // the subnormal range, vanish or overflow must all keep ldexp's bits.
    constexpr double kTiny = std::numeric_limits<double>::denorm_min();
    for (const int power : {-2148, -1075, -1074, -1023, -1022, -66, 0, 100, 1023, 1024, 1074, 2148}) {
        const PowerOfTwo scale(power);
        for (const double value : {1.0, -1.5, 0.0, -0.0, 0x1.fffffffffffffp-3, -0x1.0000000000001p-30, 0x1.8p-1000,
                                   std::numeric_limits<double>::min(), 3.0 * kTiny, kTiny,
                                   std::numeric_limits<double>::max(), kInf}) {
            const double got = scale(value), expected = std::ldexp(value, power);
            EXPECT_EQ(std::memcmp(&got, &expected, sizeof(double)), 0) << value << " * 2^" << power;
        }
        EXPECT_TRUE(std::isnan(scale(kNaN)));
    }
}

}  // namespace
}  // namespace mirelo
