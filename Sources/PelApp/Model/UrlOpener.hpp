#pragma once

#include "Platform/Url.hpp"

namespace pelapp {

// Hands an address to the desktop (a browser, the mail program, a settings pane).
class UrlOpener {
public:
    virtual ~UrlOpener() = default;
    // Whether the desktop took the address.
    virtual bool open(const platform::Url& url) = 0;
};

} // namespace pelapp
