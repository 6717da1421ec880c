#pragma once

// A model file's bytes, and the store's arrays as the file's sections: handed out as read-only
// NumPy views to be saved, and taken back as views of the file's bytes, where the search reads
// them without a copy.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "held_array.hpp"
#include "knn_classifier.hpp"

namespace mirelo_sections {

namespace py = pybind11;

// A file's bytes, mapped read-only (every process mapping the file shares its pages) or read
// into memory of their own. They start on a page, so each section keeps the alignment it has in
// the file.
class FileBytes {
public:
    // Raises OSError when the file cannot be read.
    FileBytes(int descriptor, bool mapped) {
        struct stat status {};
        if (fstat(descriptor, &status) != 0) raise_os_error();
        size = static_cast<std::size_t>(status.st_size);
        if (size == 0) return;
        if (mapped) {
            void* mapping = mmap(nullptr, size, PROT_READ, MAP_SHARED, descriptor, 0);
            if (mapping == MAP_FAILED) raise_os_error();
            data = static_cast<const std::byte*>(mapping);
            this->mapped = true;
            return;
        }
        auto* copy = static_cast<std::byte*>(::operator new(size, kPage));
        data = copy;
        for (std::size_t done = 0; done < size;) {
            const ssize_t got = pread(descriptor, copy + done, size - done, static_cast<off_t>(done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                ::operator delete(copy, kPage);
                data = nullptr;
                if (got == 0) {
                    throw std::invalid_argument("expected a model file that stays as it was while it is read");
                }
                raise_os_error();
            }
            done += static_cast<std::size_t>(got);
        }
    }
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;
    ~FileBytes() {
        if (data == nullptr) return;
        if (mapped) {
            munmap(const_cast<std::byte*>(data), size);
        } else {
            ::operator delete(const_cast<std::byte*>(data), kPage);
        }
    }

    const std::byte* data = nullptr;
    std::size_t size = 0;
    bool mapped = false;

private:
    static constexpr std::align_val_t kPage{4096};
    [[noreturn]] static void raise_os_error() {
        PyErr_SetFromErrno(PyExc_OSError);
        throw py::error_already_set();
    }
};

// A read-only view of `values`, keeping what holds them alive.
template <class T>
py::array section(const mirelo::HeldArray<T>& values) {
    if (values.empty()) return py::array_t<T>(0);
    auto* owner = new std::shared_ptr<const void>(values.owner());
    py::capsule base(owner, [](void* held) { delete static_cast<std::shared_ptr<const void>*>(held); });
    py::array_t<T> view({static_cast<py::ssize_t>(values.size())}, {static_cast<py::ssize_t>(sizeof(T))},
                        values.data(), base);
    view.attr("setflags")(py::arg("write") = false);
    return view;
}

template <class T, class Values>
py::array copied_section(const Values& values) {
    py::array_t<T> copy(static_cast<py::ssize_t>(values.size()));
    std::copy(values.data(), values.data() + values.size(), copy.mutable_data());
    return copy;
}

// The store's screen as named sections and the numbers that go with them.
inline std::pair<py::dict, py::dict> screen_sections(const mirelo::ScreenStages& screen) {
    py::dict numbers, arrays;
    numbers["exponent"] = screen.exponent;
    numbers["prefix"] = screen.prefix;
    numbers["checkpoint"] = screen.checkpoint;
    numbers["levels"] = screen.levels.size();
    arrays["order"] = section(screen.order);
    arrays["rows"] = section(screen.rows);
    arrays["codes"] = section(screen.codes);
    arrays["tails"] = section(screen.tails);
    arrays["coarse_codes"] = section(screen.coarse_codes);
    arrays["coarse_steps"] = copied_section<float>(screen.coarse_steps);
    arrays["norms"] = section(screen.norms);
    arrays["checkpoint_norms"] = section(screen.checkpoint_norms);
    arrays["run_largest"] = copied_section<double>(screen.run_largest);
    for (std::size_t l = 0; l < screen.levels.size(); ++l) {
        arrays[py::str("boxes_{}").format(l)] = section(screen.levels[l].boxes);
        arrays[py::str("box_norms_{}").format(l)] = copied_section<double>(screen.levels[l].largest_norm);
    }
    return {numbers, arrays};
}

// Reads the store's sections back from arrays over `file`'s bytes.
class SectionReader {
public:
    SectionReader(const py::dict& arrays, std::shared_ptr<const FileBytes> file)
        : arrays(arrays), file(std::move(file)) {}

    // The section `name`, where it lies in the file: a contiguous 1-dimensional array of T inside the
    // file's bytes, on a cache line.
    template <class T>
    mirelo::HeldArray<T> view(const std::string& name) const {
        const py::array values = array(name, py::dtype::of<T>());
        if (values.size() == 0) return {};
        const auto* first = static_cast<const std::byte*>(values.data());
        const std::byte* end = file->data + file->size;
        if (file->data == nullptr || first < file->data || first > end ||
            static_cast<std::size_t>(end - first) < static_cast<std::size_t>(values.nbytes()) ||
            reinterpret_cast<std::uintptr_t>(first) % 64 != 0) {
            throw std::invalid_argument("expected the store section " + name +
                                        " on a cache line inside the model file");
        }
        return {reinterpret_cast<const T*>(first), static_cast<std::size_t>(values.size()), file};
    }

    // The section `name`, copied: the small ones the search reads through Eigen.
    template <class T, class Values>
    Values copy(const std::string& name) const {
        const py::array values = array(name, py::dtype::of<T>());
        const T* first = static_cast<const T*>(values.data());
        return Values(first, first + values.size());
    }

    mirelo::Vector vector(const std::string& name) const {
        const py::array values = array(name, py::dtype::of<double>());
        return Eigen::Map<const mirelo::Vector>(static_cast<const double*>(values.data()), values.size());
    }

private:
    py::array array(const std::string& name, const py::dtype& type) const {
        if (!arrays.contains(name)) throw std::invalid_argument("expected a store section " + name + ", got none");
        const py::object value = arrays[py::str(name)];
        if (!py::isinstance<py::array>(value)) {
            throw std::invalid_argument("expected the store section " + name + " as an array");
        }
        const auto values = py::reinterpret_borrow<py::array>(value);
        if (values.ndim() != 1 || !values.dtype().equal(type) || !(values.flags() & py::array::c_style)) {
            throw std::invalid_argument("expected the store section " + name +
                                        " as a contiguous 1-dimensional array of " +
                                        std::string(py::str(py::handle(type))) + ", got " +
                                        std::string(py::str(py::handle(values.dtype()))));
        }
        return values;
    }

    const py::dict& arrays;
    std::shared_ptr<const FileBytes> file;
};

// The screen's parts from sections, as ScreenStages::adopted takes them.
inline mirelo::ScreenStages screen_parts(const py::dict& numbers, const SectionReader& sections) {
    mirelo::ScreenStages parts;
    parts.exponent = numbers["exponent"].cast<int>();
    parts.prefix = numbers["prefix"].cast<Eigen::Index>();
    parts.checkpoint = numbers["checkpoint"].cast<Eigen::Index>();
    const auto levels = numbers["levels"].cast<std::size_t>();
    // More levels than any store has would only allocate: the reader refuses them as it does a
    // wrong count.
    if (levels > 64) {
        throw std::invalid_argument("expected a store of at most 64 box levels, got " + std::to_string(levels));
    }
    parts.order = sections.view<mirelo::RowNumber>("order");
    parts.rows = sections.view<float>("rows");
    parts.codes = sections.view<std::int16_t>("codes");
    parts.tails = sections.view<std::int16_t>("tails");
    parts.coarse_codes = sections.view<std::uint8_t>("coarse_codes");
    parts.coarse_steps = sections.copy<float, std::vector<float>>("coarse_steps");
    parts.norms = sections.view<float>("norms");
    parts.checkpoint_norms = sections.view<float>("checkpoint_norms");
    parts.run_largest = sections.vector("run_largest");
    for (std::size_t l = 0; l < levels; ++l) {
        mirelo::BoxLevel level;
        level.boxes = sections.view<float>("boxes_" + std::to_string(l));
        level.largest_norm = sections.vector("box_norms_" + std::to_string(l));
        parts.levels.push_back(std::move(level));
    }
    return parts;
}

}  // namespace mirelo_sections
