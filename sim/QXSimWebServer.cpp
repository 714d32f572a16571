#include "sim/QXSimWebServer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "sim/QXSimSocket.h"
#include "sim/QXSimulator.h"

namespace QXSim {
namespace {

constexpr std::size_t kMaxRequestHead = 16384;
constexpr int kRequestIdleMs = 5000;
// How often a connection waiting for its request looks at the idle time.
constexpr int kHeadPollMs = 100;
constexpr int kAcceptPollMs = 1000;
constexpr int kListenBacklog = 64;
// Generated bodies go out this many bytes a send at full speed.
constexpr std::size_t kBlock = 65536;
// A size after /gen/ or /status/ has at most this many digits, so it cannot overflow.
constexpr std::size_t kMaxSizeDigits = 15;
constexpr std::size_t kRecentKept = 256;
const std::string kHeadEnd = "\r\n\r\n";
const std::string kRedirectPrefix = "/redirect/";

std::string Base64(const std::string& text) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < text.size(); i += 3) {
        std::uint32_t v = (static_cast<std::uint8_t>(text[i]) << 16) |
                          (static_cast<std::uint8_t>(text[i + 1]) << 8) |
                          static_cast<std::uint8_t>(text[i + 2]);
        out += kDigits[v >> 18];
        out += kDigits[(v >> 12) & 63];
        out += kDigits[(v >> 6) & 63];
        out += kDigits[v & 63];
    }
    if (i + 1 == text.size()) {
        std::uint32_t v = static_cast<std::uint8_t>(text[i]) << 16;
        out += kDigits[v >> 18];
        out += kDigits[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == text.size()) {
        std::uint32_t v = (static_cast<std::uint8_t>(text[i]) << 16) |
                          (static_cast<std::uint8_t>(text[i + 1]) << 8);
        out += kDigits[v >> 18];
        out += kDigits[(v >> 12) & 63];
        out += kDigits[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

bool SendAll(int socket, const char* data, std::size_t length) {
    while (length != 0) {
        ssize_t sent = send(socket, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool SendAll(int socket, const std::string& text) {
    return SendAll(socket, text.data(), text.size());
}

const char* Reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

std::string StatusLine(int status, bool malformed) {
    if (malformed) {
        return "HTTX/1.1 2OO OK\r\n";
    }
    return "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
}

// The value of a header (case-insensitive name), or empty.
std::string Header(const std::string& head, const std::string& name) {
    std::size_t line = head.find("\r\n");
    while (line != std::string::npos && line + 2 < head.size()) {
        std::size_t start = line + 2;
        std::size_t end = head.find("\r\n", start);
        if (end == std::string::npos) {
            end = head.size();
        }
        std::size_t colon = head.find(':', start);
        if (colon != std::string::npos && colon < end && colon - start == name.size() &&
            std::equal(name.begin(), name.end(), head.begin() + static_cast<long>(start),
                       [](char a, char b) { return std::tolower(a) == std::tolower(b); })) {
            std::size_t value = head.find_first_not_of(' ', colon + 1);
            return value < end ? head.substr(value, end - value) : std::string();
        }
        line = end;
    }
    return std::string();
}

// A decimal size after prefix in target, or false.
bool SizeAfter(const std::string& target, const std::string& prefix, std::uint64_t& size) {
    if (target.compare(0, prefix.size(), prefix) != 0 || target.size() == prefix.size() ||
        target.size() - prefix.size() > kMaxSizeDigits) {
        return false;
    }
    size = 0;
    for (std::size_t i = prefix.size(); i < target.size(); ++i) {
        if (target[i] < '0' || target[i] > '9') {
            return false;
        }
        size = size * 10 + static_cast<std::uint64_t>(target[i] - '0');
    }
    return true;
}

// One generated block: a table one period longer than a block, read from the offset's place in
// the period.
const std::uint8_t* GeneratedBlock(std::uint64_t offset) {
    static const std::vector<std::uint8_t> table = [] {
        std::vector<std::uint8_t> bytes(kBlock + WebServer::kBodyPeriod);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = WebServer::BodyByte(i);
        }
        return bytes;
    }();
    return table.data() + offset % WebServer::kBodyPeriod;
}

// The request line and headers of a head that ends with its last line's CRLF.
WebRequest ParseRequest(const std::string& head, std::uint32_t camera) {
    WebRequest request;
    request.camera = camera;
    std::string line = head.substr(0, head.find("\r\n"));
    std::size_t first = line.find(' ');
    std::size_t last = line.rfind(' ');
    if (first != std::string::npos && last != first) {
        request.method = line.substr(0, first);
        request.target = line.substr(first + 1, last - first - 1);
        request.version = line.substr(last + 1);
    }
    request.authorization = Header(head, "Authorization");
    request.userAgent = Header(head, "User-Agent");
    for (std::size_t at = head.find("\r\n"); at != std::string::npos && at + 2 < head.size();
         at = head.find("\r\n", at + 2)) {
        std::size_t end = head.find("\r\n", at + 2);
        std::size_t colon = std::min(head.find(':', at + 2), end);
        std::string name = head.substr(at + 2, colon - (at + 2));
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        request.headerNames.push_back(name);
    }
    return request;
}

// The page of a target other than the generated ones: its status and body, and extra header
// lines; 302 for a redirect.
int Page(const SimCamera& camera, const std::string& target, std::string& body,
         std::string& extra) {
    std::uint64_t code = 0;
    auto file = camera.files.find(target.empty() ? target : target.substr(1));
    if (target == "/" || target == "/index.html") {
        body = "<html><head><title>" + camera.modelName + "</title></head><body>" +
               camera.modelName + " " + MacToText(camera.mac) + " at " +
               AddressText(camera.address) + "</body></html>\n";
        return 200;
    }
    if (target == "/empty") {
        return 200;
    }
    if (target.compare(0, kRedirectPrefix.size(), kRedirectPrefix) == 0) {
        body = "moved\n";
        extra = "Location: http://" + target.substr(kRedirectPrefix.size()) + "\r\n";
        return 302;
    }
    if (SizeAfter(target, "/status/", code) && code >= 100 && code <= 999) {
        body = "status " + std::to_string(code) + "\n";
        return static_cast<int>(code);
    }
    if (file != camera.files.end()) {
        body.assign(file->second.begin(), file->second.end());
        return 200;
    }
    body = "<html><body>404 Not Found</body></html>\n";
    return 404;
}

}  // namespace

WebServer::WebServer(const Simulator& simulator, WebOptions options)
    : m_simulator(simulator), m_options(options), m_faults(options.faults) {}

WebServer::~WebServer() {
    Stop();
}

bool WebServer::Start(std::string& error) {
    if (!m_listeners.empty()) {
        return true;
    }
    SocketOptions reuse;
    reuse.reuseAddress = true;
    for (const SimCamera& camera : m_simulator.Cameras()) {
        // Cameras that share an address (a conflict) are served by the first one there.
        if (std::find(m_listenerAddress.begin(), m_listenerAddress.end(), camera.address) !=
            m_listenerAddress.end()) {
            continue;
        }
        int listener =
            BindSocket(SOCK_STREAM, camera.address, m_options.port, reuse, "web server", error);
        if (listener >= 0 && listen(listener, kListenBacklog) != 0) {
            error = SystemError("web server: listen " + AddressText(camera.address) + ":" +
                                std::to_string(m_options.port));
            CloseDescriptor(listener);
        }
        if (listener < 0) {
            Stop();
            return false;
        }
        m_listeners.push_back(listener);
        m_listenerAddress.push_back(camera.address);
    }
    if (!StartThread("web server", error)) {
        Stop();
        return false;
    }
    return true;
}

void WebServer::Stop() {
    StopThread([this] {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            for (auto& connection : m_connections) {
                if (connection->socket >= 0) {
                    shutdown(connection->socket, SHUT_RDWR);
                }
            }
        }
        Reap(true);
    });
    for (int& listener : m_listeners) {
        CloseDescriptor(listener);
    }
    m_listeners.clear();
    m_listenerAddress.clear();
}

void WebServer::SetFaults(const WebFaults& faults) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_faults = faults;
}

std::vector<WebRequest> WebServer::RecentRequests() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_recent;
}

std::size_t WebServer::OpenConnections() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return static_cast<std::size_t>(
        std::count_if(m_connections.begin(), m_connections.end(),
                      [](const std::unique_ptr<Connection>& c) { return !c->finished; }));
}

WebFaults WebServer::TakeFaults() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_faults.count == 0) {
        return WebFaults{};
    }
    if (m_faults.count > 0) {
        --m_faults.count;
    }
    return m_faults;
}

void WebServer::Reap(bool all) {
    std::list<std::unique_ptr<Connection>> done;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            if (all || (*it)->finished) {
                done.push_back(std::move(*it));
                it = m_connections.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& connection : done) {
        connection->thread.join();
    }
}

void WebServer::Run() {
    std::vector<pollfd> watched;
    for (int listener : m_listeners) {
        watched.push_back({listener, POLLIN, 0});
    }
    for (;;) {
        const Wake wake = Wait(watched, kAcceptPollMs);
        if (wake == Wake::Stopping) {
            return;
        }
        for (std::size_t i = 0; wake == Wake::Ready && i < watched.size(); ++i) {
            if ((watched[i].revents & POLLIN) == 0) {
                continue;
            }
            int socket = accept4(watched[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (socket < 0) {
                continue;
            }
            auto connection = std::make_unique<Connection>();
            connection->socket = socket;
            connection->camera = m_listenerAddress[i];
            Connection& started = *connection;
            {
                std::lock_guard<std::mutex> guard(m_mutex);
                m_connections.push_back(std::move(connection));
            }
            started.thread = std::thread([this, &started] { Serve(started); });
        }
        Reap(false);
    }
}

bool WebServer::ReadHead(int socket, std::string& head) const {
    char buffer[4096];
    auto lastData = std::chrono::steady_clock::now();
    while (head.find(kHeadEnd) == std::string::npos) {
        const Wake wake = Wait(socket, kHeadPollMs);
        if (wake == Wake::Stopping || head.size() > kMaxRequestHead ||
            std::chrono::steady_clock::now() - lastData >
                std::chrono::milliseconds(kRequestIdleMs)) {
            return false;
        }
        if (wake != Wake::Ready) {
            continue;
        }
        ssize_t got = recv(socket, buffer, sizeof buffer, 0);
        if (got <= 0) {
            return false;
        }
        head.append(buffer, static_cast<std::size_t>(got));
        lastData = std::chrono::steady_clock::now();
    }
    // Keep the last header line's CRLF, drop the blank line.
    head.resize(head.find(kHeadEnd) + 2);
    return true;
}

void WebServer::Record(const WebRequest& request) {
    ++m_requests;
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_recent.size() == kRecentKept) {
        m_recent.erase(m_recent.begin());
    }
    m_recent.push_back(request);
}

void WebServer::Serve(Connection& connection) {
    std::string head;
    if (ReadHead(connection.socket, head)) {
        const WebRequest request = ParseRequest(head, connection.camera);
        Record(request);
        const WebFaults faults = TakeFaults();
        if ((faults.delayMs == 0 || Pause(std::uint64_t{faults.delayMs} * 1000)) &&
            !faults.closeBeforeAnswer) {
            Answer(connection.socket, request, faults);
        }
    }
    std::lock_guard<std::mutex> guard(m_mutex);
    close(connection.socket);
    connection.socket = -1;
    connection.finished = true;
}

void WebServer::Answer(int socket, const WebRequest& request, const WebFaults& faults) const {
    const SimCamera* camera = nullptr;
    for (const SimCamera& candidate : m_simulator.Cameras()) {
        if (candidate.address == request.camera) {
            camera = &candidate;
        }
    }
    std::string filler;
    for (unsigned i = 0; i < faults.extraHeaders; ++i) {
        filler += "X-Filler-" + std::to_string(i) + ": " +
                  std::string(faults.extraHeaderSize, 'f') + "\r\n";
    }
    auto answer = [&](int status, const std::string& body, const std::string& extra) {
        SendAll(socket, StatusLine(status, faults.malformedStatusLine) +
                            "Server: qxcam-sim\r\nContent-Type: text/html\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\n" + extra + filler +
                            "Connection: close\r\n\r\n" + body);
    };

    if (camera == nullptr || request.version.compare(0, 5, "HTTP/") != 0) {
        answer(400, "<html><body>400 Bad Request</body></html>\n", "");
        return;
    }
    if (request.method != "GET") {
        answer(405, "<html><body>405 Method Not Allowed</body></html>\n", "Allow: GET\r\n");
        return;
    }
    if (!camera->user.empty() &&
        request.authorization != "Basic " + Base64(camera->user + ":" + camera->password)) {
        answer(401, "<html><body>401 Unauthorized</body></html>\n",
               "WWW-Authenticate: Basic realm=\"QXCam\"\r\n");
        return;
    }
    std::uint64_t size = 0;
    const bool chunked = SizeAfter(request.target, "/chunked/", size);
    if (chunked || SizeAfter(request.target, "/gen/", size)) {
        if (SendAll(socket, StatusLine(200, faults.malformedStatusLine) +
                                "Server: qxcam-sim\r\nContent-Type: application/octet-stream\r\n" +
                                (chunked ? "Transfer-Encoding: chunked\r\n"
                                         : "Content-Length: " + std::to_string(size) + "\r\n") +
                                filler + "Connection: close\r\n\r\n")) {
            SendGenerated(socket, size, chunked, faults);
        }
        return;
    }
    std::string body;
    std::string extra;
    const int status = Page(*camera, request.target, body, extra);
    // A redirect (the one page with extra header lines) is answered whole.
    if (faults.closeMidBody && extra.empty()) {
        SendAll(socket, StatusLine(status, faults.malformedStatusLine) +
                            "Content-Length: " + std::to_string(body.size()) +
                            "\r\nConnection: close\r\n\r\n" + body.substr(0, body.size() / 2));
    } else {
        answer(status, body, extra);
    }
}

void WebServer::SendGenerated(int socket, std::uint64_t size, bool chunked,
                              const WebFaults& faults) const {
    const std::uint64_t end = faults.closeMidBody ? size / 2 : size;
    // Paced: a hundredth of the rate (at least a byte) at a time, each after its share of a
    // second.
    std::uint64_t block = kBlock;
    std::uint64_t pauseUs = 0;
    if (faults.paceBytesPerSecond != 0) {
        block = std::max<std::uint64_t>(1, faults.paceBytesPerSecond / 100);
        pauseUs = block * 1000 / faults.paceBytesPerSecond * 1000;
    }
    bool ok = true;
    for (std::uint64_t offset = 0; ok && offset < end && !Stopping();) {
        if (pauseUs != 0 && !Pause(pauseUs)) {
            return;
        }
        const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(block, end - offset));
        if (chunked) {
            char prefix[24];
            std::snprintf(prefix, sizeof prefix, "%zx\r\n", length);
            ok = SendAll(socket, prefix);
        }
        ok = ok && SendAll(socket, reinterpret_cast<const char*>(GeneratedBlock(offset)), length);
        if (chunked) {
            ok = ok && SendAll(socket, "\r\n", 2);
        }
        offset += length;
    }
    if (ok && chunked && !faults.closeMidBody) {
        SendAll(socket, "0\r\n\r\n", 5);
    }
}

}  // namespace QXSim
