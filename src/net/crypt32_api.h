#pragma once
// The certificate chain functions of the system folder's crypt32.dll, reached through a table
// like WinHTTP's (net/system_functions.h), and ownership of what they hand out.

#include "core/guards.h"

#include <windows.h>
#include <wincrypt.h>

namespace qv {

// Each crypt32 function the server check calls: its name after "Cert", and its slot below.
#define QV_CRYPT32_FUNCTIONS(X)                                                                    \
    X(GetCertificateChain, getCertificateChain)                                                    \
    X(VerifyCertificateChainPolicy, verifyCertificateChainPolicy)                                  \
    X(FreeCertificateChain, freeCertificateChain)                                                  \
    X(FreeCertificateContext, freeCertificateContext)                                              \
    X(OpenStore, openStore)                                                                        \
    X(CloseStore, closeStore)

struct Crypt32Api {
#define QV_CRYPT32_SLOT(name, slot) decltype(&::Cert##name) slot;
    QV_CRYPT32_FUNCTIONS(QV_CRYPT32_SLOT)
#undef QV_CRYPT32_SLOT
};

// Loads the system's crypt32 on first use and keeps it for the life of the process. Throws
// "Không nạp được thư viện hệ thống crypt32.dll: " + the system's text when it cannot; the next
// call tries again.
const Crypt32Api& crypt32();

inline void freeCertificateContext(PCCERT_CONTEXT certificate) {
    crypt32().freeCertificateContext(certificate);
}
using UniqueCertificate = UniqueResource<PCCERT_CONTEXT, freeCertificateContext>;

inline void freeCertificateChain(PCCERT_CHAIN_CONTEXT chain) {
    crypt32().freeCertificateChain(chain);
}
using UniqueCertificateChain = UniqueResource<PCCERT_CHAIN_CONTEXT, freeCertificateChain>;

} // namespace qv
