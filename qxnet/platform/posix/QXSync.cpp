#include "qxnet/platform/QXSync.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

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
    DWORD exitCode = STILL_ACTIVE;
};

// What a HANDLE points at. The thread keeps its own reference to the state, so closing the handle
// while the thread runs is safe, as it is on Windows.
struct HandleRecord {
    std::shared_ptr<Waitable> state;
    std::thread thread;
};

thread_local DWORD t_lastError = 0;
std::atomic<ComObserver> g_comObserver{nullptr};

HandleRecord* Record(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        t_lastError = kErrorInvalidHandle;
        return nullptr;
    }
    return static_cast<HandleRecord*>(handle);
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

DWORD WaitFor(Waitable* first, Waitable* second, DWORD timeoutMs) {
    std::unique_lock<std::mutex> lock(Mutex());
    DWORD result = WAIT_TIMEOUT;
    auto ready = [&] {
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
    return result;
}

}  // namespace

HANDLE EventCreate(bool manualReset, bool initiallySet) {
    auto* record = new (std::nothrow) HandleRecord;
    if (record == nullptr) {
        t_lastError = kErrorNotEnoughMemory;
        return nullptr;
    }
    record->state = std::make_shared<Waitable>();
    record->state->manualReset = manualReset;
    record->state->signalled = initiallySet;
    return record;
}

bool EventSet(HANDLE event) {
    HandleRecord* record = Record(event);
    if (record == nullptr) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(Mutex());
        record->state->signalled = true;
    }
    Changed().notify_all();
    return true;
}

bool EventReset(HANDLE event) {
    HandleRecord* record = Record(event);
    if (record == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> lock(Mutex());
    record->state->signalled = false;
    return true;
}

DWORD WaitForHandle(HANDLE handle, DWORD timeoutMs) {
    HandleRecord* record = Record(handle);
    return record == nullptr ? WAIT_FAILED : WaitFor(record->state.get(), nullptr, timeoutMs);
}

DWORD WaitForEither(HANDLE first, HANDLE second, DWORD timeoutMs) {
    HandleRecord* a = Record(first);
    HandleRecord* b = Record(second);
    if (a == nullptr || b == nullptr) {
        return WAIT_FAILED;
    }
    return WaitFor(a->state.get(), b->state.get(), timeoutMs);
}

bool HandleClose(HANDLE handle) {
    HandleRecord* record = Record(handle);
    if (record == nullptr) {
        return false;
    }
    if (record->thread.joinable()) {
        bool finished;
        {
            std::lock_guard<std::mutex> lock(Mutex());
            finished = record->state->signalled;
        }
        // A finished thread is joined so that nothing of it outlives the handle; a running one
        // goes on by itself, as a Windows thread does when its handle is closed.
        if (finished) {
            record->thread.join();
        } else {
            record->thread.detach();
        }
    }
    delete record;
    return true;
}

HANDLE ThreadCreate(ThreadProc procedure, void* argument) {
    auto* record = new (std::nothrow) HandleRecord;
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
        delete record;
        t_lastError = kErrorNotEnoughMemory;
        return nullptr;
    }
    return record;
}

bool ThreadExitCode(HANDLE thread, DWORD* exitCode) {
    HandleRecord* record = Record(thread);
    if (record == nullptr || exitCode == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> lock(Mutex());
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
