// Adds one DER-encoded certificate to a "Root" store of the Windows it runs on: the machine's
// (what the installer trusts) or the signed-in user's (what an unelevated program can change,
// and the installer must not trust alone). Run only inside a test Wine prefix, so that the
// release server's test certificate authorities are trusted there and nowhere else.
//   trust_test_ca.exe machine|user CA.der

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    const bool machine = argc == 3 && std::wcscmp(argv[1], L"machine") == 0;
    if (argc != 3 || (!machine && std::wcscmp(argv[1], L"user") != 0)) {
        std::fwprintf(stderr, L"usage: trust_test_ca machine|user CA.der\n");
        return 2;
    }
    std::ifstream file(argv[2], std::ios::binary);
    const std::vector<char> der((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
    if (!file.good() && !file.eof()) {
        std::fwprintf(stderr, L"cannot read %ls\n", argv[2]);
        return 1;
    }
    if (der.empty()) {
        std::fwprintf(stderr, L"%ls is empty\n", argv[2]);
        return 1;
    }
    const DWORD location =
        machine ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER;
    const HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, location, L"Root");
    if (store == nullptr) {
        std::fwprintf(stderr, L"CertOpenStore failed: %lu\n", ::GetLastError());
        return 1;
    }
    const BOOL added = ::CertAddEncodedCertificateToStore(
        store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
        static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    const DWORD error = ::GetLastError();
    ::CertCloseStore(store, 0);
    if (!added) {
        std::fwprintf(stderr, L"CertAddEncodedCertificateToStore failed: %lu\n", error);
        return 1;
    }
    return 0;
}
