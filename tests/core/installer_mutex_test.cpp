#include "core/errors.h"
#include "core/installer_mutex.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace qv {
namespace {

namespace fs = std::filesystem;

TEST(InstallerMutex, OneRunAtATimeAndADeadRunsMutexIsTakenOver) {
    const std::wstring name =
        L"QuorvalentInstallerNative-test-" + std::to_wstring(GetCurrentProcessId());
    const std::string busy = "Một trình cài đặt Quorvalent khác đang chạy.";
    // Takes the mutex on another thread (within 10 s), which ends holding it or waits for
    // `release`.
    const auto otherRun = [&](HANDLE taken, HANDLE release) {
        return std::thread([&name, taken, release] {
            InstallerMutex other = openInstallerMutex(name.c_str());
            if (WaitForSingleObject(other.mutex.get(), 10000) == WAIT_TIMEOUT) {
                return;
            }
            SetEvent(taken);
            if (release != nullptr) {
                WaitForSingleObject(release, INFINITE);
                ReleaseMutex(other.mutex.get());
            }
        });
    };
    const auto outcome = [&] {
        try {
            return holdInstallerMutex(name.c_str()) ? std::string("held") : std::string("empty");
        } catch (const std::runtime_error& error) {
            return std::string(error.what());
        }
    };
    const UniqueResource<HANDLE, closeKernelHandle> taken(
        CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const UniqueResource<HANDLE, closeKernelHandle> release(
        CreateEventW(nullptr, TRUE, FALSE, nullptr));

    EXPECT_EQ(outcome(), "held") << "nobody holds it";
    {
        std::thread other = otherRun(taken.get(), release.get());
        EXPECT_EQ(WaitForSingleObject(taken.get(), 15000), WAIT_OBJECT_0);
        EXPECT_EQ(outcome(), busy) << "another run holds it";
        SetEvent(release.get());
        other.join();
        EXPECT_EQ(outcome(), "held") << "the other run let go";
    }
    {
        // Kept open meanwhile, as a third run waiting would: with no handle left the mutex
        // would be gone instead of abandoned.
        const InstallerMutex kept = openInstallerMutex(name.c_str());
        ResetEvent(taken.get());
        std::thread other = otherRun(taken.get(), nullptr);
        other.join();
        EXPECT_EQ(outcome(), "held") << "the other run died holding it";
    }
    {
        // Another run waiting on the mutex keeps it alive: this one must let go of it.
        HeldMutex mine = holdInstallerMutex(name.c_str());
        ResetEvent(taken.get());
        ResetEvent(release.get());
        std::thread other = otherRun(taken.get(), release.get());
        EXPECT_EQ(WaitForSingleObject(taken.get(), 200), static_cast<DWORD>(WAIT_TIMEOUT));
        mine.reset();
        EXPECT_EQ(WaitForSingleObject(taken.get(), 15000), WAIT_OBJECT_0) << "let go by its guard";
        SetEvent(release.get());
        other.join();
    }
    // What any user's program may make first, in the names every session shares or in its own,
    // held for as long as it likes: a mutex at the mutex's old name, at the names of the
    // installer's folder and mutex, and another kind of object at each. None keeps a run out.
    ResetEvent(taken.get());
    ResetEvent(release.get());
    std::thread squatter([&] {
        std::vector<UniqueResource<HANDLE, closeKernelHandle>> squatted;
        for (const std::wstring spelled :
             {L"QuorvalentInstallerNative-OneRunAtATime", L"QuorvalentInstallerNative",
              L"OneRunAtATime", name.c_str()}) {
            squatted.emplace_back(
                CreateMutexW(nullptr, TRUE /* held */, (L"Global\\" + spelled).c_str()));
            squatted.emplace_back(
                CreateEventW(nullptr, TRUE, FALSE, (L"Local\\" + spelled).c_str()));
        }
        SetEvent(taken.get());
        WaitForSingleObject(release.get(), INFINITE);
        for (std::size_t index = 0; index < squatted.size(); index += 2) {
            ReleaseMutex(squatted[index].get());
        }
    });
    EXPECT_EQ(WaitForSingleObject(taken.get(), 15000), WAIT_OBJECT_0);
    EXPECT_EQ(outcome(), "held") << "names taken in Global\\ and Local\\";
    SetEvent(release.get());
    squatter.join();
}

} // namespace
} // namespace qv
