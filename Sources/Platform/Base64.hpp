#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Standard base64 with "=" padding.
std::string base64Encode(std::span<const std::uint8_t> bytes);
// Strict: the length must be a multiple of four, padding only at the end, no other characters
// (whitespace included). Anything else is nothing.
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text);

} // namespace platform
