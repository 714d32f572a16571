#include "qxnet/platform/QXSync.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace QX {
namespace {

constexpr DWORD kErrorInvalidHandle = 6;
constexpr DWORD kErrorNotEnoughMemory = 8;

// Every waitable object shares one mutex and one condition variable. Events are few and waits
// are rare in this library, so one wake-up channel keeps waiting on two objects simple and exact.
// Both are never destroyed: a thread whose handle was closed may still be finishing while the
// process runs its exit handlers, and must find them intact.
std::mutex& Mutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
std::condition_variable& Changed() {
    static auto* changed = new std::condition_variable;
    return *changed;
}

struct Waitable {
    bool signalled = false;
    bool manualReset = true;
    // Set when the handle is closed: a wait still on it ends with WAIT_FAILED.
    bool closed = false;
    DWORD exitCode = STILL_ACTIVE;
};

// What a handle stands for. The thread keeps its own reference to the state, and so does each
// waiter, so closing the handle while the thread runs or while another thread waits is safe, as
// it is on Windows.
struct HandleRecord {
    std::shared_ptr<Waitable> state;
    std::thread thread;
};

// Handles are numbers that are never given out twice (a multiple of 4, as on Windows), looked up
// under the mutex: a handle that was closed, even one used by a thread that read its value just
// before, is then refused as invalid rather than read from freed memory. Like the mutex, the table
// is never destroyed. It keeps each record's address inverted, so that the leak checker still
// reports a handle that was never closed.
std::unordered_map<std::uintptr_t, std::uintptr_t>& Table() {
    static auto* table = new std::unordered_map<std::uintptr_t, std::uintptr_t>;
    return *table;
}
std::uintptr_t g_lastHandle = 0;

// Every call of the library sets it, so it is reached without a call into the dynamic loader:
// the library's few bytes of thread storage fit the space the loader keeps for that, loaded at
// start or opened later.
[[gnu::tls_model("initial-exec")]] thread_local DWORD t_lastError = 0;
std::atomic<ComObserver> g_comObserver{nullptr};

// The caller holds the mutex.
HandleRecord* Record(HANDLE handle) {
    const auto found = Table().find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == Table().end()) {
        t_lastError = kErrorInvalidHandle;
        return nullptr;
    }
    return reinterpret_cast<HandleRecord*>(~found->second);
}

std::shared_ptr<Waitable> State(HANDLE handle) {
    HandleRecord* record = Record(handle);
    return record == nullptr ? nullptr : record->state;
}

// The caller holds the mutex.
HANDLE Insert(std::unique_ptr<HandleRecord> record) {
    g_lastHandle += 4;
    Table().emplace(g_lastHandle, ~reinterpret_cast<std::uintptr_t>(record.release()));
    return reinterpret_cast<HANDLE>(g_lastHandle);
}

// Takes a signalled object; an auto-reset event is consumed by the waiter it releases.
bool Take(Waitable& state) {
    if (!state.signalled) {
        return false;
    }
    if (!state.manualReset) {
        state.signalled = false;
    }
    return true;
}

DWORD WaitFor(HANDLE firstHandle, HANDLE secondHandle, bool both, DWORD timeoutMs) {
    std::unique_lock<std::mutex> lock(Mutex());
    const std::shared_ptr<Waitable> first = State(firstHandle);
    const std::shared_ptr<Waitable> second = both ? State(secondHandle) : nullptr;
    if (first == nullptr || (both && second == nullptr)) {
        return WAIT_FAILED;
    }
    DWORD result = WAIT_TIMEOUT;
    auto ready = [&] {
        if (first->closed || (second != nullptr && second->closed)) {
            result = WAIT_FAILED;
            return true;
        }
        if (Take(*first)) {
            result = WAIT_OBJECT_0;
            return true;
        }
        if (second != nullptr && Take(*second)) {
            result = WAIT_OBJECT_0 + 1;
            return true;
        }
        return false;
    };
    if (timeoutMs == INFINITE) {
        Changed().wait(lock, ready);
    } else {
        Changed().wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    }
    if (result == WAIT_FAILED) {
        t_lastError = kErrorInvalidHandle;
    }
    return result;
}

}  // namespace

HANDLE EventCreate(bool manualReset, bool initiallySet) {
    auto record = std::unique_ptr<HandleRecord>(new (std::nothrow) HandleRecord);
    if (record == nullptr) {
        t_lastError = kErrorNotEnoughMemory;
        return nullptr;
    }
    record->state = std::make_shared<Waitable>();
    record->state->manualReset = manualReset;
    record->state->signalled = initiallySet;
    std::lock_guard<std::mutex> lock(Mutex());
    return Insert(std::move(record));
}

namespace {
// Sets an event's state under the lock; false, as Record reports it, for a handle of no event.
bool SetSignalled(HANDLE event, bool signalled) {
    std::lock_guard<std::mutex> lock(Mutex());
    HandleRecord* record = Record(event);
    if (record == nullptr) {
        return false;
    }
    record->state->signalled = signalled;
    return true;
}
}  // namespace

bool EventSet(HANDLE event) {
    if (!SetSignalled(event, true)) {
        return false;
    }
    Changed().notify_all();
    return true;
}

bool EventReset(HANDLE event) {
    return SetSignalled(event, false);
}

DWORD WaitForHandle(HANDLE handle, DWORD timeoutMs) {
    return WaitFor(handle, nullptr, false, timeoutMs);
}

DWORD WaitForEither(HANDLE first, HANDLE second, DWORD timeoutMs) {
    return WaitFor(first, second, true, timeoutMs);
}

bool HandleClose(HANDLE handle) {
    std::unique_ptr<HandleRecord> record;
    bool finished = false;
    {
        std::lock_guard<std::mutex> lock(Mutex());
        record.reset(Record(handle));
        if (record == nullptr) {
            return false;
        }
        Table().erase(reinterpret_cast<std::uintptr_t>(handle));
        record->state->closed = true;
        finished = record->state->signalled;
    }
    // Waits still on the handle end now; each keeps the state alive until it has left.
    Changed().notify_all();
    if (record->thread.joinable()) {
        // A finished thread is joined so that nothing of it outlives the handle; a running one
        // goes on by itself, as a Windows thread does when its handle is closed.
        if (finished) {
            record->thread.join();
        } else {
            record->thread.detach();
        }
    }
    return true;
}

HANDLE ThreadCreate(ThreadProc procedure, void* argument) {
    auto record = std::unique_ptr<HandleRecord>(new (std::nothrow) HandleRecord);
    if (record == nullptr) {
        t_lastError = kErrorNotEnoughMemory;
        return nullptr;
    }
    try {
        record->state = std::make_shared<Waitable>();
        std::shared_ptr<Waitable> state = record->state;
        record->thread = std::thread([procedure, argument, state] {
            DWORD code = procedure(argument);
            {
                std::lock_guard<std::mutex> lock(Mutex());
                state->exitCode = code;
                state->signalled = true;
            }
            Changed().notify_all();
        });
    } catch (const std::exception&) {
        t_lastError = kErrorNotEnoughMemory;
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(Mutex());
    return Insert(std::move(record));
}

bool ThreadExitCode(HANDLE thread, DWORD* exitCode) {
    if (exitCode == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> lock(Mutex());
    HandleRecord* record = Record(thread);
    if (record == nullptr) {
        return false;
    }
    *exitCode = record->state->exitCode;
    return record->state->signalled;
}

void SetLastErrorValue(DWORD value) {
    t_lastError = value;
}

DWORD GetLastErrorValue() {
    return t_lastError;
}

DWORD TickCount() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void GetUtcTime(SYSTEMTIME* time) {
    if (time == nullptr) {
        return;
    }
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    time->wYear = static_cast<WORD>(parts.tm_year + 1900);
    time->wMonth = static_cast<WORD>(parts.tm_mon + 1);
    time->wDayOfWeek = static_cast<WORD>(parts.tm_wday);
    time->wDay = static_cast<WORD>(parts.tm_mday);
    time->wHour = static_cast<WORD>(parts.tm_hour);
    time->wMinute = static_cast<WORD>(parts.tm_min);
    time->wSecond = static_cast<WORD>(parts.tm_sec);
    time->wMilliseconds = static_cast<WORD>(ms.count());
}

void SleepMs(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void ComInitialize() {
    if (ComObserver observer = g_comObserver.load()) {
        observer(+1);
    }
}

void ComUninitialize() {
    if (ComObserver observer = g_comObserver.load()) {
        observer(-1);
    }
}

void SetComObserver(ComObserver observer) {
    g_comObserver.store(observer);
}

}  // namespace QX
