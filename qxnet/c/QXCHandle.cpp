#include "qxnet/c/QXCHandle.h"

#include <cstring>

#include <boost/make_shared.hpp>

#include "qxnet/tftp/QXTFTPClient.h"

namespace QX::C {

void Handle::SetError(std::string text) noexcept {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_error.swap(text);
}

qxnet_result Handle::CopyError(char* text, std::uint32_t size, std::uint32_t* needed) {
    std::lock_guard<std::mutex> guard(m_mutex);
    return CopyText(m_error, text, size, needed);
}

qxnet_result LastError(Handle* handle, char* text, std::uint32_t size, std::uint32_t* needed) {
    if (handle == nullptr) {
        return ResultCode::InvalidArgument;
    }
    return Guard(nullptr, [&] { return handle->CopyError(text, size, needed); });
}

qxnet_result CopyText(const std::string& text, char* out, std::uint32_t size,
                      std::uint32_t* needed) {
    const std::uint64_t need = static_cast<std::uint64_t>(text.size()) + 1;
    if (needed != nullptr) {
        *needed = static_cast<std::uint32_t>(need);
    }
    if (out == nullptr && size != 0) {
        return ResultCode::InvalidArgument;
    }
    if (need > size) {
        return ResultCode::BufferTooSmall;
    }
    std::memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
    return ResultCode::Success;
}

void CopyCut(const std::string& text, char* out, std::size_t size) {
    std::size_t length = text.size() < size ? text.size() : size - 1;
    // Back off continuation bytes so that the cut never splits a character.
    if (length < text.size()) {
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    std::memcpy(out, text.data(), length);
    std::memset(out + length, 0, size - length);
}

boost::shared_ptr<QX::CodeLock> LockOf(qxnet_lock* lock) {
    return lock != nullptr ? lock->lock : boost::make_shared<QX::CodeLock>();
}

}  // namespace QX::C

using QX::C::Guard;

extern "C" {

uint32_t qxnet_version(void) {
    return QXNET_VERSION;
}

qxnet_result qxnet_startup(void) {
    return Guard(nullptr, [] {
        return QXSDK::TFTPClient::Startup() ? QX::ResultCode::Unavailable : QX::ResultCode::Success;
    });
}

qxnet_result qxnet_cleanup(void) {
    return Guard(nullptr, [] {
        QXSDK::TFTPClient::Cleanup();
        return QX::ResultCode::Success;
    });
}

qxnet_result qxnet_result_text(qxnet_result code, char* text, uint32_t size, uint32_t* needed) {
    return Guard(nullptr, [&] {
        const wchar_t* message = QX::ResultMessage(code);
        if (message == nullptr) {
            return QX::ResultCode::ObjectNotFound;
        }
        return QX::C::CopyText(QX::ToUtf8(message), text, size, needed);
    });
}

qxnet_result qxnet_lock_create(qxnet_lock** lock) {
    return QX::C::Create(lock, true, [](qxnet_lock*& made) {
        made = new qxnet_lock{boost::make_shared<QX::CodeLock>()};
        return QX::ResultCode::Success;
    });
}

qxnet_result qxnet_lock_destroy(qxnet_lock* lock) {
    return QX::C::Destroy(lock);
}

}  // extern "C"
