// An IOPCDataCallback that answers every callback with S_OK and does nothing: the sinks of the acceptance
// tests override the calls they watch.
#pragma once

#include <opcda.h>

#include "TestCom.h"

namespace acceptance {

class QuietDataCallback : public ComObject<IOPCDataCallback> {
public:
    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                              HRESULT*) override {
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                HRESULT*) override {
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
};

}  // namespace acceptance
