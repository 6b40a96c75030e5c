#include "shell/shell_automation.h"

#include "core/errors.h"
#include "core/guards.h"

#include <string>

namespace qv {

VARIANT invokeShellMethod(IDispatch* object, const std::wstring& name, VARIANTARG* args,
                          unsigned argCount) {
    // The Shell's objects are reached only by name: no type library or interface header.
    LPOLESTR names[] = {const_cast<LPOLESTR>(name.c_str())};
    DISPID member = DISPID_UNKNOWN;
    checkHr(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &member),
            "Không tìm thấy hàm Shell Automation");

    DISPPARAMS parameters{};
    parameters.rgvarg = args;
    parameters.cArgs = argCount;
    parameters.rgdispidNamedArgs = nullptr;
    parameters.cNamedArgs = 0;

    VARIANT result;
    ::VariantInit(&result);
    EXCEPINFO exception{};
    UINT argumentError = 0;
    // Property-like members such as Items are called as methods too; the Shell accepts both.
    const HRESULT invoked = object->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                           &parameters, &result, &exception, &argumentError);
    if (FAILED(invoked)) {
        ::VariantClear(&result);
        // The error record's strings are ours to free, even if building the message throws.
        const ScopeExit freeStrings([&exception] {
            ::SysFreeString(exception.bstrSource);
            ::SysFreeString(exception.bstrDescription);
            ::SysFreeString(exception.bstrHelpFile);
        });
        std::string description;
        if (exception.bstrDescription != nullptr) {
            description = toUtf8(
                std::wstring(exception.bstrDescription, ::SysStringLen(exception.bstrDescription)));
        }
        std::string message = "Shell Automation thất bại";
        if (!description.empty()) {
            message += ": " + description;
        }
        checkHr(invoked, message);
    }
    return result;
}

IDispatch* openShellFolder(IDispatch* shell, const std::filesystem::path& path) {
    ScopedVariant argument;
    argument.get().vt = VT_BSTR;
    argument.get().bstrVal = ::SysAllocString(path.c_str());
    check(argument.get().bstrVal != nullptr, "Không cấp phát được chuỗi COM.");

    ScopedVariant folder(invokeShellMethod(shell, L"NameSpace", &argument.get(), 1));
    argument.clear();

    // The Shell answers an unknown or unsupported path with success and no folder.
    const bool isFolder = folder.get().vt == VT_DISPATCH && folder.get().pdispVal != nullptr;
    check(isFolder, "Windows Shell không mở được: " + toUtf8(path.wstring()));

    IDispatch* result = folder.get().pdispVal;
    folder.get().vt = VT_EMPTY; // the reference passes to the caller
    folder.get().pdispVal = nullptr;
    return result;
}

} // namespace qv
