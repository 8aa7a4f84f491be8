#include "drift/kswin.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "core/archive.hpp"
#include "core/random.hpp"
#include "drift/detector_input.hpp"

namespace tarvo {

KSWIN::KSWIN(double alpha, int window_size, int stat_size, int seed)
    : alpha_(alpha), window_size_(window_size), stat_size_(stat_size), seed_(seed) {
    require_open_unit(alpha, "alpha");
    if (stat_size < 1) {
        throw std::invalid_argument("'stat_size' must be at least 1, got " + std::to_string(stat_size));
    }
    if (static_cast<std::int64_t>(window_size) < 2 * static_cast<std::int64_t>(stat_size)) {
        throw std::invalid_argument("'window_size' must be at least twice 'stat_size' (the test draws stat_size "
                                    "older values besides the stat_size newest), got window_size=" +
                                    std::to_string(window_size) + " and stat_size=" + std::to_string(stat_size));
    }
    seed_generator(gen_, seed_);
}

void KSWIN::reset() noexcept {
    window_.clear();
    seed_generator(gen_, seed_);
    statistic_ = 0.0;
    drift_detected_ = false;
}

double KSWIN::distance(const std::vector<double>& a, const std::vector<double>& b) noexcept {
    const std::size_t n = a.size();
    std::size_t i = 0;
    std::size_t j = 0;
    std::size_t most = 0;
    while (i < n && j < n) {
        const double v = std::min(a[i], b[j]);
        while (i < n && a[i] == v) {
            ++i;
        }
        while (j < n && b[j] == v) {
            ++j;
        }
        most = std::max(most, i > j ? i - j : j - i);
    }
    return static_cast<double>(most) / static_cast<double>(n);
}

void KSWIN::update(double value) {
    require_finite(value, "KSWIN");
    drift_detected_ = false;
    window_.push_back(value);
    const auto full = static_cast<std::size_t>(window_size_);
    if (window_.size() > full) {
        window_.pop_front();
    }
    if (window_.size() < full) {
        return;
    }
    const auto r = static_cast<std::size_t>(stat_size_);
    const std::size_t older = full - r;
    positions_.resize(older);
    for (std::size_t i = 0; i < older; ++i) {
        positions_[i] = static_cast<std::int64_t>(i);
    }
    older_.resize(r);
    for (std::size_t i = 0; i < r; ++i) {
        const std::int64_t j =
            uniform_int(gen_, static_cast<std::int64_t>(i), static_cast<std::int64_t>(older) - 1);
        std::swap(positions_[i], positions_[static_cast<std::size_t>(j)]);
        older_[i] = window_[static_cast<std::size_t>(positions_[i])];
    }
    recent_.assign(window_.end() - static_cast<std::ptrdiff_t>(r), window_.end());
    std::sort(older_.begin(), older_.end());
    std::sort(recent_.begin(), recent_.end());
    statistic_ = distance(older_, recent_);
    if (statistic_ > std::sqrt(-std::log(alpha_) / static_cast<double>(r))) {
        drift_detected_ = true;
        window_.erase(window_.begin(), window_.end() - static_cast<std::ptrdiff_t>(r));
    }
}

template <class Archive>
void KSWIN::fields(Archive& ar) {
    ar.param("alpha", alpha_);
    ar.param("window_size", window_size_);
    ar.param("stat_size", stat_size_);
    ar.param("seed", seed_);
    ar(window_, gen_, statistic_, drift_detected_);
    if constexpr (Archive::kLoading) {
        ar.check(alpha_ > 0.0 && alpha_ < 1.0 && stat_size_ >= 1 &&
                     static_cast<std::int64_t>(window_size_) >= 2 * static_cast<std::int64_t>(stat_size_),
                 "a parameter lies outside its range");
        ar.check(window_.size() <= static_cast<std::size_t>(window_size_), "the window is overfull");
        ar.check(std::all_of(window_.begin(), window_.end(), [](double v) { return std::isfinite(v); }),
                 "the window holds a value that is not finite");
    }
}

TARVO_ARCHIVE_FIELDS(KSWIN);

}  // namespace tarvo
