#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

namespace QXTest {

// What callbacks on other threads hand over (Add), for the test's thread to wait for.
template <typename Result>
class AsyncOutcome {
public:
    void Add(const Result& result) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_results.push_back(result);
        m_changed.notify_all();  // under the lock: the waiter may destroy this once it sees it
    }
    // Waits until count results arrived (a loose bound, far above any test's need).
    bool Wait(std::size_t count = 1) {
        std::unique_lock<std::mutex> guard(m_mutex);
        return m_changed.wait_for(guard, std::chrono::seconds(30),
                                  [&] { return m_results.size() >= count; });
    }
    std::vector<Result> Results() const {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_results;
    }
    Result Last() const { return Results().back(); }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Result> m_results;
};

}  // namespace QXTest
