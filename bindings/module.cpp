#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "knn_engine.hpp"

namespace py = pybind11;
using mirelo::KNNConfig;
using mirelo::KNNEngine;

// Every call keeps the GIL: train must never overlap a prediction on the same engine.
PYBIND11_MODULE(mirelo, m) {
    m.doc() = "C++ KNN Engine with Adaptive PCA support";

    py::class_<KNNConfig>(m, "KNNConfig")
        .def(py::init<>())
        .def_readwrite("k", &KNNConfig::k)
        .def_readwrite("variance", &KNNConfig::variance);

    py::class_<KNNEngine>(m, "KNNEngine")
        .def(py::init<KNNConfig>())
        .def("train", &KNNEngine::train, py::arg("X"), py::arg("y"), py::arg("scale") = false)
        .def("predict", &KNNEngine::predict)
        .def("predict_batch", &KNNEngine::predict_batch);
}
