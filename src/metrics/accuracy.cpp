#include "metrics/accuracy.hpp"

#include "core/archive.hpp"

namespace tarvo {

double Accuracy::get() const noexcept {
    return total_ == 0 ? 0.0 : static_cast<double>(correct_) / static_cast<double>(total_);
}

template <class Archive>
void Accuracy::fields(Archive& ar) {
    ar(correct_, total_);
}

TARVO_ARCHIVE_FIELDS(Accuracy);

}  // namespace tarvo
