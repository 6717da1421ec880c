#pragma once

#include "mirelo_types.hpp"

namespace mirelo {

// Centres, divides and scales runs of a row's values in place with CentredRows::centre's
// arithmetic, in loops the compiler can vectorise: the division and the scaling are left out only
// where they would change no bits (every spread one, a factor of one).
class Centring {
public:
    Centring(const Vector& mean, const Vector& spread, double factor)
        : mean(mean.data()),
          spread(spread.data()),
          factor(factor),
          divide((spread.array() != 1.0).any()) {}

    // values[j] becomes the centred value of feature first + j, for j < count.
    void apply(double* values, Eigen::Index first, Eigen::Index count) const {
        const double* means = mean + first;
        if (divide) {
            const double* spreads = spread + first;
            for (Eigen::Index j = 0; j < count; ++j) values[j] = (values[j] - means[j]) / spreads[j] * factor;
        } else if (factor != 1.0) {
            for (Eigen::Index j = 0; j < count; ++j) values[j] = (values[j] - means[j]) * factor;
        } else {
            for (Eigen::Index j = 0; j < count; ++j) values[j] -= means[j];
        }
    }

private:
    const double* mean;
    const double* spread;
    double factor;
    bool divide;
};

}  // namespace mirelo
