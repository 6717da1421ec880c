#include <Python.h>
#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "input_rows_caster.hpp"
#include "kernels.hpp"
#include "knn_engine.hpp"
#include "label_list_caster.hpp"
#include "lone_predict.hpp"
#include "parallel_job.hpp"
#include "query_values_caster.hpp"

namespace py = pybind11;
using mirelo::KNNConfig;
using mirelo::KNNEngine;

namespace {

// Called by long computations from the thread that holds the GIL: a pending Ctrl-C raises
// KeyboardInterrupt, which stops the work and leaves the engine as it was.
void raise_pending_signal() {
    if (PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
    }
}

}  // namespace

// Every call keeps the GIL: train must never overlap a prediction on the same engine.
PYBIND11_MODULE(mirelo, m) {
    m.doc() = "C++ KNN Engine with Adaptive PCA support";
    // A MIRELO_KERNELS the process cannot honour fails the import, not the first kernel call.
    mirelo::kernel_build();
    mirelo::set_interruption_check(raise_pending_signal);

    py::class_<KNNConfig>(m, "KNNConfig")
        .def(py::init<>())
        .def_readwrite("k", &KNNConfig::k)
        .def_readwrite("variance", &KNNConfig::variance);

    py::class_<KNNEngine> engine(m, "KNNEngine");
    engine.def(py::init<KNNConfig>())
        .def("train", py::overload_cast<const mirelo::InputRows&, mirelo::LabelPlaces, bool>(&KNNEngine::train),
             py::arg("X"), py::arg("y"), py::arg("scale") = false)
        .def("predict", [](const KNNEngine& engine, const mirelo::QueryValues& x) { return engine.predict(x.row); })
        .def("predict_batch", py::overload_cast<const mirelo::InputRows&>(&KNNEngine::predict_batch, py::const_));
    mirelo::LonePredict::install(engine);
}
