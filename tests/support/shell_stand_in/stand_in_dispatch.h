#pragma once
// What every object of the stand-in shares: reference counting, and IDispatch answered from a
// table of member names.

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

namespace qv::test {

// Objects alive; the DLL is not unloaded while one is.
LONG liveObjects();

// A failure with the description the Shell would give, as DISP_E_EXCEPTION.
HRESULT failWith(EXCEPINFO* exception, const std::wstring& description);

// IUnknown and IDispatch by member name table; subclasses answer invoke().
class DispatchObject : public IDispatch {
public:
    struct Member {
        const wchar_t* name;
        DISPID id;
    };

    DispatchObject();
    virtual ~DispatchObject();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch)) {
            *out = static_cast<IDispatch*>(this);
        } else if (void* own = privateInterface(iid)) {
            *out = own;
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ::InterlockedIncrement(&references_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = ::InterlockedDecrement(&references_);
        if (left == 0) {
            delete this;
        }
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* parameters,
                                     VARIANT* result, EXCEPINFO* exception, UINT*) override;

protected:
    virtual std::vector<Member> members() const = 0;
    virtual HRESULT invoke(DISPID id, const DISPPARAMS& parameters, VARIANT& result,
                           EXCEPINFO* exception) = 0;
    virtual void* privateInterface(REFIID) { return nullptr; }

private:
    LONG references_ = 1;
};

} // namespace qv::test
