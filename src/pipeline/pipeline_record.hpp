#pragma once

#include <cstdint>

namespace tarvo {

// What a saved pipeline states of its own. Its steps and learner are saved
// beside it as the objects they are (so that objects shared with other owners
// stay shared); the record repeats their count and the nesting depth, which a
// restored pipeline must agree with.
struct PipelineRecord {
    std::uint64_t n_steps = 0;
    std::uint64_t depth = 0;

    template <class Archive>
    void fields(Archive& ar) {
        ar(n_steps, depth);
    }
};

}  // namespace tarvo
