#include "vote.hpp"

#include <algorithm>
#include <string>

namespace mirelo {

std::int32_t vote(const std::vector<Neighbour>& nearest, const std::vector<std::int32_t>& class_of_row) {
    std::vector<std::int32_t> places(nearest.size());
    for (std::size_t i = 0; i < nearest.size(); ++i) {
        places[i] = class_of_row[static_cast<std::size_t>(nearest[i].row)];
    }
    std::sort(places.begin(), places.end());
    std::int32_t winner = 0;
    std::size_t most = 0;
    for (std::size_t first = 0, last = 0; first < places.size(); first = last) {
        while (last < places.size() && places[last] == places[first]) ++last;
        if (last - first > most) {
            winner = places[first];
            most = last - first;
        }
    }
    return winner;
}

}  // namespace mirelo
