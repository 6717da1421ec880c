#include "vote.hpp"

#include <algorithm>
#include <string>

namespace mirelo {

std::int32_t vote(const std::vector<Neighbour>& nearest, const std::vector<std::int32_t>& class_of_row) {
    // A few votes are counted on the stack: one-row calls are short enough for an allocation
    // to show.
    constexpr std::size_t kFew = 32;
    std::int32_t few[kFew];
    std::vector<std::int32_t> many(nearest.size() > kFew ? nearest.size() : 0);
    std::int32_t* places = nearest.size() > kFew ? many.data() : few;
    const std::size_t count = nearest.size();
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
