#include "metrics/r2.hpp"

namespace tarvo {

void R2::update(double y_true, double y_pred) noexcept {
    targets_.update(y_true);
    const double e = y_true - y_pred;
    sse_ += e * e;
}

double R2::get() const noexcept {
    if (targets_.count <= 1.0) {
        return 0.0;
    }
    const double total_squares = (targets_.count - 1.0) * targets_.variance();
    if (total_squares == 0.0) {
        return 0.0;
    }
    return 1.0 - sse_ / total_squares;
}

}  // namespace tarvo
