// The C interface's camera scanner.

#include <string>
#include <vector>

#include "qxnet/c/QXCCamera.h"
#include "qxnet/c/QXCHandle.h"
#include "qxnet/scan/QXCameraScanner.h"

using QX::C::Call;
using QX::C::Guard;
namespace Code = QX::ResultCode;

struct qxnet_scanner : QX::C::Handle {
    explicit qxnet_scanner(boost::shared_ptr<QX::CodeLock> lock) : scanner(std::move(lock)) {}
    // Declared first so that the scanner, whose destructor stops the watch, goes before them.
    qxnet_scan_callback callback = nullptr;
    void* context = nullptr;
    QXSDK::CameraScanner scanner;

    // The watch's callback, on a worker thread of the scanner.
    static void Changed(QXSDK::CameraScanner::Change change, const QXSDK::ScannedCamera& camera,
                        void* self) {
        auto* handle = static_cast<qxnet_scanner*>(self);
        qxnet_scanned_camera record;
        QX::C::ToC(camera, record);
        handle->callback(static_cast<uint32_t>(change), &record, handle->context);
    }
};

static_assert(static_cast<uint32_t>(QXSDK::CameraScanner::CAMERA_APPEARED) ==
                      QXNET_CAMERA_APPEARED &&
                  static_cast<uint32_t>(QXSDK::CameraScanner::CAMERA_GONE) == QXNET_CAMERA_GONE &&
                  static_cast<uint32_t>(QXSDK::CameraScanner::CAMERA_CHANGED) ==
                      QXNET_CAMERA_CHANGED,
              "the C change codes are the scanner's");

extern "C" {

qxnet_result qxnet_scanner_create(qxnet_lock* lock, qxnet_scanner** scanner) {
    return QX::C::Create(scanner, true, [&](qxnet_scanner*& made) {
        made = new qxnet_scanner(QX::C::LockOf(lock));
        return Code::Success;
    });
}

qxnet_result qxnet_scanner_destroy(qxnet_scanner* scanner) {
    return QX::C::Destroy(scanner);
}

qxnet_result qxnet_scanner_set_interfaces(qxnet_scanner* scanner, const char* const* names,
                                          uint32_t count) {
    return Call(scanner, names != nullptr || count == 0, [&] {
        std::vector<std::wstring> wide;
        for (uint32_t i = 0; i < count; ++i) {
            if (names[i] == nullptr) {
                return Code::InvalidArgument;
            }
            wide.push_back(QX::FromUtf8(names[i]));
        }
        scanner->scanner.SetInterfaceNames(wide);
        return Code::Success;
    });
}

qxnet_result qxnet_scanner_set_loopback(qxnet_scanner* scanner, int32_t include) {
    return Call(scanner, [&] {
        scanner->scanner.SetLoopback(include != 0);
        return Code::Success;
    });
}

qxnet_result qxnet_scanner_set_methods(qxnet_scanner* scanner, uint32_t methods) {
    if (scanner == nullptr) {
        return Code::InvalidArgument;
    }
    if (methods == 0 || (methods & ~(QXNET_METHOD_BROADCAST | QXNET_METHOD_MDNS)) != 0) {
        return Code::ParameterOutOfRange;
    }
    return Guard(scanner, [&] {
        scanner->scanner.SetMethods(methods);
        return Code::Success;
    });
}

qxnet_result qxnet_scanner_set_request(qxnet_scanner* scanner, const uint8_t* request,
                                       uint32_t length, uint16_t port) {
    return Call(scanner, request != nullptr && length != 0 && port != 0, [&] {
        scanner->scanner.SetRequest(std::vector<std::uint8_t>(request, request + length), port);
        return Code::Success;
    });
}

qxnet_result qxnet_scanner_set_watch_timing(qxnet_scanner* scanner, uint32_t interval_ms,
                                            uint32_t missed_rounds) {
    if (scanner == nullptr) {
        return Code::InvalidArgument;
    }
    if (interval_ms == 0 || missed_rounds == 0) {
        return Code::ParameterOutOfRange;
    }
    return Guard(scanner, [&] {
        scanner->scanner.SetWatchTiming(interval_ms, missed_rounds);
        return Code::Success;
    });
}

qxnet_result qxnet_scanner_scan(qxnet_scanner* scanner, qxnet_scan_callback callback,
                                void* context) {
    return Call(scanner, callback != nullptr, [&] {
        std::vector<QXSDK::ScannedCamera> cameras;
        const int result = scanner->scanner.Scan(cameras);
        if (result != 0) {
            scanner->SetError(result == static_cast<int>(Code::ObjectNotFound)
                                  ? "no camera answered"
                                  : "the scan could not run");
            return static_cast<qxnet_result>(result);
        }
        for (const QXSDK::ScannedCamera& camera : cameras) {
            qxnet_scanned_camera record;
            QX::C::ToC(camera, record);
            callback(QXNET_CAMERA_APPEARED, &record, context);
        }
        return Code::Success;
    });
}

qxnet_result qxnet_scanner_start(qxnet_scanner* scanner, qxnet_scan_callback callback,
                                 void* context) {
    return Call(scanner, callback != nullptr, [&] {
        // A running watch keeps its callback: the one it calls must not change under it.
        if (scanner->callback != nullptr) {
            scanner->SetError("a watch is running");
            return Code::Unavailable;
        }
        scanner->callback = callback;
        scanner->context = context;
        scanner->scanner.SetCallback(&qxnet_scanner::Changed, scanner);
        const int result = scanner->scanner.Start();
        if (result != 0) {
            scanner->scanner.SetCallback(nullptr, nullptr);
            scanner->callback = nullptr;
            scanner->SetError("the watch could not start");
        }
        return static_cast<qxnet_result>(result);
    });
}

qxnet_result qxnet_scanner_stop(qxnet_scanner* scanner) {
    return Call(scanner, [&] {
        scanner->scanner.Stop();
        scanner->scanner.SetCallback(nullptr, nullptr);
        scanner->callback = nullptr;
        return Code::Success;
    });
}

qxnet_result qxnet_scanner_last_error(qxnet_scanner* scanner, char* text, uint32_t size,
                                      uint32_t* needed) {
    return QX::C::LastError(scanner, text, size, needed);
}

}  // extern "C"
