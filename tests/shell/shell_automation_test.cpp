#include "core/errors.h"
#include "core/guards.h"
#include "shell/shell_automation.h"

#include "support/failure_of.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace qv {
namespace {

// An IDispatch that records how it was called and answers as each case tells it to.
class RecordingDispatch : public IDispatch {
public:
    // What the recorded call saw.
    LCID namesLocale = 0;
    LCID invokeLocale = 0;
    WORD invokeFlags = 0;
    UINT argCount = 0;
    UINT namedArgCount = 99;
    VARIANTARG* args = nullptr;
    int invokeCalls = 0;
    std::wstring firstArgText;
    // What it answers.
    HRESULT invokeResult = S_OK;
    const wchar_t* description = nullptr;
    VARIANT answer{};
    IDispatch* leftInResultOnFailure = nullptr;
    LONG references = 1;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID locale,
                                            DISPID* ids) override {
        namesLocale = locale;
        if (count != 1 || std::wstring(names[0]) != L"Known") {
            ids[0] = DISPID_UNKNOWN;
            return DISP_E_UNKNOWNNAME;
        }
        ids[0] = 7;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID locale, WORD flags,
                                     DISPPARAMS* parameters, VARIANT* result, EXCEPINFO* exception,
                                     UINT*) override {
        ++invokeCalls;
        EXPECT_EQ(id, 7);
        invokeLocale = locale;
        invokeFlags = flags;
        argCount = parameters->cArgs;
        namedArgCount = parameters->cNamedArgs;
        args = parameters->rgvarg;
        if (argCount > 0 && args[argCount - 1].vt == VT_BSTR) {
            firstArgText = args[argCount - 1].bstrVal;
        }
        if (FAILED(invokeResult)) {
            if (leftInResultOnFailure != nullptr) {
                result->vt = VT_DISPATCH;
                result->pdispVal = leftInResultOnFailure; // the caller's clear must drop it
            }
            if (description != nullptr) {
                exception->bstrSource = ::SysAllocString(L"source");
                exception->bstrDescription = ::SysAllocString(description);
            }
            return invokeResult;
        }
        *result = answer;
        return S_OK;
    }
};

std::string failureOf(RecordingDispatch& object, const wchar_t* name) {
    return test::failureOf([&] { invokeShellMethod(&object, name, nullptr, 0); });
}

TEST(InvokeShellMethod, CallsByNameAsAMethodWithTheUserLocale) {
    RecordingDispatch object;
    object.answer.vt = VT_I4;
    object.answer.lVal = 42;
    ScopedVariant args[2];
    args[0].get().vt = VT_I4;
    args[1].get().vt = VT_BSTR;
    args[1].get().bstrVal = ::SysAllocString(L"first");
    const ScopedVariant result = invokeShellMethod(&object, L"Known", &args[0].get(), 2);
    EXPECT_EQ(result.get().vt, VT_I4);
    EXPECT_EQ(result.get().lVal, 42);
    EXPECT_EQ(object.namesLocale, 0x400u);
    EXPECT_EQ(object.invokeLocale, 0x400u);
    EXPECT_EQ(object.invokeFlags, DISPATCH_METHOD);
    EXPECT_EQ(object.argCount, 2u);
    EXPECT_EQ(object.namedArgCount, 0u);
    EXPECT_EQ(object.args, &args[0].get());
    EXPECT_EQ(object.firstArgText, L"first");
}

TEST(InvokeShellMethod, FailuresCarryTheDescriptionAndTheHresult) {
    RecordingDispatch leftOver;
    const struct {
        const wchar_t* name;
        HRESULT result;
        const wchar_t* description;
        const char* message;
        int invokeCalls;
    } cases[] = {
        {L"Missing", S_OK, nullptr, "Không tìm thấy hàm Shell Automation (HRESULT 0x80020006)", 0},
        {L"Known", E_FAIL, nullptr, "Shell Automation thất bại (HRESULT 0x80004005)", 1},
        {L"Known", DISP_E_EXCEPTION, L"Ổ đĩa đầy",
         "Shell Automation thất bại: Ổ đĩa đầy (HRESULT 0x80020009)", 1},
        {L"Known", DISP_E_EXCEPTION, L"", "Shell Automation thất bại (HRESULT 0x80020009)", 1},
    };
    for (const auto& c : cases) {
        RecordingDispatch object;
        object.invokeResult = c.result;
        object.description = c.description;
        object.leftInResultOnFailure = &leftOver;
        leftOver.AddRef();
        const LONG before = leftOver.references;
        EXPECT_EQ(failureOf(object, c.name), c.message);
        EXPECT_EQ(object.invokeCalls, c.invokeCalls) << c.message;
        if (c.invokeCalls == 0) {
            leftOver.Release();
        } else {
            EXPECT_EQ(leftOver.references, before - 1) << "result not cleared: " << c.message;
        }
    }
}

class NameSpaceAnswer : public RecordingDispatch {
public:
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale,
                                            DISPID* ids) override {
        EXPECT_EQ(std::wstring(names[0]), L"NameSpace");
        LPOLESTR known[] = {const_cast<LPOLESTR>(L"Known")};
        return RecordingDispatch::GetIDsOfNames(iid, known, count, locale, ids);
    }
};

TEST(OpenShellFolder, PassesThePathAndHandsOverTheFolder) {
    RecordingDispatch folder;
    NameSpaceAnswer shell;
    shell.answer.vt = VT_DISPATCH;
    shell.answer.pdispVal = &folder;
    const std::filesystem::path path = L"C:\\Thư mục\\gói.zip";
    ComPtr<IDispatch> opened = openShellFolder(&shell, path);
    EXPECT_EQ(opened.get(), &folder);
    EXPECT_EQ(shell.argCount, 1u);
    EXPECT_EQ(shell.firstArgText, path.wstring());
    opened.reset();
    EXPECT_EQ(folder.references, 0); // the one reference it was given, released by the caller
}

TEST(OpenShellFolder, NoFolderInASuccessfulAnswerNamesThePath) {
    const VARTYPE answers[] = {VT_EMPTY, VT_I4, VT_DISPATCH};
    for (VARTYPE type : answers) {
        NameSpaceAnswer shell;
        shell.answer.vt = type;
        shell.answer.pdispVal = nullptr;
        std::string message = "<no exception>";
        try {
            openShellFolder(&shell, L"C:\\Không có\\gói.zip");
        } catch (const std::runtime_error& error) {
            message = error.what();
        }
        EXPECT_EQ(message, "Windows Shell không mở được: C:\\Không có\\gói.zip") << type;
    }
}

} // namespace
} // namespace qv
