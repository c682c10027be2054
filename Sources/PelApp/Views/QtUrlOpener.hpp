#pragma once

#include "PelApp/Model/UrlOpener.hpp"

namespace pelapp {

// Opens addresses with the desktop's handler for their scheme.
class QtUrlOpener final : public UrlOpener {
public:
    bool open(const platform::Url& url) override;
};

} // namespace pelapp
