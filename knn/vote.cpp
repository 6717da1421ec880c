#include "vote.hpp"

#include <algorithm>

#include "small_buffer.hpp"

namespace mirelo {

std::int32_t vote(const Neighbour* nearest, std::size_t count, const std::vector<std::int32_t>& class_of_row) {
    SmallBuffer<std::int32_t, 32> votes(count);
    std::int32_t* places = votes.data();
    for (std::size_t i = 0; i < count; ++i) {
        places[i] = class_of_row[static_cast<std::size_t>(nearest[i].row)];
    }
    std::sort(places, places + count);
    std::int32_t winner = 0;
    std::size_t most = 0;
    for (std::size_t first = 0, last = 0; first < count; first = last) {
        while (last < count && places[last] == places[first]) ++last;
        if (last - first > most) {
            winner = places[first];
            most = last - first;
        }
    }
    return winner;
}

}  // namespace mirelo
