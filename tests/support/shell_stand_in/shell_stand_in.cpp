// A stand-in for the Shell's automation object, for test prefixes only: Wine's Shell cannot
// open a ZIP file as a folder. It answers the late-bound calls the installer makes
// (NameSpace, Items, CopyHere) and can behave the ways the installer has to cope with.

#include "shell_stand_in_class.h"
#include "stand_in_archive.h"
#include "stand_in_background.h"
#include "stand_in_dispatch.h"

#include <windows.h>
#include <oleauto.h>

#include <cwctype>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace qv::test {
namespace {

namespace fs = std::filesystem;

// Private: lets a Folder recognise an item list that this server handed out.
// {6B1A3C52-2F0E-4C1B-9E55-0D7E4A1F3B21}
constexpr IID kItemListInterface = {
    0x6b1a3c52, 0x2f0e, 0x4c1b, {0x9e, 0x55, 0x0d, 0x7e, 0x4a, 0x1f, 0x3b, 0x21}};

LONG serverLocks = 0;

std::wstring environmentValue(const wchar_t* name) {
    wchar_t buffer[512];
    const DWORD length = ::GetEnvironmentVariableW(name, buffer, 512);
    return length > 0 && length < 512 ? std::wstring(buffer, length) : std::wstring();
}

// The items of a ZIP folder: only the archive's path matters to CopyHere.
class ItemList : public DispatchObject {
public:
    explicit ItemList(fs::path archive) : archive_(std::move(archive)) {}
    const fs::path& archive() const { return archive_; }

protected:
    std::vector<Member> members() const override { return {}; }
    HRESULT invoke(DISPID, const DISPPARAMS&, VARIANT&, EXCEPINFO*) override {
        return DISP_E_MEMBERNOTFOUND;
    }
    void* privateInterface(REFIID iid) override {
        return IsEqualIID(iid, kItemListInterface) ? this : nullptr;
    }

private:
    fs::path archive_;
};

} // namespace

void lockServer(bool lock) {
    lock ? ::InterlockedIncrement(&serverLocks) : ::InterlockedDecrement(&serverLocks);
}

namespace {

class Folder : public DispatchObject {
public:
    Folder(fs::path path, bool isArchive) : path_(std::move(path)), isArchive_(isArchive) {}

protected:
    enum : DISPID { kItems = 1, kCopyHere = 2 };
    std::vector<Member> members() const override {
        return {{L"Items", kItems}, {L"CopyHere", kCopyHere}};
    }

    HRESULT invoke(DISPID id, const DISPPARAMS& parameters, VARIANT& result,
                   EXCEPINFO* exception) override {
        if (id == kItems) {
            if (!isArchive_) {
                return E_NOTIMPL; // the installer lists only archives
            }
            result.vt = VT_DISPATCH;
            result.pdispVal = new ItemList(path_);
            return S_OK;
        }
        if (id != kCopyHere) {
            return DISP_E_MEMBERNOTFOUND;
        }
        if (parameters.cArgs < 1 || parameters.cArgs > 2) {
            return DISP_E_BADPARAMCOUNT;
        }
        // IDispatch order: the first argument (the items) is the last element.
        const VARIANT& items = parameters.rgvarg[parameters.cArgs - 1];
        if (items.vt != VT_DISPATCH || items.pdispVal == nullptr) {
            return DISP_E_TYPEMISMATCH;
        }
        ItemList* list = nullptr;
        if (FAILED(items.pdispVal->QueryInterface(kItemListInterface,
                                                  reinterpret_cast<void**>(&list)))) {
            return DISP_E_TYPEMISMATCH;
        }
        const fs::path archivePath = list->archive();
        list->Release();
        return copyHere(archivePath, exception);
    }

private:
    static DWORD delay() {
        const std::wstring text = environmentValue(kDelayVariable);
        return text.empty() ? 100u : std::stoul(text);
    }

    HRESULT copyHere(const fs::path& archivePath, EXCEPINFO* exception) {
        const std::wstring mode = environmentValue(kModeVariable);
        if (mode == L"fail") {
            const std::wstring description = environmentValue(kFailureVariable);
            return failWith(exception,
                            description.empty() ? L"The copy was refused." : description);
        }
        if (mode == L"fail-bare") {
            return E_FAIL;
        }
        if (mode == L"background") {
            return startBackgroundExtraction(archivePath, path_, false, delay());
        }
        const StandInArchive archive(archivePath);
        const ArchiveEntry* last = archive.lastFile();
        // "short" leaves out the last file, as a Shell copy that gave up part-way would.
        std::size_t filesLeft = archive.fileCount();
        if (mode == L"short" && filesLeft > 0) {
            --filesLeft;
        }
        for (const ArchiveEntry& entry : archive.entries()) {
            if (!entry.isDirectory) {
                if (filesLeft == 0) {
                    continue;
                }
                --filesLeft;
            }
            if (&entry != last || mode.empty() || mode == L"instant" || mode == L"short") {
                archive.extract(entry, path_);
            } else if (mode == L"renamed") {
                ArchiveEntry renamed = entry;
                renamed.name += L" (2)";
                archive.extract(renamed, path_);
            } else if (mode == L"late") {
                archive.extractZeros(entry, path_);
            } else if (mode == L"wrong-byte") {
                archive.extract(entry, path_, true);
            }
        }
        return mode == L"late" && last != nullptr
                   ? startBackgroundExtraction(archivePath, path_, true, delay())
                   : S_OK;
    }

    fs::path path_;
    bool isArchive_;
};

bool endsWithZip(const std::wstring& path) {
    if (path.size() < 4) {
        return false;
    }
    std::wstring tail = path.substr(path.size() - 4);
    for (wchar_t& c : tail) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return tail == L".zip";
}

class ShellApplication : public DispatchObject {
protected:
    enum : DISPID { kNameSpace = 1 };
    std::vector<Member> members() const override { return {{L"NameSpace", kNameSpace}}; }

    HRESULT invoke(DISPID id, const DISPPARAMS& parameters, VARIANT& result, EXCEPINFO*) override {
        if (id != kNameSpace) {
            return DISP_E_MEMBERNOTFOUND;
        }
        if (parameters.cArgs != 1) {
            return DISP_E_BADPARAMCOUNT;
        }
        VARIANT text;
        ::VariantInit(&text);
        if (FAILED(::VariantChangeType(&text, &parameters.rgvarg[0], 0, VT_BSTR))) {
            return DISP_E_TYPEMISMATCH;
        }
        const std::wstring path(text.bstrVal, ::SysStringLen(text.bstrVal));
        ::VariantClear(&text);

        // Like the real Shell: no folder (and no error) for a path it cannot open.
        result.vt = VT_DISPATCH;
        result.pdispVal = nullptr;
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            return S_OK;
        }
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            result.pdispVal = new Folder(path, false);
        } else if (endsWithZip(path)) {
            result.pdispVal = new Folder(path, true);
        }
        return S_OK;
    }
};

class ClassFactory : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        ShellApplication* shell = new ShellApplication();
        const HRESULT result = shell->QueryInterface(iid, out);
        shell->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            ::InterlockedIncrement(&serverLocks);
        } else {
            ::InterlockedDecrement(&serverLocks);
        }
        return S_OK;
    }
};

ClassFactory factory;

} // namespace
} // namespace qv::test

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!IsEqualCLSID(clsid, qv::test::kShellStandInClass)) {
        *out = nullptr;
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return qv::test::factory.QueryInterface(iid, out);
}

extern "C" HRESULT WINAPI DllCanUnloadNow() {
    return qv::test::liveObjects() == 0 && qv::test::serverLocks == 0 ? S_OK : S_FALSE;
}
