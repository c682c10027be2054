#pragma once

#include <string>

namespace pelapp {

// The desktop's general clipboard, reduced to what the windows put on it.
class Clipboard {
public:
    virtual ~Clipboard() = default;
    // Replaces the whole clipboard content with `text` as plain text.
    virtual void setString(const std::string& text) = 0;
};

} // namespace pelapp
