#include "app/entry_point.h"
#include "app/redirection_guard.h"
#include "core/system_library.h"

#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <exception>
#include <typeinfo>

// The C++ runtime's own reaction to an exception that nothing caught writes the exception's type
// in source form, and for that it links a whole symbol demangler (some 46 KB of the program).
// This one, linked in its place, writes the same lines with the type as the compiler names it,
// then ends the process as the runtime's would. The entry point catches every std::exception, so
// it is only reached by a fault.
namespace __gnu_cxx {
void __verbose_terminate_handler() {
    static bool terminating = false;
    if (terminating) {
        std::fputs("terminate called recursively\n", stderr);
        std::abort();
    }
    terminating = true;
    const std::type_info* type = abi::__cxa_current_exception_type();
    if (type == nullptr) {
        std::fputs("terminate called without an active exception\n", stderr);
        std::abort();
    }
    std::fputs("terminate called after throwing an instance of '", stderr);
    std::fputs(type->name(), stderr);
    std::fputs("'\n", stderr);
    // The exception that ends the process counts as caught here: it can be thrown again.
    try {
        throw;
    } catch (const std::exception& error) {
        std::fputs("  what():  ", stderr);
        std::fputs(error.what(), stderr);
        std::fputs("\n", stderr);
    } catch (...) {
    }
    std::abort();
}
} // namespace __gnu_cxx

int wmain(int argc, wchar_t** argv) {
    // Before anything can load a DLL by name: the console set-up, COM and the Shell all do.
    qv::restrictDllSearchToSystemFolder();
    // Before the first path is opened.
    qv::enableRedirectionGuard();
    return qv::runEntryPoint(argc, argv);
}
