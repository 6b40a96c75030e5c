#include "app/installer.h"

#include <stdexcept>

namespace qv {

int runInstaller() {
    throw std::runtime_error("Chế độ cài đặt chưa có trong bản dựng này.");
}

} // namespace qv
