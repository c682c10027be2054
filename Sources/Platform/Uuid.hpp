#pragma once

#include <string>

namespace platform {

// A random version-4 UUID in upper-case 36-character text ("8-4-4-4-12").
std::string uuidV4();

}  // namespace platform
