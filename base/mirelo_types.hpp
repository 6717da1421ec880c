#pragma once

#include <functional>
#include <string>
#include <vector>

#include <Eigen/Dense>

namespace mirelo {

// One row per sample, one column per feature.
using Matrix = Eigen::MatrixXd;
using Vector = Eigen::VectorXd;
// Keeps each sample contiguous for the row-by-row neighbour search.
using RowMajorMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
// Samples read where they lie, one row each; anything else is copied into this layout once.
using MatrixView = Eigen::Ref<const RowMajorMatrix>;
// Byte strings, compared byte by byte; UTF-8 when they come from Python.
using LabelList = std::vector<std::string>;
// Told the stage a training is in and the share of it done, from 0 to 1; called on the thread
// that trains, between pieces of work. Empty for no one.
using ProgressReport = std::function<void(const char* stage, double done)>;

}  // namespace mirelo
