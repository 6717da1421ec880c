#pragma once

#include <cstddef>
#include <memory_resource>
#include <type_traits>

#include "mirelo_types.hpp"

namespace mirelo {

// `count` values drawn from a call's monotonic memory, which hands them all back at once when the
// call ends, so they are never freed one by one. They are not initialised: a one-row call is short
// enough for zeroing its buffers to show, and each value is written before it is read.
template <class T>
class ScratchArray {
    static_assert(std::is_trivially_destructible_v<T>, "the memory is released without destroying the values");

public:
    ScratchArray(std::pmr::monotonic_buffer_resource& memory, Eigen::Index count)
        : values(static_cast<T*>(memory.allocate(static_cast<std::size_t>(count) * sizeof(T), alignof(T)))) {}

    T* data() const { return values; }
    T* begin() const { return values; }
    T& operator[](std::size_t i) const { return values[i]; }

private:
    T* values;
};

}  // namespace mirelo
