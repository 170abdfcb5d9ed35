// The random edits the fuzz driver tests make to their seeds: a changed
// byte, a cut, an inserted byte, a length byte set to an extreme, a flipped
// bit; one to `most` of them.
#pragma once

#include "wincrypt.h"

#include <random>
#include <vector>

inline void Mutate(std::vector<BYTE>& input, std::mt19937& rng, int most)
{
    const int edits = 1 + static_cast<int>(rng() % static_cast<unsigned>(most));
    for (int e = 0; e < edits && !input.empty(); ++e) {
        const size_t at = rng() % input.size();
        switch (rng() % 5) {
        case 0:
            input[at] = static_cast<BYTE>(rng());
            break;
        case 1:
            input.resize(at);
            break;
        case 2:
            input.insert(input.begin() + static_cast<long>(at), static_cast<BYTE>(rng()));
            break;
        case 3:
            input[at] = (rng() % 2) ? 0xFF : 0x84;
            break;
        default:
            input[at] ^= static_cast<BYTE>(1u << (rng() % 8));
            break;
        }
    }
}
