#include "install/update/flush_behind.h"

namespace qv {

void FlushBehind::add(HANDLE file) {
    if (thread_) {
        ::AcquireSRWLockExclusive(&lock_);
        try {
            files_.push_back(file);
        } catch (...) {
            ::ReleaseSRWLockExclusive(&lock_);
            throw; // no memory: the caller's copy fails as it would
        }
        ::WakeConditionVariable(&changed_);
        ::ReleaseSRWLockExclusive(&lock_);
        return;
    }
    files_.push_back(file);
    if (files_.size() == 1) {
        thread_ = startThread(run, this);
    }
    // Where no thread could start, each file is flushed here, in order.
    for (; !thread_ && flushed_ < files_.size(); ++flushed_) {
        if (!flush_(files_[flushed_]) && error_ == ERROR_SUCCESS) {
            error_ = ::GetLastError();
        }
    }
}

DWORD FlushBehind::finish() noexcept {
    if (thread_) {
        ::AcquireSRWLockExclusive(&lock_);
        closing_ = true;
        ::WakeConditionVariable(&changed_);
        ::ReleaseSRWLockExclusive(&lock_);
        thread_.reset(); // waits for the last flush
    }
    return error_;
}

DWORD WINAPI FlushBehind::run(void* self) {
    FlushBehind& queue = *static_cast<FlushBehind*>(self);
    ::AcquireSRWLockExclusive(&queue.lock_);
    for (;;) {
        while (queue.flushed_ == queue.files_.size() && !queue.closing_) {
            ::SleepConditionVariableSRW(&queue.changed_, &queue.lock_, INFINITE, 0);
        }
        if (queue.flushed_ == queue.files_.size()) {
            break; // closing, and nothing left
        }
        const HANDLE file = queue.files_[queue.flushed_];
        ::ReleaseSRWLockExclusive(&queue.lock_);
        const DWORD error = queue.flush_(file) ? ERROR_SUCCESS : ::GetLastError();
        ::AcquireSRWLockExclusive(&queue.lock_);
        ++queue.flushed_;
        if (error != ERROR_SUCCESS && queue.error_ == ERROR_SUCCESS) {
            queue.error_ = error;
        }
    }
    ::ReleaseSRWLockExclusive(&queue.lock_);
    return 0;
}

} // namespace qv
