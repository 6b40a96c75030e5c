#include "app/entry_point.h"

int wmain(int argc, wchar_t** argv) {
    return qv::runEntryPoint(argc, argv);
}
