#pragma once

#include "PelApp/Model/Clipboard.hpp"

namespace pelapp {

// The application's clipboard (QGuiApplication::clipboard()).
class QtClipboard final : public Clipboard {
public:
    void setString(const std::string& text) override;
};

} // namespace pelapp
