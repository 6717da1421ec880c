#pragma once

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mirelo_types.hpp"

namespace mirelo::test {

// Standard-normal entries from a fixed seed, so every failure reproduces.
inline Matrix random_matrix(Eigen::Index rows, Eigen::Index cols, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> normal;
    Matrix m(rows, cols);
    for (double& v : m.reshaped()) v = normal(gen);
    return m;
}

// Exact equality that reports a shape mismatch instead of tripping Eigen's size assertions.
template <class A, class B>
testing::AssertionResult same(const A& a, const B& b) {
    if (a.rows() == b.rows() && a.cols() == b.cols() && (a.array() == b.array()).all()) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << a.rows() << "x" << a.cols() << ":\n" << a << "\nvs "
                                       << b.rows() << "x" << b.cols() << ":\n" << b;
}

// What fn writes to stdout.
template <class F>
std::string captured_stdout(F&& fn) {
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

// fn must throw std::invalid_argument whose message contains every fragment.
template <class F>
void expect_invalid_argument(F&& fn, const std::vector<std::string>& fragments) {
    try {
        fn();
        ADD_FAILURE() << "no std::invalid_argument was thrown";
    } catch (const std::invalid_argument& e) {
        const std::string message = e.what();
        for (const std::string& f : fragments) {
            EXPECT_NE(message.find(f), std::string::npos) << "'" << f << "' missing from: " << message;
        }
    }
}

}  // namespace mirelo::test
