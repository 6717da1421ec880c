// One revision's side of the comparison; compiled against that revision's headers.
#include "revision_side.hpp"

#include <cstring>
#include <memory>
#include <string>

#include "knn_engine.hpp"

namespace {

// FNV-1a, fed a value's bytes.
class Hash {
public:
    template <class T>
    void add(const T& value) {
        unsigned char bytes[sizeof(T)];
        std::memcpy(bytes, &value, sizeof(T));
        for (unsigned char b : bytes) state = (state ^ b) * 1099511628211ull;
    }
    void add(const std::string& text) {
        for (unsigned char c : text) add(c);
        add('\0');
    }
    std::uint64_t value() const { return state; }

private:
    std::uint64_t state = 1469598103934665603ull;
};

using Rows = Eigen::Map<const mirelo::RowMajorMatrix>;

class Side final : public RevisionSide {
public:
    void train(const double* X, std::int64_t rows, std::int64_t features, const std::int32_t* labels,
               std::int32_t k, double variance, bool scale) override {
        mirelo::LabelList y;
        y.reserve(static_cast<std::size_t>(rows));
        for (std::int64_t i = 0; i < rows; ++i) y.push_back(std::to_string(labels[i]));
        engine = std::make_unique<mirelo::KNNEngine>(mirelo::KNNConfig{k, variance});
        engine->set_progress(nullptr);
        engine->train(Rows(X, rows, features), y, scale);
        this->k = k;
    }

    std::int32_t components() const override { return engine->n_components(); }

    std::uint64_t predict_each(const double* rows, std::int64_t count) const override {
        Hash hash;
        for (std::int64_t i = 0; i < count; ++i) hash.add(engine->predict(query(rows, i, 1).row(0).transpose()));
        return hash.value();
    }

    std::uint64_t predict_batch(const double* rows, std::int64_t count) const override {
        Hash hash;
        for (const std::string& label : engine->predict_batch(query(rows, 0, count))) hash.add(label);
        return hash.value();
    }

    std::uint64_t neighbours(const double* rows, std::int64_t count, bool one_at_a_time) const override {
        Hash hash;
        const std::int64_t step = one_at_a_time ? 1 : count;
        for (std::int64_t first = 0; first < count; first += step) {
            for (const mirelo::Neighbour& n : engine->nearest_rows(query(rows, first, step), k)) {
                hash.add(n.distance);
                hash.add(static_cast<std::int64_t>(n.row));
            }
        }
        return hash.value();
    }

private:
    Rows query(const double* rows, std::int64_t first, std::int64_t count) const {
        const Eigen::Index features = engine->n_features();
        return Rows(rows + first * features, count, features);
    }

    std::unique_ptr<mirelo::KNNEngine> engine;
    std::int32_t k = 0;
};

}  // namespace

extern "C" RevisionSide* mirelo_revision_side() { return new Side(); }
