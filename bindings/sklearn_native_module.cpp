// The scikit-learn estimator's own binding over the engine: class codes instead of labels,
// quiet fits, the GIL released around the numeric work and a saved state for pickling.
// Each model has a reader-writer lock: predictions share it, and a fit swaps its freshly
// trained engine in while holding it alone, so a prediction sees one training whole.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include <omp.h>
#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "adaptive_pca.hpp"
#include "input_rows_caster.hpp"
#include "kernels.hpp"
#include "knn_engine.hpp"
#include "parallel_job.hpp"
#include "progress_lines.hpp"
#include "quiet_end_alarm.hpp"
#include "store_sections.hpp"

namespace py = pybind11;

namespace {

// Computations run without the GIL. On the main thread, the only one Python delivers signals
// to, the core's periodic check takes the GIL for a moment so that a pending Ctrl-C raises
// KeyboardInterrupt; other threads never take it.
unsigned long main_thread_id = 0;

void raise_pending_signal() {
    if (PyThread_get_thread_ident() != main_thread_id) {
        return;
    }
    const py::gil_scoped_acquire hold;
    if (PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
    }
}

}  // namespace

namespace {

using mirelo::EngineState;
using mirelo::KNNConfig;
using mirelo::KNNEngine;
using mirelo::Matrix;
using mirelo::RowMajorMatrix;
using mirelo::Vector;
// Class codes as NumPy indexes classes_ with them (intp).
using Codes = Eigen::Matrix<std::int64_t, Eigen::Dynamic, 1>;
using Indices = Eigen::Matrix<std::int64_t, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

#ifndef MIRELO_VERSION
#define MIRELO_VERSION "unknown"
#endif
constexpr const char* kVersion = MIRELO_VERSION;

// The OpenMP team size of the calling thread's regions for one call. OpenMP keeps the
// setting per thread, so other threads' calls are unaffected; 0 keeps the thread's own
// setting, which is where threadpoolctl's limit lands.
class ThreadCount {
public:
    explicit ThreadCount(int threads) : previous(threads > 0 ? omp_get_max_threads() : 0) {
        if (threads > 0) {
            omp_set_num_threads(threads);
        }
    }
    ~ThreadCount() {
        if (previous > 0) {
            omp_set_num_threads(previous);
        }
    }
    ThreadCount(const ThreadCount&) = delete;
    ThreadCount& operator=(const ThreadCount&) = delete;

private:
    int previous;
};

// Class codes are the store's class places: the estimator's classes_ in order, so that a tie in
// the vote goes to the smallest code. Saved states hold them as int64.
class ClassCodes {
public:
    explicit ClassCodes(std::int64_t n_classes) : n_classes(n_classes) {
        if (n_classes < 1) {
            throw std::invalid_argument("expected at least one class, got " + std::to_string(n_classes));
        }
        if (n_classes > std::numeric_limits<std::int32_t>::max()) {
            throw std::invalid_argument("expected at most " + std::to_string(std::numeric_limits<std::int32_t>::max()) +
                                        " classes, got " + std::to_string(n_classes));
        }
    }

    // The codes as a training takes them.
    mirelo::ClassPlaces places(const Eigen::Ref<const Codes>& codes) const {
        mirelo::ClassPlaces places{std::vector<std::int32_t>(static_cast<std::size_t>(codes.size())),
                                   static_cast<std::int32_t>(n_classes)};
        for (Eigen::Index i = 0; i < codes.size(); ++i) {
            if (codes[i] < 0 || codes[i] >= n_classes) {
                throw std::invalid_argument("expected class codes from 0 to " + std::to_string(n_classes - 1) +
                                            ", got " + std::to_string(codes[i]) + " at position " + std::to_string(i));
            }
            places.of_row[static_cast<std::size_t>(i)] = static_cast<std::int32_t>(codes[i]);
        }
        return places;
    }

    const std::int64_t n_classes;
};

class Model {
public:
    Model(std::int32_t k, double variance) : config{k, variance} {}

    // Returns the two closing lines when verbose, else an empty string. A fit that lasts longer
    // than `quiet_start` seconds hands its progress lines to `progress` (a callable taking a str,
    // or None) as it goes, the stage underway when the quiet start ends included; the GIL is
    // taken for each.
    std::string fit(const mirelo::InputRows& X, const Codes& codes, std::int64_t n_classes, bool scale, bool verbose,
                    int threads, const py::object& progress, double quiet_start) {
        const ClassCodes classes(n_classes);
        auto fresh = std::make_unique<KNNEngine>(config);
        std::ostringstream lines;
        fresh->set_progress(verbose ? &lines : nullptr);
        const std::chrono::duration<double> quiet(std::max(quiet_start, 0.0));
        mirelo::ProgressLines progress_lines(
            [&progress](const std::string& line) {
                const py::gil_scoped_acquire acquire;
                progress(line);
            },
            std::chrono::duration_cast<std::chrono::milliseconds>(quiet));
        std::optional<mirelo::QuietEndAlarm> alarm;
        if (!progress.is_none()) {
            fresh->set_progress_report(progress_lines.report());
            alarm.emplace(progress_lines);
        }
        {
            const ThreadCount count(threads);
            fresh->train(X, classes.places(codes), scale);
        }
        if (alarm) alarm->stop();
        fresh->set_progress(nullptr);
        fresh->set_progress_report({});
        install(std::move(fresh));
        return lines.str();
    }

    // A model whose store holds this one's rows and then X's, labelled by `codes` among n_classes
    // classes; `renamed` gives each of this model's classes its code among those, in the same
    // order. This model stays as it was, and shares its store's arrays with the new one.
    std::unique_ptr<Model> grown(const mirelo::InputRows& X, const Codes& codes, const Codes& renamed,
                                 std::int64_t n_classes, int threads) const {
        const ClassCodes after(n_classes);
        mirelo::ClassPlaces added = after.places(codes);
        // The engine checks that they keep the classes' order.
        const std::vector<std::int32_t> renamed_places = after.places(renamed).of_row;
        const std::shared_lock guard(lock);
        const KNNEngine& trained = fitted();
        auto model = std::make_unique<Model>(config.k, config.variance);
        {
            const ThreadCount count(threads);
            model->engine = trained.grown(X, std::move(added), renamed_places);
        }
        return model;
    }

    // The class code of each query's k nearest rows' majority, a tie going to the smallest code.
    // The estimator's n_neighbors may have changed since the fit: the engine, which answers for
    // its own k only, serves that k, and another is counted here from the nearest rows.
    Codes predict(const mirelo::InputRows& X, std::int32_t k, int threads) const {
        require_voters(k);
        const std::shared_lock guard(lock);
        const ThreadCount count(threads);
        if (k == config.k) {
            return codes_of(fitted().predict_places(X));
        }
        const mirelo::VoteMatrix votes = votes_of(X, k);
        Codes codes(votes.rows());
        for (Eigen::Index q = 0; q < votes.rows(); ++q) {
            const std::int32_t* row = votes.row(q).data();
            codes[q] = std::max_element(row, row + votes.cols()) - row;
        }
        return codes;
    }

    // The votes of each query's k nearest rows, a column per class.
    mirelo::VoteMatrix vote_counts(const mirelo::InputRows& X, std::int32_t k, int threads) const {
        const std::shared_lock guard(lock);
        const ThreadCount count(threads);
        return k == config.k ? fitted().vote_counts(X) : votes_of(X, k);
    }

    // Squared distances (times 4^scale_exponent) and row indices of each query's
    // min(count, training rows) nearest rows.
    std::pair<RowMajorMatrix, Indices> kneighbors(const mirelo::InputRows& X, Eigen::Index count, int threads) const {
        const std::shared_lock guard(lock);
        const ThreadCount team(threads);
        return as_matrices(fitted().nearest_rows(X, count), X.rows());
    }

    // kneighbors with the training rows as the queries, each one's own row among its nearest.
    std::pair<RowMajorMatrix, Indices> training_kneighbors(Eigen::Index count, int threads) const {
        const std::shared_lock guard(lock);
        const ThreadCount team(threads);
        return as_matrices(fitted().nearest_training_rows(count), fitted().n_training_rows());
    }

    RowMajorMatrix transform(const mirelo::InputRows& X, int threads) const {
        const std::shared_lock guard(lock);
        const ThreadCount count(threads);
        return fitted().transform(X);
    }

    EngineState export_state() const {
        const std::shared_lock guard(lock);
        return fitted().export_state();
    }

    // The store's screen as a model file keeps it: its numbers and its arrays, read-only views of
    // the store's own. None while added rows wait beside the store (a file then rebuilds it).
    py::object store_sections() const {
        const std::shared_lock guard(lock);
        const mirelo::KNNClassifier* store = fitted().whole_store();
        if (store == nullptr) return py::none();
        const auto [numbers, arrays] = mirelo_sections::screen_sections(store->stages());
        return py::make_tuple(numbers, arrays);
    }

    void import_store(const EngineState& state, std::shared_ptr<const mirelo::KNNClassifier> store) {
        auto fresh = std::make_unique<KNNEngine>(config);
        fresh->set_progress(nullptr);
        fresh->import_state(state, std::move(store));
        install(std::move(fresh));
    }

    void import_state(const EngineState& state) {
        auto fresh = std::make_unique<KNNEngine>(config);
        fresh->set_progress(nullptr);
        fresh->import_state(state);
        install(std::move(fresh));
    }

    int scale_exponent() const {
        const std::shared_lock guard(lock);
        return fitted().scale_exponent();
    }

    std::int32_t n_components() const {
        const std::shared_lock guard(lock);
        return fitted().n_components();
    }

    Vector explained_variance_ratio() const {
        const std::shared_lock guard(lock);
        return fitted().explained_variance_ratio();
    }

    Vector explained_variance() const {
        const std::shared_lock guard(lock);
        return fitted().explained_variance();
    }

    Vector mean() const {
        const std::shared_lock guard(lock);
        return fitted().reduction().mean;
    }

    Vector std_dev() const {
        const std::shared_lock guard(lock);
        return fitted().reduction().std_dev;
    }

    Matrix components() const {
        const std::shared_lock guard(lock);
        return fitted().reduction().components;
    }

    // Training rows, features and classes of the fit.
    std::array<std::int64_t, 3> counts() const {
        const std::shared_lock guard(lock);
        return {fitted().n_samples(), fitted().n_features(), fitted().n_classes()};
    }

    // The distinct classes among the training rows.
    std::int64_t classes_held() const {
        const std::shared_lock guard(lock);
        std::vector<std::int32_t> held = fitted().training_places();
        std::sort(held.begin(), held.end());
        return std::unique(held.begin(), held.end()) - held.begin();
    }

    // Each training row's class code.
    Codes codes() const {
        const std::shared_lock guard(lock);
        return codes_of(fitted().training_places());
    }

    static Codes codes_of(const std::vector<std::int32_t>& places) {
        return Eigen::Map<const Eigen::Matrix<std::int32_t, Eigen::Dynamic, 1>>(
                   places.data(), static_cast<Eigen::Index>(places.size()))
            .cast<std::int64_t>();
    }

    std::size_t memory_bytes() const {
        const std::shared_lock guard(lock);
        return sizeof(*this) + (engine ? engine->memory_bytes() : 0);
    }

    // Rows added since the store was last built, searched beside it.
    std::int64_t side_rows() const {
        const std::shared_lock guard(lock);
        return fitted().n_side_rows();
    }

    bool is_fitted() const {
        const std::shared_lock guard(lock);
        return engine != nullptr;
    }

    const KNNConfig config;

private:
    // vote_counts for a k other than the engine's; the caller holds the lock.
    mirelo::VoteMatrix votes_of(const mirelo::InputRows& X, std::int32_t k) const {
        require_voters(k);
        const KNNEngine& trained = fitted();
        const std::vector<mirelo::Neighbour> nearest = trained.nearest_rows(X, k);
        const std::vector<std::int32_t>& places = trained.training_places();
        mirelo::VoteMatrix votes = mirelo::VoteMatrix::Zero(X.rows(), trained.n_classes());
        const Eigen::Index K = X.rows() > 0 ? static_cast<Eigen::Index>(nearest.size()) / X.rows() : 0;
        for (Eigen::Index i = 0; i < votes.rows() * K; ++i) {
            ++votes(i / K, places[static_cast<std::size_t>(nearest[static_cast<std::size_t>(i)].row)]);
        }
        return votes;
    }

    // Without a voter the engine answers kNoClass, which is no class code.
    static void require_voters(std::int32_t k) {
        if (k < 1) {
            throw std::invalid_argument("expected k of at least 1, got " + std::to_string(k));
        }
    }

    static std::pair<RowMajorMatrix, Indices> as_matrices(const std::vector<mirelo::Neighbour>& nearest,
                                                          Eigen::Index queries) {
        const Eigen::Index K = queries > 0 ? static_cast<Eigen::Index>(nearest.size()) / queries : 0;
        RowMajorMatrix distances(queries, K);
        Indices rows(queries, K);
        for (Eigen::Index i = 0; i < distances.size(); ++i) {
            distances.data()[i] = nearest[static_cast<std::size_t>(i)].distance;
            rows.data()[i] = nearest[static_cast<std::size_t>(i)].row;
        }
        return {std::move(distances), std::move(rows)};
    }

    const KNNEngine& fitted() const {
        if (!engine) {
            throw std::logic_error("this model is not fitted yet");
        }
        return *engine;
    }

    void install(std::unique_ptr<KNNEngine> fresh) {
        const std::unique_lock guard(lock);
        engine.swap(fresh);
    }

    mutable std::shared_mutex lock;
    std::unique_ptr<KNNEngine> engine;
};

}  // namespace

namespace {

// The pickled form: its format number, the parameters, then (when fitted) the class count and
// the trained state, and last a digest of all the fields before it. The format number changes
// whenever the layout does, and only this format loads.
constexpr std::int64_t kFormat = 1;
constexpr std::size_t kParameterFields = 3;
constexpr std::size_t kFittedFields = 9;
// The fields' names, in the order saved() writes them, for readers of a state (mirelo_sklearn's
// ModelState).
constexpr std::array<const char*, kParameterFields + kFittedFields> kStateFields = {
    "format", "k", "variance", "n_classes", "mean", "std_dev", "n_components", "components",
    "explained_variance_ratio", "reduced", "codes", "scale_exponent"};

// Fields of arrays count by their dtype, shape and values, other fields by their repr: a
// single changed bit anywhere changes the digest.
py::bytes digest_of(const py::tuple& fields) {
    const py::module_ numpy = py::module_::import("numpy");
    py::object hasher = py::module_::import("hashlib").attr("blake2b")(py::arg("digest_size") = 32);
    for (const py::handle value : fields) {
        if (py::isinstance<py::array>(value)) {
            const py::array values = py::reinterpret_borrow<py::array>(value);
            hasher.attr("update")(py::str("{}{}").format(values.dtype().attr("str"), values.attr("shape")).attr("encode")());
            hasher.attr("update")(numpy.attr("ascontiguousarray")(values));
        } else {
            hasher.attr("update")(py::repr(value).attr("encode")());
        }
        hasher.attr("update")(py::bytes("|"));
    }
    return hasher.attr("digest")();
}

py::tuple signed_fields(const py::tuple& fields) {
    py::tuple signed_state(fields.size() + 1);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        signed_state[i] = fields[i];
    }
    signed_state[fields.size()] = digest_of(fields);
    return signed_state;
}

py::tuple saved(const Model& model) {
    if (!model.is_fitted()) {
        return signed_fields(py::make_tuple(kFormat, model.config.k, model.config.variance));
    }
    EngineState s;
    {
        const py::gil_scoped_release release;
        s = model.export_state();
    }
    const Codes codes = Model::codes_of(s.classes.of_row);
    return signed_fields(py::make_tuple(kFormat, model.config.k, model.config.variance,
                                        static_cast<std::int64_t>(s.classes.count),
                                        std::move(s.mean), std::move(s.std_dev), s.n_components,
                                        std::move(s.components), std::move(s.explained_variance_ratio),
                                        std::move(s.reduced), codes, s.scale_exponent));
}

template <class T>
T field(const py::tuple& state, std::size_t index, const char* what) {
    try {
        return state[index].cast<T>();
    } catch (const py::cast_error&) {
        throw std::invalid_argument(std::string("expected a saved state with a readable ") + what + ", got " +
                                    py::str(py::type::of(state[index])).cast<std::string>());
    }
}

void require_known_format(const py::tuple& state) {
    const bool numbered = state.size() > 0 && py::isinstance<py::int_>(state[0]) && !py::isinstance<py::bool_>(state[0]);
    if (!numbered) {
        throw std::invalid_argument("expected a saved state that begins with its format number, got " +
                                    (state.size() > 0 ? py::repr(state[0]).cast<std::string>() : "nothing") +
                                    ": it was saved by an earlier mirelo or is not a mirelo model; fit it again");
    }
    if (!py::object(state[0]).equal(py::int_(kFormat))) {
        throw std::invalid_argument("this model was saved in format " + py::repr(state[0]).cast<std::string>() +
                                    ", and mirelo " + kVersion + " reads format " + std::to_string(kFormat) +
                                    "; load it with the mirelo that saved it, or fit it again");
    }
}

// An integer field as it is saved: an integer in T's range, never a bool or a float to truncate.
template <class T>
T integer_field(const py::tuple& state, std::size_t index, const char* what) {
    const py::handle value = state[index];
    if (!PyIndex_Check(value.ptr()) || PyBool_Check(value.ptr())) {
        throw std::invalid_argument(std::string("expected a saved state whose ") + what + " is an integer, got " +
                                    py::repr(value).cast<std::string>());
    }
    const auto number = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
    if (!number) {
        throw py::error_already_set();
    }
    const py::int_ lowest(std::numeric_limits<T>::min()), highest(std::numeric_limits<T>::max());
    if (number < lowest || number > highest) {
        throw std::invalid_argument(std::string("expected a saved state whose ") + what + " is from " +
                                    std::to_string(std::numeric_limits<T>::min()) + " to " +
                                    std::to_string(std::numeric_limits<T>::max()) + ", got " +
                                    py::repr(value).cast<std::string>());
    }
    return number.cast<T>();
}

// An array field as it is saved, looked at before anything is converted or copied: its dtype,
// its number of dimensions, and memory of its own for every element its shape claims (a
// broadcast view could claim terabytes).
py::array array_field(const py::tuple& state, std::size_t index, const char* what, const py::dtype& dtype,
                      py::ssize_t ndim) {
    const py::handle value = state[index];
    const std::string expected = std::string("expected a saved state whose ") + what + " is a contiguous " +
                                 dtype.attr("name").cast<std::string>() + " array of " + std::to_string(ndim) +
                                 (ndim == 1 ? " dimension" : " dimensions") + ", got ";
    if (!py::isinstance<py::array>(value)) {
        throw std::invalid_argument(expected + py::str(py::type::of(value)).cast<std::string>());
    }
    const auto array = py::reinterpret_borrow<py::array>(value);
    const bool contiguous = (array.flags() & (py::array::c_style | py::array::f_style)) != 0;
    if (!array.dtype().equal(dtype) || array.ndim() != ndim || !contiguous) {
        throw std::invalid_argument(expected + array.dtype().attr("name").cast<std::string>() + " of shape " +
                                    py::str(array.attr("shape")).cast<std::string>() +
                                    (contiguous ? "" : " laid out with strides " +
                                                           py::str(array.attr("strides")).cast<std::string>()));
    }
    return array;
}

// The fields' types and sizes, checked against one another before any is converted, copied or
// hashed: a small state that claims huge dimensions is refused, not allocated.
void require_layout(const py::tuple& state) {
    require_known_format(state);
    if (state.size() != kParameterFields && state.size() != kParameterFields + kFittedFields) {
        throw std::invalid_argument("expected a saved state of " + std::to_string(kParameterFields) + " or " +
                                    std::to_string(kParameterFields + kFittedFields) + " fields, got " +
                                    std::to_string(state.size()));
    }
    integer_field<std::int32_t>(state, 1, "k");
    if (state.size() == kParameterFields) {
        return;
    }
    const auto n_classes = integer_field<std::int64_t>(state, 3, "class count");
    const py::dtype real = py::dtype::of<double>();
    const py::array mean = array_field(state, 4, "mean", real, 1);
    const py::array spreads = array_field(state, 5, "spread vector", real, 1);
    const auto n_components = integer_field<std::int32_t>(state, 6, "component count");
    const py::array components = array_field(state, 7, "component matrix", real, 2);
    const py::array ratios = array_field(state, 8, "explained variance ratio", real, 1);
    const py::array reduced = array_field(state, 9, "reduced training matrix", real, 2);
    const py::array codes = array_field(state, 10, "class code vector", py::dtype::of<std::int64_t>(), 1);
    integer_field<int>(state, 11, "scale exponent");
    mirelo::validate_shape({mean.shape(0), spreads.shape(0), components.shape(0), components.shape(1),
                            ratios.shape(0), reduced.shape(0), reduced.shape(1), codes.shape(0), n_components});
    if (n_classes < 1) {
        throw std::invalid_argument("expected a saved state with at least one class, got " +
                                    std::to_string(n_classes));
    }
}

// The reduction of a fitted state's fields, without its rows and labels.
EngineState reduction_of(const py::tuple& state) {
    return EngineState{field<Vector>(state, 4, "mean"),
                       field<Vector>(state, 5, "spread vector"),
                       field<std::int32_t>(state, 6, "component count"),
                       field<Matrix>(state, 7, "component matrix"),
                       field<Vector>(state, 8, "explained variance ratio"),
                       RowMajorMatrix(),
                       {},
                       {},
                       field<int>(state, 11, "scale exponent")};
}

// A model from the fields of a saved state whose layout was checked, after checking everything
// a training could not have produced.
std::unique_ptr<Model> model_of(const py::tuple& state) {
    const auto k = field<std::int32_t>(state, 1, "k");
    const auto variance = field<double>(state, 2, "variance");
    if (k < 1 || !(std::isfinite(variance) && variance > 0.0)) {
        throw std::invalid_argument("expected a saved state with k of at least 1 and a variance above zero and "
                                    "finite, got k = " + std::to_string(k) + ", variance = " +
                                    py::repr(state[2]).cast<std::string>());
    }
    auto model = std::make_unique<Model>(k, variance);
    if (state.size() == kParameterFields) {
        return model;
    }
    const auto n_classes = field<std::int64_t>(state, 3, "class count");
    EngineState s = reduction_of(state);
    s.reduced = field<RowMajorMatrix>(state, 9, "reduced training matrix");
    const auto codes = field<Codes>(state, 10, "class code vector");
    const py::gil_scoped_release release;
    s.classes = ClassCodes(n_classes).places(codes);
    model->import_state(s);
    return model;
}

// A model from a fitted state's fields whose store, rows and screen, is read where it lies in a
// model file's bytes: nothing is rebuilt. Everything the search follows is checked first.
std::unique_ptr<Model> from_store(const py::tuple& state, const py::dict& numbers, const py::dict& arrays,
                                  const std::shared_ptr<mirelo_sections::FileBytes>& file) {
    require_layout(state);
    if (state.size() != kParameterFields + kFittedFields) {
        throw std::invalid_argument("expected the saved state of a fitted model beside its store");
    }
    auto model = model_of(py::tuple(state[py::slice(0, kParameterFields, 1)]));
    const auto n_classes = field<std::int64_t>(state, 3, "class count");
    const EngineState s = reduction_of(state);
    const py::array reduced = py::reinterpret_borrow<py::array>(state[9]);
    const Eigen::Index rows = reduced.shape(0), width = reduced.shape(1);
    py::dict rows_section;
    rows_section["reduced"] = reduced.attr("reshape")(-1);
    const mirelo_sections::SectionReader sections(arrays, file);
    mirelo::ScreenStages parts = mirelo_sections::screen_parts(numbers, sections);
    mirelo::HeldArray<double> values = mirelo_sections::SectionReader(rows_section, file).view<double>("reduced");
    const py::array codes = py::reinterpret_borrow<py::array>(state[10]);
    const Eigen::Map<const Codes> code_values(static_cast<const std::int64_t*>(codes.data()), codes.shape(0));
    const py::gil_scoped_release release;
    auto store = std::make_shared<mirelo::KNNClassifier>(model->config.k);
    store->adopt(std::move(values), rows, width, ClassCodes(n_classes).places(code_values), std::move(parts));
    model->import_store(s, std::move(store));
    return model;
}

std::unique_ptr<Model> from_fields(const py::tuple& state) {
    require_layout(state);
    return model_of(state);
}

std::unique_ptr<Model> restored(const py::tuple& state) {
    require_known_format(state);
    py::tuple fields(state.size() - 1);
    for (std::size_t i = 0; i + 1 < state.size(); ++i) {
        fields[i] = state[i];
    }
    require_layout(fields);
    // Checked before anything is read, so that a damaged model never answers.
    const py::object digest = state[state.size() - 1];
    if (!py::isinstance<py::bytes>(digest) || !digest.equal(digest_of(fields))) {
        throw std::invalid_argument("expected a saved state whose contents match its digest, got one that "
                                    "differs: the model was damaged after it was saved");
    }
    return model_of(fields);
}

}  // namespace

namespace {

// The steps of a fit whose rows are read in runs elsewhere (ShardedClassifier's workers): each
// run's statistics, appended in row order, then the axes kept, all by the engine's own rules.
using mirelo::TallStatistics;

// The pickled form of statistics sent between processes: width, term count, extremes, then each
// share's row count, mean, products, power of two, level and first block. The read digest stays
// behind: it serves only a fit that reads its rows again.
py::tuple statistics_state(const TallStatistics& statistics) {
    py::list shares;
    for (const TallStatistics::Share& share : statistics.shares) {
        shares.append(py::make_tuple(share.rows, share.mean, share.products, share.exponent, share.level,
                                     share.first_block));
    }
    return py::make_tuple(statistics.cols, statistics.terms, Vector(statistics.lowest.transpose()),
                          Vector(statistics.highest.transpose()), py::tuple(shares));
}

[[noreturn]] void refuse_statistics_state() {
    throw std::invalid_argument("expected row statistics as RowStatistics pickles them, got fields whose number or "
                                "sizes disagree");
}

TallStatistics statistics_of_state(const py::tuple& state) {
    if (state.size() != 5) refuse_statistics_state();
    const auto cols = state[0].cast<Eigen::Index>();
    TallStatistics statistics{cols, state[1].cast<Eigen::Index>(), {}, state[2].cast<Vector>().transpose(),
                              state[3].cast<Vector>().transpose(), mirelo::ReadDigest(std::max<Eigen::Index>(cols, 0))};
    bool sound = cols > 0 && statistics.terms >= cols && statistics.lowest.size() == cols &&
                 statistics.highest.size() == cols;
    for (const py::handle item : state[4].cast<py::tuple>()) {
        const auto fields = item.cast<py::tuple>();
        if (fields.size() != 6) refuse_statistics_state();
        TallStatistics::Share share{fields[0].cast<Eigen::Index>(), fields[1].cast<Vector>(),
                                    fields[2].cast<Matrix>(),       fields[3].cast<int>(),
                                    fields[4].cast<int>(),          fields[5].cast<Eigen::Index>()};
        sound = sound && share.rows > 0 && share.mean.size() == cols && share.products.rows() == cols &&
                share.products.cols() == cols && share.level >= 0 && share.level < 48 && share.first_block >= 0 &&
                share.first_block <= statistics.terms;
        statistics.shares.push_back(std::move(share));
    }
    if (!sound) refuse_statistics_state();
    return statistics;
}

TallStatistics row_statistics(const mirelo::InputRows& X, std::int64_t first_row, std::int64_t n_rows, int threads) {
    if (X.cols() < 1 || first_row < 0 || first_row + X.rows() > n_rows) {
        throw std::invalid_argument("expected rows of at least one column from row " + std::to_string(first_row) +
                                    " of a matrix of " + std::to_string(n_rows) + " rows, got " +
                                    std::to_string(X.rows()) + " x " + std::to_string(X.cols()));
    }
    const ThreadCount count(threads);
    return mirelo::tall_statistics(X, first_row, std::max<Eigen::Index>(n_rows, X.cols()), {});
}

TallStatistics combined_statistics(const std::vector<const TallStatistics*>& parts) {
    if (parts.empty()) {
        throw std::invalid_argument("expected the statistics of at least one run of rows, got none");
    }
    TallStatistics all = *parts.front();
    for (std::size_t i = 1; i < parts.size(); ++i) {
        mirelo::append_statistics(all, TallStatistics(*parts[i]));
    }
    return all;
}

// The kept axes as the fitted model's saved state holds them: mean, spreads, components (a
// column each), their variance shares and the projection's power of two.
py::tuple reduction(const TallStatistics& statistics, double variance, bool scale, int threads) {
    mirelo::AdaptivePCA pca(variance);
    pca.progress = nullptr;
    {
        const py::gil_scoped_release release;
        const ThreadCount count(threads);
        pca.fit(TallStatistics(statistics), scale);
    }
    return py::make_tuple(pca.mean, pca.std_dev, pca.components, pca.explained_variance_ratio, pca.scale_exponent);
}

}  // namespace

PYBIND11_MODULE(_native, m) {
    m.doc() = "mirelo's engine for the scikit-learn estimator (private: use mirelo_sklearn.MireloClassifier)";
    // A MIRELO_KERNELS the process cannot honour fails the import, not the first kernel call.
    mirelo::kernel_build();
    m.attr("__version__") = kVersion;
    main_thread_id = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    mirelo::set_interruption_check(raise_pending_signal);
    using release = py::call_guard<py::gil_scoped_release>;

    // Lines for a training's stages under the estimators' verbose, by the rule the engine's own
    // reports follow; ShardedClassifier, whose stages run on a cluster, reports through it.
    py::class_<mirelo::ProgressLines>(m, "ProgressLines")
        .def(py::init([](const py::function& write) {
                 return std::make_unique<mirelo::ProgressLines>([write](const std::string& line) { write(line); });
             }),
             py::arg("write"))
        .def(
            "report",
            [](mirelo::ProgressLines& lines, const std::string& stage, double done) {
                lines.report()(stage.c_str(), done);
            },
            py::arg("stage"), py::arg("done"));

    py::class_<TallStatistics>(m, "RowStatistics")
        .def_property_readonly("n_rows",
                               [](const TallStatistics& statistics) {
                                   Eigen::Index rows = 0;
                                   for (const TallStatistics::Share& share : statistics.shares) rows += share.rows;
                                   return rows;
                               })
        .def(py::pickle(&statistics_state, &statistics_of_state));
    m.def("row_statistics", &row_statistics, py::arg("X"), py::arg("first_row"), py::arg("n_rows"),
          py::arg("n_threads") = 0, release());
    m.def("combined_statistics", &combined_statistics, py::arg("parts"), release());
    m.def("reduction", &reduction, py::arg("statistics"), py::arg("variance"), py::arg("scale"),
          py::arg("n_threads") = 0);

    py::class_<Model> model(m, "Model");
    model.attr("state_fields") = py::tuple(py::cast(kStateFields));
    model.attr("state_format") = kFormat;
    model.def(py::init<std::int32_t, double>(), py::arg("k"), py::arg("variance"))
        .def_property_readonly("k", [](const Model& model) { return model.config.k; })
        .def_property_readonly("variance", [](const Model& model) { return model.config.variance; })
        .def("fit", &Model::fit, py::arg("X"), py::arg("codes"), py::arg("n_classes"), py::arg("scale"),
             py::arg("verbose"), py::arg("n_threads") = 0, py::arg("progress") = py::none(),
             py::arg("quiet_start") = std::chrono::duration<double>(mirelo::ProgressLines::kQuietStart).count(),
             release())
        .def("grown", &Model::grown, py::arg("X"), py::arg("codes"), py::arg("renamed"), py::arg("n_classes"),
             py::arg("n_threads") = 0, release())
        .def_property_readonly("n_side_rows", [](const Model& model) { return model.side_rows(); })
        .def("predict", &Model::predict, py::arg("X"), py::arg("k"), py::arg("n_threads") = 0, release())
        .def("vote_counts", &Model::vote_counts, py::arg("X"), py::arg("k"), py::arg("n_threads") = 0, release())
        .def("kneighbors", &Model::kneighbors, py::arg("X"), py::arg("n_neighbors"), py::arg("n_threads") = 0,
             release())
        .def("training_kneighbors", &Model::training_kneighbors, py::arg("n_neighbors"), py::arg("n_threads") = 0,
             release())
        .def("transform", &Model::transform, py::arg("X"), py::arg("n_threads") = 0, release())
        .def_property_readonly("scale_exponent", &Model::scale_exponent)
        .def_property_readonly("n_components", &Model::n_components)
        .def_property_readonly("explained_variance_ratio", &Model::explained_variance_ratio)
        .def_property_readonly("explained_variance", &Model::explained_variance)
        .def_property_readonly("mean", &Model::mean)
        .def_property_readonly("std_dev", &Model::std_dev)
        .def_property_readonly("components", &Model::components)
        .def_property_readonly("is_fitted", &Model::is_fitted)
        .def_property_readonly("n_samples", [](const Model& model) { return model.counts()[0]; })
        .def_property_readonly("n_features", [](const Model& model) { return model.counts()[1]; })
        .def_property_readonly("n_classes", [](const Model& model) { return model.counts()[2]; })
        .def_property_readonly("classes_held", &Model::classes_held)
        .def_property_readonly("codes", &Model::codes)
        .def("__sizeof__", &Model::memory_bytes)
        .def(py::pickle(&saved, &restored))
        .def_static("from_state", &from_fields, py::arg("state"),
                    "A model from a saved state's fields without the digest, checked as a loaded one is.")
        .def("store_sections", &Model::store_sections)
        .def_static("from_store", &from_store, py::arg("state"), py::arg("numbers"), py::arg("sections"),
                    py::arg("file"),
                    "A model from a saved state's fields and its store's sections, read in place from the file's "
                    "bytes.");

    py::class_<mirelo_sections::FileBytes, std::shared_ptr<mirelo_sections::FileBytes>>(m, "FileBytes",
                                                                                       py::buffer_protocol())
        .def(py::init<int, bool>(), py::arg("descriptor"), py::arg("mapped"))
        .def_property_readonly("mapped", [](const mirelo_sections::FileBytes& file) { return file.mapped; })
        .def_buffer([](mirelo_sections::FileBytes& file) {
            return py::buffer_info(const_cast<std::byte*>(file.data), 1, py::format_descriptor<std::uint8_t>::format(),
                                   1, {static_cast<py::ssize_t>(file.size)}, {py::ssize_t{1}}, true);
        });
}
