// The C interface's HTTP client.

#include <string>
#include <vector>

#include "qxnet/c/QXCHandle.h"
#include "qxnet/http/QXHTTPClient.h"

using QX::C::Call;
using QX::C::Guard;
namespace Code = QX::ResultCode;

namespace {

// The page client behind the C handle: one GET whose body is read into the response stream.
class PageClient : public QXSDK::HTTPClient {
public:
    PageClient(std::uint64_t key, const std::wstring& address, boost::shared_ptr<QX::CodeLock> lock)
        : HTTPClient(key, address.c_str(), std::move(lock)) {}
    // The C interface calls Get; Execute is the C++ hook that nothing here uses.
    bool Execute() override { return false; }
    // The stream keeps what earlier requests appended, so each GET starts it empty. So does
    // the error number: a camera that misses the ping sets none, and an earlier request's
    // number would be taken for this one's.
    bool Get(const std::wstring& path, const wchar_t* user, const wchar_t* password) {
        m_responseStream.Clear();
        m_lastError = 0;
        return RequestImpl(path.c_str(), false, user, password);
    }
    QX::CMemoryStream& Body() { return m_responseStream; }
    // The client's own text leaves two failures unsaid: a missed ping writes none, so the text
    // would be an earlier request's, and a response that could not be read follows the
    // reconnect's "No errors". Both get a text that names what went wrong.
    std::string FailureText() const {
        if (m_lastError == 0) {
            return "the camera did not answer the ping";
        }
        if (std::wstring(m_errorText) == L"No errors") {
            return "no response could be read. Error " + std::to_string(m_lastError);
        }
        return QX::ToUtf8(m_errorText);
    }
};

}  // namespace

struct qxnet_http : QX::C::Handle {
    qxnet_http(std::uint64_t key, const std::wstring& address, boost::shared_ptr<QX::CodeLock> lock)
        : client(key, address, std::move(lock)) {}
    PageClient client;
};

extern "C" {

qxnet_result qxnet_http_create(qxnet_lock* lock, const char* address, uint64_t camera_key,
                               qxnet_http** client) {
    return QX::C::Create(client, address != nullptr, [&](qxnet_http*& made) {
        made = new qxnet_http(camera_key, QX::FromUtf8(address), QX::C::LockOf(lock));
        return Code::Success;
    });
}

qxnet_result qxnet_http_destroy(qxnet_http* client) {
    return QX::C::Destroy(client);
}

qxnet_result qxnet_http_get(qxnet_http* client, const char* path, const char* user,
                            const char* password, qxnet_body_callback body, void* context) {
    return Call(client, path != nullptr && (user == nullptr) == (password == nullptr), [&] {
        const std::wstring widePath = QX::FromUtf8(path);
        const std::wstring wideUser = QX::FromUtf8(user);
        const std::wstring widePassword = QX::FromUtf8(password);
        if (!client->client.Get(widePath, user != nullptr ? wideUser.c_str() : nullptr,
                                password != nullptr ? widePassword.c_str() : nullptr)) {
            client->SetError(client->client.FailureText());
            const std::uint32_t error = client->client.GetLastError();
            return error != 0 ? error : Code::ConnectionLost;
        }
        QX::CMemoryStream& stream = client->client.Body();
        std::vector<std::uint8_t> chunk(64 * 1024);
        for (;;) {
            const std::int32_t got =
                stream.Read(chunk.data(), static_cast<std::uint32_t>(chunk.size()));
            if (got <= 0) {
                break;
            }
            if (body != nullptr && body(chunk.data(), static_cast<std::uint32_t>(got), context)) {
                client->SetError("the body callback stopped the delivery");
                return Code::Unexpected;
            }
        }
        return Code::Success;
    });
}

qxnet_result qxnet_http_status(qxnet_http* client, uint32_t* status, uint32_t* server_status) {
    if (client == nullptr) {
        return Code::InvalidArgument;
    }
    return Guard(nullptr, [&] {
        if (status != nullptr) {
            *status = client->client.GetHttpStatus();
        }
        if (server_status != nullptr) {
            *server_status = client->client.GetServerStatus();
        }
        return Code::Success;
    });
}

qxnet_result qxnet_http_close(qxnet_http* client) {
    return Call(client, [&] {
        client->client.Close();
        return Code::Success;
    });
}

qxnet_result qxnet_http_last_error(qxnet_http* client, char* text, uint32_t size,
                                   uint32_t* needed) {
    return QX::C::LastError(client, text, size, needed);
}

}  // extern "C"
