#include "metrics/error_metrics.hpp"

#include <cmath>

namespace tarvo {

void MAE::update(double y_true, double y_pred) noexcept {
    errors_.update(std::fabs(y_true - y_pred));
}

void RMSE::update(double y_true, double y_pred) noexcept {
    const double e = y_true - y_pred;
    errors_.update(e * e);
}

double RMSE::get() const noexcept {
    return std::sqrt(errors_.mean);
}

}  // namespace tarvo
