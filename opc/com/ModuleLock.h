// Holds one lock on the module object (keeps the process alive) for its lifetime.
#pragma once

namespace opc::com {

class ModuleLock {
public:
    ModuleLock() noexcept;
    ~ModuleLock();
    ModuleLock(const ModuleLock&) = delete;
    ModuleLock& operator=(const ModuleLock&) = delete;

private:
    bool held_ = false;
};

} // namespace opc::com
