#include "neighbors/neighbor_window.hpp"

#include <stdexcept>
#include <string>

namespace tarvo {

std::size_t checked_window_size(int window_size) {
    if (window_size < 1) {
        throw std::invalid_argument("window_size must be at least 1, got " +
                                    std::to_string(window_size));
    }
    return static_cast<std::size_t>(window_size);
}

int checked_n_neighbors(int n_neighbors) {
    if (n_neighbors < 0) {
        throw std::invalid_argument("n_neighbors must be at least 0, got " +
                                    std::to_string(n_neighbors));
    }
    return n_neighbors;
}

}  // namespace tarvo
