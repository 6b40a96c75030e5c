#include "stand_in_dispatch.h"

#include <exception>

namespace qv::test {
namespace {

LONG objectsAlive = 0;

bool sameNameIgnoringCase(const wchar_t* a, const wchar_t* b) {
    return ::CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

std::wstring wideText(const char* text) {
    std::wstring wide;
    for (; *text != '\0'; ++text) {
        wide += static_cast<wchar_t>(static_cast<unsigned char>(*text));
    }
    return wide;
}

} // namespace

LONG liveObjects() {
    return objectsAlive;
}

HRESULT failWith(EXCEPINFO* exception, const std::wstring& description) {
    if (exception != nullptr) {
        *exception = EXCEPINFO{};
        exception->bstrSource = ::SysAllocString(L"Shell.Application");
        exception->bstrDescription = ::SysAllocString(description.c_str());
        exception->bstrHelpFile = ::SysAllocString(L"shell.hlp");
        exception->scode = E_FAIL;
    }
    return DISP_E_EXCEPTION;
}

DispatchObject::DispatchObject() {
    ::InterlockedIncrement(&objectsAlive);
}

DispatchObject::~DispatchObject() {
    ::InterlockedDecrement(&objectsAlive);
}

HRESULT STDMETHODCALLTYPE DispatchObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                                        DISPID* ids) {
    HRESULT result = S_OK;
    for (UINT i = 0; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        for (const Member& member : members()) {
            if (i == 0 && sameNameIgnoringCase(names[i], member.name)) {
                ids[i] = member.id;
            }
        }
        if (ids[i] == DISPID_UNKNOWN) {
            result = DISP_E_UNKNOWNNAME;
        }
    }
    return result;
}
HRESULT STDMETHODCALLTYPE DispatchObject::Invoke(DISPID id, REFIID, LCID, WORD flags,
                                                 DISPPARAMS* parameters, VARIANT* result,
                                                 EXCEPINFO* exception, UINT*) {
    if ((flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0) {
        return DISP_E_MEMBERNOTFOUND;
    }
    VARIANT ignored;
    ::VariantInit(&ignored);
    VARIANT* out = result != nullptr ? result : &ignored;
    try {
        const HRESULT outcome = invoke(id, *parameters, *out, exception);
        ::VariantClear(&ignored);
        return outcome;
    } catch (const std::exception& error) {
        ::VariantClear(&ignored);
        return failWith(exception, wideText(error.what()));
    }
}

} // namespace qv::test
