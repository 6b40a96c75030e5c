// Adds one DER-encoded certificate to the "Root" store of the Windows it runs on. Run only
// inside a test Wine prefix, so that the release server's test certificate authority is
// trusted there and nowhere else.
//   trust_test_ca.exe CA.der

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fwprintf(stderr, L"usage: trust_test_ca CA.der\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::vector<char> der((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
    if (!file.good() && !file.eof()) {
        std::fwprintf(stderr, L"cannot read %ls\n", argv[1]);
        return 1;
    }
    if (der.empty()) {
        std::fwprintf(stderr, L"%ls is empty\n", argv[1]);
        return 1;
    }
    if (!::CertAddEncodedCertificateToSystemStoreW(
            L"Root", reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()))) {
        std::fwprintf(stderr, L"CertAddEncodedCertificateToSystemStoreW failed: %lu\n",
                      ::GetLastError());
        return 1;
    }
    return 0;
}
