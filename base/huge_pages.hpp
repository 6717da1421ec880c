#pragma once

#include <cstddef>
#include <new>
#include <vector>

#include "mirelo_types.hpp"

namespace mirelo {

// Asks the system to back the whole huge pages inside [data, data + bytes) with huge pages, where
// it offers them on request. Only a hint: pages already written may stay small.
void advise_huge_pages(const void* data, std::size_t bytes);

// A matrix whose pages the system is asked to back with huge pages before it is written, where it
// offers them on request. The search reads stored rows in an order of its own, one here and one
// there, and with small pages nearly every row it fetches also misses the address cache.
RowMajorMatrix matrix_on_huge_pages(Eigen::Index rows, Eigen::Index cols);

// Storage that starts on a cache line, for copies read a group at a time: a group's norms then
// take one line, not two.
template <class T>
struct LineAligned {
    using value_type = T;
    static constexpr std::align_val_t kLine{64};

    LineAligned() = default;
    template <class U>
    LineAligned(const LineAligned<U>&) noexcept {}
    T* allocate(std::size_t count) { return static_cast<T*>(::operator new(count * sizeof(T), kLine)); }
    void deallocate(T* values, std::size_t) noexcept { ::operator delete(values, kLine); }
    friend bool operator==(const LineAligned&, const LineAligned&) { return true; }
    friend bool operator!=(const LineAligned&, const LineAligned&) { return false; }
};

template <class T>
using AlignedVector = std::vector<T, LineAligned<T>>;

// Resizes the empty `values` to `count` zeros, its storage advised for huge pages before they are written,
// for copies the search reads group by group as widely apart as the stored rows.
template <class T, class Allocator>
void resize_on_huge_pages(std::vector<T, Allocator>& values, std::size_t count) {
    values.reserve(count);
    advise_huge_pages(values.data(), values.capacity() * sizeof(T));
    values.resize(count);
}

}  // namespace mirelo
