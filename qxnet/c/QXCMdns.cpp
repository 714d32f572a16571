// The C interface's mDNS client.

#include "qxnet/c/QXCCamera.h"
#include "qxnet/c/QXCHandle.h"
#include "qxnet/common/QXAddress.h"
#include "qxnet/mdns/QXMDNSClient.h"

using QX::C::Guard;
namespace Code = QX::ResultCode;

struct qxnet_mdns : QX::C::Handle {
    qxnet_mdns(boost::shared_ptr<QX::CodeLock> lock, std::uint32_t local)
        : client(std::move(lock), local) {}
    QXSDK::MDNSClient client;
};

extern "C" {

qxnet_result qxnet_mdns_create(qxnet_lock* lock, uint32_t local_address, qxnet_mdns** client) {
    if (client == nullptr) {
        return Code::InvalidArgument;
    }
    *client = nullptr;
    return Guard(nullptr, [&] {
        auto* made = new qxnet_mdns(QX::C::LockOf(lock), local_address);
        if (!made->client.Open()) {
            delete made;
            return Code::Unavailable;
        }
        *client = made;
        return Code::Success;
    });
}

qxnet_result qxnet_mdns_destroy(qxnet_mdns* client) {
    if (client == nullptr) {
        return Code::InvalidArgument;
    }
    return Guard(nullptr, [&] {
        delete client;
        return Code::Success;
    });
}

qxnet_result qxnet_mdns_query_cameras(qxnet_mdns* client, qxnet_mdns_camera_callback callback,
                                      void* context) {
    if (client == nullptr || callback == nullptr) {
        return Code::InvalidArgument;
    }
    return Guard(client, [&] {
        QXSDK::MDNSClient::CameraMap cameras;
        if (!client->client.QueryKorvaneCams(false, cameras) || cameras.empty()) {
            client->SetError("no camera answered");
            return Code::ObjectNotFound;
        }
        for (const auto& [mac, camera] : cameras) {
            qxnet_mdns_camera record;
            QX::C::ToC(camera, record);
            if (callback(&record, context) != 0) {
                break;
            }
        }
        return Code::Success;
    });
}

qxnet_result qxnet_mdns_query_mac(qxnet_mdns* client, uint64_t mac, uint64_t* found_mac,
                                  uint32_t* address) {
    if (client == nullptr || found_mac == nullptr || address == nullptr) {
        return Code::InvalidArgument;
    }
    *found_mac = 0;
    *address = 0;
    return Guard(client, [&] {
        std::uint64_t found = 0;
        std::uint32_t ip = 0;
        if (!client->client.QueryKorvaneMAC(mac, found, ip)) {
            client->SetError("no single camera answered for that MAC");
            return Code::ObjectNotFound;
        }
        *found_mac = found;
        *address = ip;
        return Code::Success;
    });
}

qxnet_result qxnet_mdns_last_error(qxnet_mdns* client, char* text, uint32_t size,
                                   uint32_t* needed) {
    if (client == nullptr) {
        return Code::InvalidArgument;
    }
    return Guard(nullptr, [&] { return client->CopyError(text, size, needed); });
}

}  // extern "C"
