#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "core/text_option.hpp"

namespace tarvo {

// One side of a candidate split: class weights (by class index) and their total.
struct Branch {
    std::span<const double> weights;
    double total = 0.0;
};

// Gini merit: 1 - sum over branches of (share of weight) * (Gini impurity).
// The pre-split distribution is not used. The merit lies in [0, 1].
struct GiniCriterion {
    [[nodiscard]] static double merit(std::span<const double> pre, double pre_total,
                                      std::span<const Branch> branches) noexcept;
    [[nodiscard]] static double range(std::size_t n_classes) noexcept;
};

// Information gain in bits: entropy before the split minus the weighted
// entropy of the branches; -inf unless at least two branches each hold more
// than 1% of the weight. The merit lies in [0, log2(classes)].
struct InfoGainCriterion {
    [[nodiscard]] static double merit(std::span<const double> pre, double pre_total,
                                      std::span<const Branch> branches) noexcept;
    [[nodiscard]] static double range(std::size_t n_classes) noexcept;
};

// The criterion a split_criterion text selects: "gini", or information gain
// for any other text.
enum class SplitCriterionChoice { kInfoGain, kGini };
[[nodiscard]] inline SplitCriterionChoice parse_split_criterion(std::string_view text) noexcept {
    return text == "gini" ? SplitCriterionChoice::kGini : SplitCriterionChoice::kInfoGain;
}
using SplitCriterionOption = TextOption<SplitCriterionChoice, parse_split_criterion>;

// Entropy in bits of a class distribution with total w; 0 when w <= 0.
[[nodiscard]] double entropy(std::span<const double> weights, double w) noexcept;

}  // namespace tarvo
