#pragma once

#include <string>
#include <unordered_map>

namespace tarvo {

// One sample: feature name -> value. Only present features are keys.
using FeatureMap = std::unordered_map<std::string, double>;

// Label -> probability, one entry per label the classifier knows.
using ProbabilityMap = std::unordered_map<int, double>;

}  // namespace tarvo
