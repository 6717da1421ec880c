#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "knn_engine.hpp"
#include "query_values_caster.hpp"

namespace mirelo {

// pybind11's dispatch (its argument lists, type lookups and loader bookkeeping) costs a one-row
// predict about as much as the projection and the vote together. So predict is a plain CPython
// method: a call with one positional query that the query caster takes goes straight to the
// engine, and every other call, or one that fails, goes to the pybind11 function it replaces, for
// the same conversions, errors and docstring. The GIL stays held throughout.
class LonePredict {
public:
    // Replaces cls.predict, which must already be bound.
    static void install(pybind11::class_<KNNEngine>& cls) {
        PyObject* descriptor = cls.attr("__dict__")["predict"].ptr();
        bound() = PyInstanceMethod_Function(descriptor);
        Py_INCREF(bound());  // kept for the process's life, like the module
        doc() = pybind11::str(pybind11::handle(descriptor).attr("__doc__"));
        static PyMethodDef method{"predict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call)),
                                  METH_FASTCALL | METH_KEYWORDS, doc().c_str()};
        cls.attr("predict") = pybind11::reinterpret_steal<pybind11::object>(
            PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &method));
    }

private:
    static PyObject*& bound() {
        static PyObject* function = nullptr;
        return function;
    }

    static std::string& doc() {
        static std::string text;
        return text;
    }

    static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* keywords) {
        if (count == 1 && keywords == nullptr) {
            if (PyObject* label = predict_alone(self, args[0])) return label;
        }
        // The keywords' values follow the positional arguments.
        const Py_ssize_t values = count + (keywords == nullptr ? 0 : PyTuple_GET_SIZE(keywords));
        std::vector<PyObject*> all{self};
        all.insert(all.end(), args, args + values);
        return PyObject_Vectorcall(bound(), all.data(), static_cast<std::size_t>(count) + 1, keywords);
    }

    // The label, or null, without an error set, for a call to leave to pybind11.
    static PyObject* predict_alone(PyObject* self, PyObject* query) {
        try {
            pybind11::detail::make_caster<QueryValues> values;
            if (!values.load(query, true)) return nullptr;
            const auto& engine = pybind11::cast<const KNNEngine&>(pybind11::handle(self));
            const std::string label = engine.predict(static_cast<QueryValues&>(values).row);
            PyObject* text = PyUnicode_DecodeUTF8(label.data(), static_cast<Py_ssize_t>(label.size()), nullptr);
            if (text == nullptr) PyErr_Clear();
            return text;
        } catch (...) {
            // pybind11's call raises it again, translated as it always was.
            return nullptr;
        }
    }
};

}  // namespace mirelo
