// A camera client of one's own: HTTPClient is abstract, so a program derives from it, supplies
// Execute, and reads the answer from the members the class leaves to it.
//
//   qxnet-http-get 127.0.1.1 /index.html admin admin
#include <qxnet/common/QXMemoryStream.h>
#include <qxnet/http/QXHTTPClient.h>

#include <boost/make_shared.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

class PageClient : public QXSDK::HTTPClient {
public:
    PageClient(std::uint64_t cameraKey, const wchar_t* address, std::wstring path)
        : HTTPClient(cameraKey, address, boost::make_shared<QX::CodeLock>()),
          m_path(std::move(path)) {}

    // One page as text; credentials that worked before for this camera are used by themselves.
    bool Execute() override { return RequestImpl(m_path.c_str(), true, nullptr, nullptr); }
    bool ExecuteAs(const wchar_t* user, const wchar_t* password) {
        return RequestImpl(m_path.c_str(), true, user, password);
    }

    const wchar_t* Text() const { return m_responseText; }
    const wchar_t* ErrorText() const { return m_errorText; }

private:
    std::wstring m_path;
};

std::wstring Wide(const char* text) {
    return std::wstring(text, text + std::strlen(text));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 5) {
        std::fprintf(stderr, "usage: %s ADDRESS PATH [USER PASSWORD]\n", argv[0]);
        return 2;
    }
    std::wstring address = Wide(argv[1]);
    PageClient client(1, address.c_str(), Wide(argv[2]));
    bool ok;
    if (argc == 5) {
        std::wstring user = Wide(argv[3]);
        std::wstring password = Wide(argv[4]);
        ok = client.ExecuteAs(user.c_str(), password.c_str());
    } else {
        ok = client.Execute();
    }
    if (!ok) {
        std::fprintf(stderr, "failed: status %u, error %u: %ls\n", client.GetHttpStatus(),
                     client.GetLastError(), client.ErrorText());
        return 1;
    }
    std::uint32_t serverStatus = client.GetServerStatus();
    std::printf("server status %u\n%ls\n", serverStatus, client.Text());
    client.Close();
    return serverStatus < 400 ? 0 : 1;
}
