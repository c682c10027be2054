#pragma once

// Shared by the libFuzzer harnesses: the input as text, and a hard stop for a broken invariant
// (an exception the parser does not document ends the run by itself, as an uncaught exception).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace pelfuzz {

inline std::string textOf(const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

inline void require(bool holds) {
    if (!holds) std::abort();
}

} // namespace pelfuzz
