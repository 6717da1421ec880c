#pragma once

#include <cstddef>
#include <memory>
#include <utility>

namespace mirelo {

// Read-only values that either belong to the array or lie in memory an owner keeps alive (a
// mapped model file, a Python buffer), so that a store opened from a file reads its arrays
// where they lie. Copies share the values.
template <class T>
class HeldArray {
public:
    HeldArray() = default;
    // `count` values at `values`, valid for as long as `owner` lives.
    HeldArray(const T* values, std::size_t count, std::shared_ptr<const void> owner)
        : values_(values), count_(count), owner_(std::move(owner)) {}

    // Takes over `values`: any container of T with data() and size(), a vector or an Eigen matrix.
    template <class Container>
    static HeldArray owning(Container values) {
        auto held = std::make_shared<const Container>(std::move(values));
        return HeldArray(held->data(), static_cast<std::size_t>(held->size()), held);
    }

    const T* data() const { return values_; }
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const T& operator[](std::size_t i) const { return values_[i]; }
    const T* begin() const { return values_; }
    const T* end() const { return values_ + count_; }
    // What keeps the values alive, for views of them handed out.
    const std::shared_ptr<const void>& owner() const { return owner_; }

private:
    const T* values_ = nullptr;
    std::size_t count_ = 0;
    std::shared_ptr<const void> owner_;
};

}  // namespace mirelo
