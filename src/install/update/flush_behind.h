#pragma once
// Files flushed one by one on a thread of their own while the next ones are still being written,
// so that making each new file durable costs little more than the writing: the flushes wait on
// the disk, the writing mostly on the cache.

#include "core/guards.h"
#include "core/handle_calls.h"
#include "install/update/update_record.h"

#include <windows.h>

#include <cstddef>
#include <vector>

namespace qv {

class FlushBehind {
public:
    explicit FlushBehind(FileFlush flush) : flush_(flush) {}
    FlushBehind(const FlushBehind&) = delete;
    FlushBehind& operator=(const FlushBehind&) = delete;
    ~FlushBehind() { finish(); }

    // Flushes `file` (open for writing, and kept open until finish returns) after those added
    // before it; here and now where no thread can be started.
    void add(HANDLE file);
    // Waits until every file added is flushed. Returns the first failure's system error code, 0
    // when all were flushed.
    DWORD finish() noexcept;

private:
    static DWORD WINAPI run(void* self);

    FileFlush flush_;
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    std::vector<HANDLE> files_;
    std::size_t flushed_ = 0;
    bool closing_ = false;
    DWORD error_ = ERROR_SUCCESS;
    JoinedThread thread_;
};

} // namespace qv
