#pragma once

// What every entry point of the C interface shares: the handle base with its last-error text,
// the guard that keeps exceptions from crossing into C, and UTF-8 text out into caller buffers.

#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include <boost/shared_ptr.hpp>

#include "qxnet/c/qxnet.h"
#include "qxnet/common/QXException.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/platform/QXCodeLock.h"
#include "qxnet/platform/QXUtf8.h"

namespace QX::C {

// The last-error text of one handle; guarded, since a watch callback's thread may read it.
class Handle {
public:
    // Never throws: a text that cannot be stored is dropped.
    void SetError(std::string text) noexcept;
    void ClearError() noexcept { SetError(std::string()); }
    qxnet_result CopyError(char* text, std::uint32_t size, std::uint32_t* needed);

private:
    std::mutex m_mutex;
    std::string m_error;
};

// text into a caller buffer of size bytes, terminated; BufferTooSmall (nothing stored) with the
// needed size when it does not fit.
qxnet_result CopyText(const std::string& text, char* out, std::uint32_t size,
                      std::uint32_t* needed);
// text into a fixed field of size bytes, cut at a UTF-8 character boundary when it is longer.
void CopyCut(const std::string& text, char* out, std::size_t size);

// The handle's lock, or a new one for a null handle.
boost::shared_ptr<QX::CodeLock> LockOf(qxnet_lock* lock);

// Runs body (which returns a result code and may set the handle's error) and maps whatever it
// throws to a code and an error text. A success clears the error unless body set one.
template <class Body>
qxnet_result Guard(Handle* handle, Body&& body) noexcept {
    try {
        if (handle != nullptr) {
            handle->ClearError();
        }
        return body();
    } catch (const QX::Exception& failure) {
        if (handle != nullptr) {
            handle->SetError(QX::ToUtf8(failure.message));
        }
        return failure.hResult != 0 ? failure.hResult : QX::ResultCode::Unexpected;
    } catch (const std::bad_alloc&) {
        if (handle != nullptr) {
            handle->SetError("out of memory");
        }
        return QX::ResultCode::Unexpected;
    } catch (const std::exception& failure) {
        if (handle != nullptr) {
            handle->SetError(failure.what());
        }
        return QX::ResultCode::Unexpected;
    } catch (...) {
        if (handle != nullptr) {
            handle->SetError("unknown failure");
        }
        return QX::ResultCode::Unexpected;
    }
}

// The shape of an entry point on a handle: a null handle, or given false (another argument
// missing), is refused with InvalidArgument before anything is touched; otherwise body runs under
// the handle's guard.
template <class Object, class Body>
qxnet_result Call(Object* handle, bool given, Body&& body) noexcept {
    if (handle == nullptr || !given) {
        return QX::ResultCode::InvalidArgument;
    }
    return Guard(handle, std::forward<Body>(body));
}
template <class Object, class Body>
qxnet_result Call(Object* handle, Body&& body) noexcept {
    return Call(handle, true, std::forward<Body>(body));
}

// A create call: refused as Call refuses; else *out is null until body(*out) stores the new object.
template <class Object, class Body>
qxnet_result Create(Object** out, bool given, Body&& body) noexcept {
    if (out == nullptr || !given) {
        return QX::ResultCode::InvalidArgument;
    }
    *out = nullptr;
    return Guard(nullptr, [&] { return body(*out); });
}

// A destroy call: deletes object; null is refused.
template <class Object>
qxnet_result Destroy(Object* object) noexcept {
    if (object == nullptr) {
        return QX::ResultCode::InvalidArgument;
    }
    return Guard(nullptr, [&] {
        delete object;
        return QX::ResultCode::Success;
    });
}

// A last-error call: the handle's last-error text into a caller buffer; it leaves that text as
// it is.
qxnet_result LastError(Handle* handle, char* text, std::uint32_t size, std::uint32_t* needed);

}  // namespace QX::C

struct qxnet_lock {
    boost::shared_ptr<QX::CodeLock> lock;
};
