#pragma once

#include <cstddef>
#include <iterator>
#include <list>

#include "qxnet/common/QXScopedLock.h"
#include "qxnet/platform/QXCodeLock.h"
#include "qxnet/platform/QXSync.h"

namespace QX {

// A list guarded by its own critical section, with a manual-reset event that is set while the
// list holds entries. Each access takes the lock briefly.
template <typename T>
class CThreadSafeList : private std::list<T> {
public:
    CThreadSafeList() : m_event(EventCreate(true, false)) {}
    ~CThreadSafeList() {
        {
            ScopedLock guard(&m_lock);
            std::list<T>::clear();
        }
        if (m_event != nullptr) {
            HandleClose(m_event);
        }
    }
    CThreadSafeList(const CThreadSafeList&) = delete;
    CThreadSafeList& operator=(const CThreadSafeList&) = delete;

    // Moves every entry of more to the end in one step and sets the event, as every push does
    // (a host may have reset it by hand); it allocates nothing, so it cannot fail part way.
    void Append(std::list<T>& more) {
        if (more.empty()) {
            return;
        }
        ScopedLock guard(&m_lock);
        std::list<T>::splice(std::list<T>::end(), more);
        EventSet(m_event);
    }

    // Takes the front or back entry; false when the list is empty.
    bool PopFront(T& value) { return Get(value, End::Front, true); }
    bool PopBack(T& value) { return Get(value, End::Back, true); }

    // The front or back entry, left in place; false when the list is empty. Front is kept for
    // hosts: the library and its programs do not call it.
    bool Front(T& value) { return Get(value, End::Front, false); }
    bool Back(T& value) { return Get(value, End::Back, false); }

    std::size_t Count() {
        ScopedLock guard(&m_lock);
        return std::list<T>::size();
    }
    // Kept for hosts: the library and its programs do not call it.
    HANDLE Event() const { return m_event; }

protected:
    // Takes the front entry and, under the same lock, reads the one that is now in front (left
    // unchanged when none is): one lock for a reader that moves on to the next entry. The entry's
    // node moves to the end of taken instead of being freed, so that a class that appends again
    // can carry its next entry in it.
    bool PopFront(T& value, T& next, std::list<T>& taken) {
        ScopedLock guard(&m_lock);
        if (!Take(value, End::Front, taken)) {
            return false;
        }
        if (!std::list<T>::empty()) {
            next = std::list<T>::front();
        }
        return true;
    }

private:
    enum class End { Front, Back };

    bool Get(T& value, End end, bool take) {
        // Declared before the guard, so that a taken node is freed after the lock is left.
        std::list<T> taken;
        ScopedLock guard(&m_lock);
        if (take) {
            return Take(value, end, taken);
        }
        if (std::list<T>::empty()) {
            return false;
        }
        value = end == End::Front ? std::list<T>::front() : std::list<T>::back();
        return true;
    }

    // Called with the lock held: moves the entry's node to the end of taken.
    bool Take(T& value, End end, std::list<T>& taken) {
        if (std::list<T>::empty()) {
            return false;
        }
        auto entry = end == End::Front ? std::list<T>::begin() : std::prev(std::list<T>::end());
        value = *entry;
        taken.splice(taken.end(), *this, entry);
        if (std::list<T>::empty()) {
            EventReset(m_event);
        }
        return true;
    }

    CodeLock m_lock;
    HANDLE m_event;
};

}  // namespace QX
