#pragma once

#include <cstdint>
#include <string>

#include "qxnet/common/QXScopedLock.h"
#include "qxnet/http/QXHTTPClient.h"

namespace QXTest {

// A camera client as a host writes one, with its members opened up for the checks.
class HttpTestClient : public QXSDK::HTTPClient {
public:
    template <typename Address>
    HttpTestClient(std::uint64_t key, Address address)
        : HTTPClient(key, address, boost::shared_ptr<QX::CodeLock>(new QX::CodeLock)) {}

    bool Execute() override { return RequestImpl(L"/", true, nullptr, nullptr); }
    std::wstring Text() const { return m_responseText; }
    std::wstring ErrorText() const { return m_errorText; }
    QX::CMemoryStream& Stream() { return m_responseStream; }
    std::uint32_t Address() const { return m_address; }
    bool Closed() const { return !m_hSession && !m_hConnect && !m_hRequest; }

    // "user password" as remembered for the camera; "-" when none is.
    static std::wstring Login(std::uint64_t key) {
        QX::ScopedLock guard(&LoginMapLock());
        auto found = s_ServerLoginfoMap.find(key);
        return found == s_ServerLoginfoMap.end()
                   ? L"-"
                   : found->second.user + L" " + found->second.password;
    }
    // Remembers the pair for the camera; a null user forgets every camera's.
    static void Remember(std::uint64_t key, const wchar_t* user, const wchar_t* password) {
        QX::ScopedLock guard(&LoginMapLock());
        if (user == nullptr) {
            s_ServerLoginfoMap.clear();
            return;
        }
        s_ServerLoginfoMap.insert_or_assign(key, QXSDK::CameraLoginInfo(user, password));
    }
};

}  // namespace QXTest
