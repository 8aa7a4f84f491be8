#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/feature_map.hpp"

namespace tarvo {

// The samples of a run, read one at a time and in order, so that a learner
// spreading its work over threads can have them made on one of its threads
// while others learn the samples before.
class SampleSource {
public:
    virtual ~SampleSource() = default;

    // How many samples.
    [[nodiscard]] virtual std::size_t size() const noexcept = 0;

    // Sample r, in `scratch` or in storage of the source's own; the reference
    // lasts as long as both. Called with r in increasing order, by one thread
    // at a time, which need not be the one that made the source.
    [[nodiscard]] virtual const FeatureMap& sample(std::size_t r, FeatureMap& scratch) const = 0;

    // Every sample at once: the source's own when it holds them in order,
    // else made in `storage` (whose earlier entries are replaced).
    [[nodiscard]] virtual std::span<const FeatureMap> all(std::vector<FeatureMap>& storage) const {
        const std::size_t n = size();
        if (storage.size() < n) {
            storage.resize(n);
        }
        for (std::size_t r = 0; r < n; ++r) {
            const FeatureMap& x = sample(r, storage[r]);
            if (&x != &storage[r]) {
                storage[r] = x;
            }
        }
        return {storage.data(), n};
    }

protected:
    SampleSource() = default;
    SampleSource(const SampleSource&) = default;
    SampleSource& operator=(const SampleSource&) = default;
};

// Samples held in order by the caller.
class SampleSpan final : public SampleSource {
public:
    explicit SampleSpan(std::span<const FeatureMap> xs) noexcept : xs_(xs) {}

    [[nodiscard]] std::size_t size() const noexcept override { return xs_.size(); }
    [[nodiscard]] const FeatureMap& sample(std::size_t r, FeatureMap& /*scratch*/) const override {
        return xs_[r];
    }
    [[nodiscard]] std::span<const FeatureMap> all(std::vector<FeatureMap>& /*storage*/) const override {
        return xs_;
    }

private:
    std::span<const FeatureMap> xs_;
};

}  // namespace tarvo
