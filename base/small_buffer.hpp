#pragma once

#include <cstddef>
#include <vector>

namespace mirelo {

// Room for `size` values: on the stack when they are at most N, from the heap otherwise. A
// one-row call is short enough for an allocation to show. The values are not initialised.
template <class T, std::size_t N>
class SmallBuffer {
public:
    explicit SmallBuffer(std::size_t size) : many(size > N ? size : 0) {}
    SmallBuffer(const SmallBuffer&) = delete;
    SmallBuffer& operator=(const SmallBuffer&) = delete;

    T* data() { return many.empty() ? few : many.data(); }
    const T* data() const { return many.empty() ? few : many.data(); }

private:
    T few[N];
    std::vector<T> many;
};

}  // namespace mirelo
