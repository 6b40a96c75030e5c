#include "app/entry_point.h"
#include "core/system_library.h"

int wmain(int argc, wchar_t** argv) {
    // Before anything can load a DLL by name: the console set-up, COM and the Shell all do.
    qv::restrictDllSearchToSystemFolder();
    return qv::runEntryPoint(argc, argv);
}
