#include "stand_in_background.h"

#include "stand_in_archive.h"

#include <memory>

namespace qv::test {
namespace {

namespace fs = std::filesystem;

struct BackgroundJob {
    fs::path archive;
    fs::path destination;
    DWORD delayMilliseconds;
    bool lastFileOnly; // the late mode: only the last file's bytes, after one delay
};

// Unpacks one file at a time with a pause after each, as a slow Shell copy would, so the
// installer's progress poll sees the files arrive; in the late mode, only the last file's bytes
// after one pause, as a Shell that sets a file's length before writing it. Holds the DLL loaded
// until it is done.
DWORD WINAPI backgroundExtraction(void* parameter) {
    std::unique_ptr<BackgroundJob> job(static_cast<BackgroundJob*>(parameter));
    try {
        const StandInArchive archive(job->archive);
        if (job->lastFileOnly) {
            ::Sleep(job->delayMilliseconds);
            archive.extract(*archive.lastFile(), job->destination);
        } else {
            for (const ArchiveEntry& entry : archive.entries()) {
                archive.extract(entry, job->destination);
                if (!entry.isDirectory) {
                    ::Sleep(job->delayMilliseconds);
                }
            }
        }
    } catch (...) {
        // Nobody waits for this thread; an incomplete destination is what the poll reports.
    }
    job.reset();
    lockServer(false);
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                             GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&backgroundExtraction), &self);
    ::FreeLibraryAndExitThread(self, 0);
    return 0;
}

} // namespace

HRESULT startBackgroundExtraction(const fs::path& archive, const fs::path& destination,
                                  bool lastFileOnly, DWORD delayMilliseconds) {
    auto job = std::make_unique<BackgroundJob>(
        BackgroundJob{archive, destination, delayMilliseconds, lastFileOnly});
    HMODULE pinned = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCWSTR>(&backgroundExtraction), &pinned)) {
        return E_FAIL;
    }
    lockServer(true);
    HANDLE thread = ::CreateThread(nullptr, 0, backgroundExtraction, job.get(), 0, nullptr);
    if (thread == nullptr) {
        lockServer(false);
        ::FreeLibrary(pinned);
        return E_FAIL;
    }
    job.release();
    ::CloseHandle(thread);
    return S_OK;
}

} // namespace qv::test
