#include "selftest/self_test.h"

#include <stdexcept>

namespace qv {

int runSelfTests(int, const wchar_t* const*) {
    throw std::runtime_error("Chế độ self-test chưa có trong bản dựng này.");
}

} // namespace qv
