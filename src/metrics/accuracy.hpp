#pragma once

#include <cstdint>

namespace tarvo {

// Cumulative share of updates whose true and predicted labels are equal.
class Accuracy {
public:
    void update(int y_true, int y_pred) noexcept {
        total_ += 1;
        if (y_true == y_pred) {
            correct_ += 1;
        }
    }

    // 0.0 before any update.
    [[nodiscard]] double get() const noexcept;

    void reset() noexcept {
        correct_ = 0;
        total_ = 0;
    }

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    std::int64_t correct_ = 0;
    std::int64_t total_ = 0;
};

}  // namespace tarvo
