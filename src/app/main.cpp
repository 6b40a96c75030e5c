#include "app/entry_point.h"
#include "app/redirection_guard.h"
#include "core/system_library.h"

int wmain(int argc, wchar_t** argv) {
    // Before anything can load a DLL by name: the console set-up, COM and the Shell all do.
    qv::restrictDllSearchToSystemFolder();
    // Before the first path is opened.
    qv::enableRedirectionGuard();
    return qv::runEntryPoint(argc, argv);
}
