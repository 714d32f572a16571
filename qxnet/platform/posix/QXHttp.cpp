#include "qxnet/platform/QXHttp.h"
#include "qxnet/platform/QXUtf8.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "qxnet/platform/QXSync.h"
#include "qxnet/platform/QXTranslation.h"

// libcurl under the WinHTTP-shaped handles. Each request owns one easy handle in a multi handle
// of its own, driven only from inside the calling thread's transport calls. The body is handed
// on as it comes: while a receiver waits for it, the write callback hands libcurl's block straight
// on; otherwise it keeps what the caller has not read yet and pauses the transfer only when that
// grows past a bound (kMaxUnread), so a body of any size costs little memory.

namespace QX {
namespace {

using Clock = std::chrono::steady_clock;

// libcurl's results in WinHTTP's numbering; everything unlisted is an internal error.
constexpr Translation<CURLcode, DWORD> kCurlErrors[] = {
    {CURLE_COULDNT_RESOLVE_HOST, HttpError::NameNotResolved},
    {CURLE_COULDNT_RESOLVE_PROXY, HttpError::NameNotResolved},
    {CURLE_COULDNT_CONNECT, HttpError::CannotConnect},
    {CURLE_OPERATION_TIMEDOUT, HttpError::Timeout},
    {CURLE_SEND_ERROR, HttpError::ConnectionError},
    {CURLE_RECV_ERROR, HttpError::ConnectionError},
    {CURLE_PARTIAL_FILE, HttpError::ConnectionError},
    {CURLE_GOT_NOTHING, HttpError::InvalidServerResponse},
    {CURLE_WEIRD_SERVER_REPLY, HttpError::InvalidServerResponse},
    // A status line that is no HTTP at all reads to libcurl as a refused HTTP/0.9 answer.
    {CURLE_UNSUPPORTED_PROTOCOL, HttpError::InvalidServerResponse},
    {CURLE_BAD_CONTENT_ENCODING, HttpError::InvalidServerResponse},
    {CURLE_URL_MALFORMAT, HttpError::InvalidUrl},
    {CURLE_OUT_OF_MEMORY, HttpError::NotEnoughMemory},
    {CURLE_ABORTED_BY_CALLBACK, HttpError::OperationCancelled},
};

DWORD MapCurl(CURLcode code) {
    return Translate(kCurlErrors, code, HttpError::InternalError);
}

bool Fail(DWORD error) {
    SetLastErrorValue(error);
    return false;
}

enum class Kind { Session, Connection, Request };

// WinHTTP's defaults: no resolve limit, 60 s to connect, 30 s to send and to receive.
struct Settings {
    std::string agent;
    int resolveMs = 0;
    int connectMs = 60000;
    int sendMs = 30000;
    int receiveMs = 30000;
};

struct Handle {
    explicit Handle(Kind k) : kind(k) {}
    virtual ~Handle() = default;
    Kind kind;
    Settings settings;
};

struct Connection : Handle {
    Connection() : Handle(Kind::Connection) {}
    std::string host;
    std::uint16_t port = HttpDefaultPort;
};

struct Request : Handle {
    Request() : Handle(Kind::Request) {}
    ~Request() override {
        if (easy != nullptr) {
            if (multi != nullptr) {
                curl_multi_remove_handle(multi, easy);
            }
            curl_easy_cleanup(easy);
        }
        if (multi != nullptr) {
            curl_multi_cleanup(multi);
        }
        curl_slist_free_all(headers);
    }

    enum class State { Opened, Sent, Received };

    std::string url;
    std::string host;
    std::string target;
    std::string user;
    std::string password;
    bool credentials = false;
    State state = State::Opened;
    CURL* easy = nullptr;
    CURLM* multi = nullptr;
    curl_slist* headers = nullptr;
    // Set by libcurl's callbacks while the transfer is driven.
    bool requestStarted = false;
    bool headersDone = false;
    bool paused = false;
    bool done = false;
    // Bytes of the response head so far, and whether it grew past HttpMaxResponseHead.
    std::size_t headBytes = 0;
    bool headOverflow = false;
    CURLcode result = CURLE_OK;
    std::vector<char> block;
    std::size_t blockRead = 0;
    // While set, body bytes go to it instead of into block; what it took, and what it threw.
    HttpBodyReceiver* receiver = nullptr;
    std::size_t received = 0;
    std::exception_ptr receiverFailure;
    Clock::time_point lastActivity;

    std::size_t Unread() const { return block.size() - blockRead; }
};

// Every live handle, so that a stale or foreign one is refused instead of followed.
std::mutex g_handlesMutex;
std::unordered_set<Handle*> g_handles;

HttpHandle Register(Handle* handle) {
    std::lock_guard<std::mutex> guard(g_handlesMutex);
    g_handles.insert(handle);
    return handle;
}

template <typename T>
T* Lookup(HttpHandle handle, Kind kind) {
    std::lock_guard<std::mutex> guard(g_handlesMutex);
    auto found = g_handles.find(static_cast<Handle*>(handle));
    if (found == g_handles.end()) {
        SetLastErrorValue(HttpError::InvalidHandle);
        return nullptr;
    }
    if ((*found)->kind != kind) {
        SetLastErrorValue(HttpError::IncorrectHandleType);
        return nullptr;
    }
    return static_cast<T*>(*found);
}

// A request handle in the given state, with a place for its answer where one is asked for; else
// null with the error WinHTTP gives (notInState for a request in another state).
Request* RequestIn(HttpHandle handle, Request::State state, DWORD notInState,
                   const void* answer = "") {
    Request* request = Lookup<Request>(handle, Kind::Request);
    if (request == nullptr) {
        return nullptr;
    }
    if (answer == nullptr) {
        Fail(HttpError::InvalidParameter);
        return nullptr;
    }
    if (request->state != state) {
        Fail(notInState);
        return nullptr;
    }
    return request;
}

// One of libcurl's values about a received answer, read into value; answer is the caller's
// place for the result, which must be there. False, with WinHTTP's error, before the answer.
template <class Value>
bool ReceivedInfo(HttpHandle handle, CURLINFO info, Value* value, const void* answer) {
    Request* request =
        RequestIn(handle, Request::State::Received, HttpError::HeaderNotFound, answer);
    if (request == nullptr) {
        return false;
    }
    curl_easy_getinfo(request->easy, info, value);
    return true;
}

size_t OnHeader(char* data, size_t size, size_t count, void* context) {
    Request* request = static_cast<Request*>(context);
    size_t length = size * count;
    request->lastActivity = Clock::now();
    request->headBytes += length;
    if (request->headBytes > HttpMaxResponseHead) {
        request->headOverflow = true;
        return 0;
    }
    bool blankLine =
        (length == 2 && data[0] == '\r' && data[1] == '\n') || (length == 1 && data[0] == '\n');
    if (blankLine) {
        long status = 0;
        curl_easy_getinfo(request->easy, CURLINFO_RESPONSE_CODE, &status);
        // An interim 1xx answer is followed by the real one, whose head is counted afresh.
        if (status / 100 != 1) {
            request->headersDone = true;
        }
        request->headBytes = 0;
    }
    return length;
}

// The unread body held here before the transfer pauses. One step of the transfer hands over
// what the socket holds, up to a hundred of libcurl's blocks, and a pause makes libcurl keep a
// copy of the block it was offering; a bound of sixteen blocks pauses about once a step on a fast
// link, and keeps what is held here and in the caller's buffer small beside a large body.
constexpr std::size_t kMaxUnread = 16 * 65536;

size_t OnBody(char* data, size_t size, size_t count, void* context) {
    Request* request = static_cast<Request*>(context);
    size_t length = size * count;
    request->lastActivity = Clock::now();
    request->headersDone = true;
    if (request->receiver != nullptr) {
        // Nothing may leave through libcurl's C frames: a short count ends the transfer, and the
        // receiver's exception is thrown again once libcurl has returned.
        try {
            request->receiver->Append(data, static_cast<std::uint32_t>(length));
        } catch (...) {
            request->receiverFailure = std::current_exception();
            return 0;
        }
        request->received += length;
        return length;
    }
    if (request->Unread() >= kMaxUnread) {
        request->paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    // What arrives joins what is unread; the block starts over once all of it was read, so
    // unread bytes are never moved down.
    if (request->Unread() == 0) {
        request->block.clear();
        request->blockRead = 0;
    }
    request->block.insert(request->block.end(), data, data + length);
    return length;
}

int OnRequestStart(void* context, char*, char*, int, int) {
    static_cast<Request*>(context)->requestStarted = true;
    return CURL_PREREQFUNC_OK;
}

std::once_flag g_curlInit;

class CurlTransport : public HttpTransport {
public:
    HttpHandle Open(const wchar_t* userAgent) override {
        std::call_once(g_curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        Handle* session = new Handle(Kind::Session);
        session->settings.agent = ToUtf8(userAgent);
        return Register(session);
    }

    bool SetTimeouts(HttpHandle handle, int resolveMs, int connectMs, int sendMs,
                     int receiveMs) override {
        Handle* session = Lookup<Handle>(handle, Kind::Session);
        if (session == nullptr) {
            return false;
        }
        if (resolveMs < -1 || connectMs < -1 || sendMs < -1 || receiveMs < -1) {
            return Fail(HttpError::InvalidParameter);
        }
        // -1 is WinHTTP's spelling of "no limit", like 0.
        session->settings.resolveMs = std::max(resolveMs, 0);
        session->settings.connectMs = std::max(connectMs, 0);
        session->settings.sendMs = std::max(sendMs, 0);
        session->settings.receiveMs = std::max(receiveMs, 0);
        return true;
    }

    HttpHandle Connect(HttpHandle handle, const wchar_t* server, std::uint16_t port) override {
        Handle* session = Lookup<Handle>(handle, Kind::Session);
        if (session == nullptr) {
            return nullptr;
        }
        if (server == nullptr || *server == 0) {
            SetLastErrorValue(HttpError::InvalidUrl);
            return nullptr;
        }
        Connection* connection = new Connection;
        connection->settings = session->settings;
        connection->host = ToUtf8(server);
        connection->port = port == 0 ? HttpDefaultPort : port;
        return Register(connection);
    }

    HttpHandle OpenRequest(HttpHandle handle, const wchar_t* path) override {
        Connection* connection = Lookup<Connection>(handle, Kind::Connection);
        if (connection == nullptr) {
            return nullptr;
        }
        std::string target = ToUtf8(path);
        // A line break would end the request line early; the path is otherwise sent untouched.
        if (target.find_first_of("\r\n") != std::string::npos) {
            SetLastErrorValue(HttpError::InvalidUrl);
            return nullptr;
        }
        Request* request = new Request;
        request->settings = connection->settings;
        // An empty path asks for the root, as WinHTTP does with an empty object name.
        request->target = target.empty() ? "/" : target;
        request->host = connection->host;
        bool literalV6 = connection->host.find(':') != std::string::npos;
        request->url = "http://" + (literalV6 ? "[" + connection->host + "]" : connection->host) +
                       ":" + std::to_string(connection->port) + "/";
        return Register(request);
    }

    bool SetCredentials(HttpHandle handle, const wchar_t* user, const wchar_t* password) override {
        Request* request = Lookup<Request>(handle, Kind::Request);
        if (request == nullptr) {
            return false;
        }
        if (user == nullptr || password == nullptr) {
            return Fail(HttpError::InvalidParameter);
        }
        request->user = ToUtf8(user);
        request->password = ToUtf8(password);
        request->credentials = true;
        return true;
    }

    bool SendRequest(HttpHandle handle) override {
        Request* request =
            RequestIn(handle, Request::State::Opened, HttpError::IncorrectHandleState);
        if (request == nullptr) {
            return false;
        }
        if (!Prepare(*request)) {
            return Fail(HttpError::NotEnoughMemory);
        }
        request->state = Request::State::Sent;
        int connectLimit = ConnectLimit(*request);
        int sendMs = request->settings.sendMs;
        int limit = (connectLimit == 0 || sendMs == 0) ? 0 : connectLimit + sendMs;
        Drive(
            *request, [request] { return request->requestStarted; }, limit);
        // The request goes out in the same step in which its connection is made.
        return request->requestStarted || Failure(*request);
    }

    bool ReceiveResponse(HttpHandle handle) override {
        Request* request = RequestIn(handle, Request::State::Sent, HttpError::IncorrectHandleState);
        if (request == nullptr) {
            return false;
        }
        Drive(
            *request, [request] { return request->headersDone; }, request->settings.receiveMs);
        if (!request->headersDone) {
            return Failure(*request);
        }
        request->state = Request::State::Received;
        return true;
    }

    bool QueryStatusCode(HttpHandle handle, DWORD* status) override {
        long code = 0;
        if (!ReceivedInfo(handle, CURLINFO_RESPONSE_CODE, &code, status)) {
            return false;
        }
        *status = static_cast<DWORD>(code);
        return true;
    }

    bool QueryContentLength(HttpHandle handle, std::uint64_t* length) override {
        // libcurl reports -1 when no length was announced or chunked coding overrides it.
        curl_off_t announced = -1;
        if (!ReceivedInfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced, length)) {
            return false;
        }
        if (announced < 0) {
            return Fail(HttpError::HeaderNotFound);
        }
        *length = static_cast<std::uint64_t>(announced);
        return true;
    }

    bool QueryDataAvailable(HttpHandle handle, DWORD* available) override {
        Request* request =
            RequestIn(handle, Request::State::Received, HttpError::IncorrectHandleState, available);
        if (request == nullptr) {
            return false;
        }
        if (request->Unread() == 0) {
            Resume(*request);
            Drive(
                *request, [request] { return request->Unread() != 0; },
                request->settings.receiveMs);
        }
        if (request->Unread() != 0) {
            *available = static_cast<DWORD>(request->Unread());
            return true;
        }
        if (request->done && request->result == CURLE_OK) {
            *available = 0;
            return true;
        }
        return Failure(*request);
    }

    bool ReadData(HttpHandle handle, void* buffer, DWORD size, DWORD* read) override {
        Request* request = Lookup<Request>(handle, Kind::Request);
        if (request == nullptr) {
            return false;
        }
        if (read == nullptr || (buffer == nullptr && size != 0)) {
            return Fail(HttpError::InvalidParameter);
        }
        *read = 0;
        if (request->state != Request::State::Received) {
            return Fail(HttpError::IncorrectHandleState);
        }
        if (request->Unread() == 0 && size != 0) {
            DWORD available = 0;
            if (!QueryDataAvailable(handle, &available)) {
                return false;
            }
        }
        std::size_t count = std::min<std::size_t>(size, request->Unread());
        if (count != 0) {
            std::memcpy(buffer, request->block.data() + request->blockRead, count);
            request->blockRead += count;
        }
        *read = static_cast<DWORD>(count);
        return true;
    }

    // libcurl's blocks go to the receiver as they arrive, without a copy kept here.
    HttpReadResult ReceiveData(HttpHandle handle, HttpBodyReceiver& receiver,
                               std::vector<unsigned char>&, DWORD* received) override {
        Request* request =
            RequestIn(handle, Request::State::Received, HttpError::IncorrectHandleState, received);
        if (request == nullptr) {
            return HttpReadResult::QueryDataAvailableFailed;
        }
        *received = 0;
        // What an earlier read left unread goes first, from where it lies.
        if (std::size_t unread = request->Unread()) {
            receiver.Append(request->block.data() + request->blockRead,
                            static_cast<std::uint32_t>(unread));
            request->blockRead += unread;
            *received = static_cast<DWORD>(unread);
            return HttpReadResult::Data;
        }
        request->receiver = &receiver;
        request->received = 0;
        Resume(*request);
        Drive(
            *request, [request] { return request->received != 0; }, request->settings.receiveMs);
        request->receiver = nullptr;
        if (request->receiverFailure) {
            std::rethrow_exception(std::exchange(request->receiverFailure, nullptr));
        }
        *received = static_cast<DWORD>(request->received);
        if (*received != 0) {
            return HttpReadResult::Data;
        }
        if (request->done && request->result == CURLE_OK) {
            return HttpReadResult::End;
        }
        Failure(*request);
        return HttpReadResult::QueryDataAvailableFailed;
    }

    bool CloseHandle(HttpHandle handle) override {
        Handle* found = nullptr;
        {
            std::lock_guard<std::mutex> guard(g_handlesMutex);
            auto it = g_handles.find(static_cast<Handle*>(handle));
            if (it != g_handles.end()) {
                found = *it;
                g_handles.erase(it);
            }
        }
        if (found == nullptr) {
            return Fail(HttpError::InvalidHandle);
        }
        delete found;
        return true;
    }

private:
    // The limit on making the connection: the connect limit, plus the resolve limit when the
    // host is a name that has to be resolved first. 0: no limit.
    static int ConnectLimit(const Request& request) {
        const Settings& s = request.settings;
        unsigned char address[sizeof(in6_addr)];
        const std::string& host = request.host;
        bool literal = inet_pton(AF_INET, host.c_str(), address) == 1 ||
                       inet_pton(AF_INET6, host.c_str(), address) == 1;
        if (literal || s.connectMs == 0) {
            return s.connectMs;
        }
        return s.resolveMs == 0 ? 0 : s.resolveMs + s.connectMs;
    }

    static bool Prepare(Request& request) {
        request.easy = curl_easy_init();
        request.multi = curl_multi_init();
        if (request.easy == nullptr || request.multi == nullptr) {
            return false;
        }
        CURL* easy = request.easy;
        const Settings& s = request.settings;
        curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(easy, CURLOPT_REQUEST_TARGET, request.target.c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http");
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
        curl_easy_setopt(easy, CURLOPT_USERAGENT, s.agent.c_str());
        // The session asks for no proxy: nothing from the environment may redirect a request.
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
        curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 65536L);
        // A redirect is the answer, never followed (libcurl's default, kept on purpose).
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        // The headers WinHTTP sends: no Accept, and Connection: Keep-Alive.
        request.headers = curl_slist_append(nullptr, "Accept:");
        curl_slist* more = request.headers == nullptr
                               ? nullptr
                               : curl_slist_append(request.headers, "Connection: Keep-Alive");
        if (more == nullptr) {
            return false;
        }
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, request.headers);
        // WinHTTP runs name resolution and connection one after the other under their own
        // limits; libcurl has one limit for both.
        int connectLimit = ConnectLimit(request);
        if (connectLimit != 0) {
            curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectLimit));
        }
        if (request.credentials) {
            curl_easy_setopt(easy, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
            curl_easy_setopt(easy, CURLOPT_USERNAME, request.user.c_str());
            curl_easy_setopt(easy, CURLOPT_PASSWORD, request.password.c_str());
        }
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &request);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &request);
        curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, OnRequestStart);
        curl_easy_setopt(easy, CURLOPT_PREREQDATA, &request);
        return curl_multi_add_handle(request.multi, easy) == CURLM_OK;
    }

    // Runs the transfer until ready() holds, it ends, or nothing has happened for idleMs
    // (0: no limit of our own). A lapse of idleMs ends the transfer as timed out.
    template <typename Ready>
    static void Drive(Request& request, Ready ready, int idleMs) {
        request.lastActivity = Clock::now();
        while (!ready() && !request.done) {
            int running = 0;
            if (curl_multi_perform(request.multi, &running) != CURLM_OK) {
                Finish(request, CURLE_OUT_OF_MEMORY);
                return;
            }
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(request.multi, &queued)) {
                if (message->msg == CURLMSG_DONE) {
                    Finish(request, message->data.result);
                }
            }
            if (ready() || request.done) {
                return;
            }
            int waitMs = 1000;
            if (idleMs != 0) {
                auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(
                                Clock::now() - request.lastActivity)
                                .count();
                if (idle >= idleMs) {
                    Finish(request, CURLE_OPERATION_TIMEDOUT);
                    return;
                }
                waitMs = static_cast<int>(std::min<long long>(waitMs, idleMs - idle));
            }
            curl_multi_poll(request.multi, nullptr, 0, waitMs, nullptr);
        }
    }

    // Resuming a paused transfer hands over the block libcurl held back, through OnBody.
    static void Resume(Request& request) {
        if (request.paused) {
            request.paused = false;
            curl_easy_pause(request.easy, CURLPAUSE_CONT);
        }
    }

    static void Finish(Request& request, CURLcode result) {
        request.done = true;
        request.result = result;
    }

    // The error of a transfer that stopped short of what the caller waited for.
    static bool Failure(const Request& request) {
        // libcurl rejects a single head line past its own limit (100 KB) as out of memory.
        if (request.headOverflow ||
            (request.done && !request.headersDone && request.result == CURLE_OUT_OF_MEMORY)) {
            return Fail(HttpError::HeaderSizeOverflow);
        }
        if (request.done && request.result != CURLE_OK) {
            return Fail(MapCurl(request.result));
        }
        return Fail(HttpError::InvalidServerResponse);
    }
};

}  // namespace

HttpTransport& PlatformHttpTransport() {
    static CurlTransport transport;
    return transport;
}

}  // namespace QX
