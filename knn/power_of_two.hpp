#pragma once

#include <cmath>
#include <limits>

namespace mirelo {

// Multiplies by 2^power, bit for bit as std::ldexp does, without a call where it can: a product
// is its exact value rounded once, as ldexp rounds, so a multiply serves wherever 2^power is a
// normal double.
class PowerOfTwo {
public:
    explicit PowerOfTwo(int power = 0)
        : power(power),
          factor(power >= std::numeric_limits<double>::min_exponent - 1 &&
                         power < std::numeric_limits<double>::max_exponent
                     ? std::ldexp(1.0, power)
                     : 0.0) {}

    double operator()(double value) const { return factor != 0.0 ? value * factor : std::ldexp(value, power); }

private:
    int power;
    double factor;  // 0 where 2^power is not a normal double
};

}  // namespace mirelo
