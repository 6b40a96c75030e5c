#include "net/crypt32_api.h"

#include "net/system_functions.h"

namespace qv {
namespace {

constexpr char kFileName[] = "crypt32.dll";

Crypt32Api loadCrypt32() {
    const HMODULE library = loadSystemLibraryForGood(kFileName);
    Crypt32Api api{};
#define QV_CRYPT32_BIND(name, slot) bindSystemFunction(library, kFileName, "Cert" #name, api.slot);
    QV_CRYPT32_FUNCTIONS(QV_CRYPT32_BIND)
#undef QV_CRYPT32_BIND
    return api;
}

} // namespace

const Crypt32Api& crypt32() {
    static const Crypt32Api api = loadCrypt32();
    return api;
}

} // namespace qv
