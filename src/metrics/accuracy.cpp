#include "metrics/accuracy.hpp"

namespace tarvo {

double Accuracy::get() const noexcept {
    return total_ == 0 ? 0.0 : static_cast<double>(correct_) / static_cast<double>(total_);
}

}  // namespace tarvo
