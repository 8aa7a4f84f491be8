#include "tree/gradient_node.hpp"

#include <utility>

#include "tree/node_walk.hpp"

namespace tarvo {

GradientNode::~GradientNode() {
    dismantle(std::move(left));
    dismantle(std::move(right));
}

}  // namespace tarvo
