// The C interface's mDNS client.

#include "qxnet/c/QXCCamera.h"
#include "qxnet/c/QXCHandle.h"
#include "qxnet/common/QXAddress.h"
#include "qxnet/mdns/QXMDNSClient.h"

using QX::C::Call;
namespace Code = QX::ResultCode;

struct qxnet_mdns : QX::C::Handle {
    qxnet_mdns(boost::shared_ptr<QX::CodeLock> lock, std::uint32_t local)
        : client(std::move(lock), local) {}
    QXSDK::MDNSClient client;
};

extern "C" {

qxnet_result qxnet_mdns_create(qxnet_lock* lock, uint32_t local_address, qxnet_mdns** client) {
    return QX::C::Create(client, true, [&](qxnet_mdns*& made) {
        auto* opened = new qxnet_mdns(QX::C::LockOf(lock), local_address);
        if (!opened->client.Open()) {
            delete opened;
            return Code::Unavailable;
        }
        made = opened;
        return Code::Success;
    });
}

qxnet_result qxnet_mdns_destroy(qxnet_mdns* client) {
    return QX::C::Destroy(client);
}

qxnet_result qxnet_mdns_query_cameras(qxnet_mdns* client, qxnet_mdns_camera_callback callback,
                                      void* context) {
    return Call(client, callback != nullptr, [&] {
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
    return Call(client, found_mac != nullptr && address != nullptr, [&] {
        *found_mac = 0;
        *address = 0;
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
    return QX::C::LastError(client, text, size, needed);
}

}  // extern "C"
