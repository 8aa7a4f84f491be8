#pragma once

#include <cstddef>
#include <span>

#include "core/feature_map.hpp"
#include "core/sample_source.hpp"
#include "core/task_runner.hpp"

namespace tarvo {

// A learner that can learn a run of samples with its work spread over
// threads, to the same state, bit for bit, as learn_one called on them one
// after another.
template <class Target>
class ChunkLearner {
public:
    virtual ~ChunkLearner() = default;

    // Learns (sample r of xs, ys[r]) for every r in order, as learn_one
    // would; when answers is not null, answers[r] becomes what predict_one would
    // have answered just before that sample was learnt (test-then-train).
    // `learnt` counts the samples learnt so far. When learn_one would throw
    // at a sample before changing anything, the samples before it are learnt
    // (their answers written) and the exception is rethrown, with `learnt`
    // at that sample.
    virtual void learn_chunk(const SampleSource& xs, std::span<const Target> ys,
                             Target* answers, TaskRunner& runner, std::size_t& learnt) = 0;

protected:
    ChunkLearner() = default;
    ChunkLearner(const ChunkLearner&) = default;
    ChunkLearner& operator=(const ChunkLearner&) = default;
};

}  // namespace tarvo
