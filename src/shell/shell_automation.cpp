#include "shell/shell_automation.h"

#include "core/errors.h"
#include "core/guards.h"

#include <string>

namespace qv {

ScopedVariant invokeShellMethod(IDispatch* object, const std::wstring& name, VARIANTARG* args,
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

    ScopedVariant result;
    EXCEPINFO exception{};
    UINT argumentError = 0;
    // Property-like members such as Items are called as methods too; the Shell accepts both.
    const HRESULT invoked = object->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                           &parameters, result.put(), &exception, &argumentError);
    // The error record's strings are ours to free.
    const UniqueBstr sourceText(exception.bstrSource);
    const UniqueBstr descriptionText(exception.bstrDescription);
    const UniqueBstr helpFileText(exception.bstrHelpFile);
    if (FAILED(invoked)) {
        result.clear();
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

ComPtr<IDispatch> openShellFolder(IDispatch* shell, const std::filesystem::path& path) {
    ScopedVariant argument;
    argument.get().vt = VT_BSTR;
    argument.get().bstrVal = ::SysAllocString(path.c_str());
    check(argument.get().bstrVal != nullptr, "Không cấp phát được chuỗi COM.");

    ComPtr<IDispatch> folder =
        invokeShellMethod(shell, L"NameSpace", &argument.get(), 1).takeDispatch();
    // The Shell answers an unknown or unsupported path with success and no folder.
    check(static_cast<bool>(folder), "Windows Shell không mở được: " + toUtf8(path.wstring()));
    return folder;
}

} // namespace qv
