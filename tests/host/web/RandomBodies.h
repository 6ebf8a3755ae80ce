// Random request bodies for the body parsers' hostile-input tests: bytes and
// fragments of the syntax mixed, and random places to cut them.
#pragma once

#include <random>
#include <string>
#include <vector>

namespace vorn::test {

// Up to most - 1 items, each a fragment (one time in fragmentOneIn) or a random byte.
inline std::string RandomBody(std::mt19937& random, const std::vector<std::string>& fragments, int most,
                              int fragmentOneIn) {
    std::string body;
    int items = static_cast<int>(random() % most);
    for (int i = 0; i < items; ++i) {
        if (random() % fragmentOneIn == 0)
            body += fragments[random() % fragments.size()];
        else
            body += static_cast<char>(random() % 256);
    }
    return body;
}

// Piece sizes, none empty, that add up to length.
inline std::vector<size_t> RandomCuts(std::mt19937& random, size_t length) {
    std::vector<size_t> cuts;
    for (size_t left = length; left > 0;) {
        size_t n = 1 + random() % left;
        cuts.push_back(n);
        left -= n;
    }
    return cuts;
}

} // namespace vorn::test
