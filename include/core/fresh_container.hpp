#pragma once

namespace tarvo {

// Empties a container by replacing it with a new one. clear() keeps a hash
// table's grown bucket array, and the bucket count decides the order in which
// the table iterates and is saved, so a table emptied by reset must be a new
// one to behave, and save, as a fresh object's does.
template <class Container>
void replace_with_empty(Container& c) noexcept {
    Container().swap(c);
}

}  // namespace tarvo
