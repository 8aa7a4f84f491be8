#pragma once

#include <cstdint>
#include <unordered_map>

#include "core/fresh_container.hpp"

namespace tarvo {

// Per-class confusion counts shared by the macro-averaged metrics. A label
// becomes a known class the first time it occurs, as the true or as the
// predicted label, and stays one until reset; every known class weighs the
// same in the average, whatever its score.
class MacroBase {
public:
    struct ClassCounts {
        std::int64_t tp = 0;
        std::int64_t fp = 0;
        std::int64_t fn = 0;

        template <class Archive>
        void fields(Archive& ar) {
            ar(tp, fp, fn);
        }
    };

    void update(int y_true, int y_pred);
    // A new table rather than clear(), which would keep the grown bucket
    // array: the averages are summed in table order, which depends on it.
    void reset() noexcept { replace_with_empty(classes_); }

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar) {
        ar(classes_);
    }

protected:
    // Mean over the known classes of score(counts); 0.0 when none is known.
    template <class Score>
    [[nodiscard]] double average(Score score) const noexcept {
        if (classes_.empty()) {
            return 0.0;
        }
        double sum = 0.0;
        for (const auto& [label, counts] : classes_) {
            sum += score(counts);
        }
        return sum / static_cast<double>(classes_.size());
    }

    // num / den, or 0.0 when the denominator is not positive.
    [[nodiscard]] static double ratio(std::int64_t num, std::int64_t den) noexcept {
        return den >= 1 ? static_cast<double>(num) / static_cast<double>(den) : 0.0;
    }

private:
    std::unordered_map<int, ClassCounts> classes_;
};

class MacroPrecision : public MacroBase {
public:
    [[nodiscard]] double get() const noexcept;
};

class MacroRecall : public MacroBase {
public:
    [[nodiscard]] double get() const noexcept;
};

// Per-class F1 from the counts directly: 2tp / (2tp + fp + fn).
class MacroF1 : public MacroBase {
public:
    [[nodiscard]] double get() const noexcept;
};

}  // namespace tarvo
