#include "console/command_line.h"

#include <cwchar>

namespace qv {

bool hasFlag(int argc, const wchar_t* const* argv, const wchar_t* flag) {
    for (int index = 1; index < argc; ++index) {
        if (argv[index] != nullptr && _wcsicmp(argv[index], flag) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace qv
