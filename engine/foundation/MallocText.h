// A malloc'ed text with one owner: what the C-style interfaces hand over
// (server variables, copied header texts, a body gathered whole) is freed
// where its owner ends, not by hand.
#pragma once

#include <cstdlib>
#include <memory>

namespace vorn {

struct FreeMalloced {
    void operator()(void* block) const { std::free(block); }
};
using MallocText = std::unique_ptr<char, FreeMalloced>;

} // namespace vorn
