// The class object of the OPC DA server class.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <atomic>

namespace lx {

class ProcessContext;

// Lives as long as the module; COM's references do not end it.
// CreateInstance refuses aggregation and otherwise creates one server object;
// LockServer takes and gives back a module lock.
class ClassFactory final : public IClassFactory {
public:
    explicit ClassFactory(ProcessContext& context) : context_(context) {}
    virtual ~ClassFactory() = default;
    ClassFactory(const ClassFactory&) = delete;
    ClassFactory& operator=(const ClassFactory&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

    ULONG References() const noexcept { return references_.load(); }

private:
    ProcessContext& context_;
    std::atomic<ULONG> references_{0};
};

} // namespace lx
