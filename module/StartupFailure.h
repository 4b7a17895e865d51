// A start-up failure that the module reports with the text of a string resource.
#pragma once

#include <windows.h>

#include <stdexcept>

namespace lx {

class StartupFailure : public std::runtime_error {
public:
    explicit StartupFailure(UINT stringId)
        : std::runtime_error("start-up failure"), stringId_(stringId) {}
    UINT StringId() const noexcept { return stringId_; }
private:
    UINT stringId_;
};

} // namespace lx
