#include "qxnet/mdns/QXMDNSClient.h"

#include <functional>
#include <utility>

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXByteReader.h"
#include "qxnet/common/QXScopedLock.h"
#include "qxnet/common/QXThreadStart.h"
#include "qxnet/common/QXTrace.h"
#include "qxnet/mdns/QXDNSRrdataPTR.h"
#include "qxnet/mdns/QXDNSTraceLimit.h"
#include "qxnet/net/QXFetchTable.h"
#include "qxnet/platform/QXSync.h"

namespace QXSDK {

namespace {

constexpr std::uint32_t MDNS_GROUP = 0xE00000FB;  // 224.0.0.251, host order
constexpr std::uint16_t MDNS_PORT = 5353;
constexpr int RECEIVE_BUFFER_BYTES = 0x20000;
constexpr int DATAGRAM_BYTES = 8192;
constexpr std::uint32_t HEADER_BYTES = 12;
constexpr DWORD QUERY_WAIT_MS = 1500;
constexpr DWORD DELAY_MS = 10000;
// The query is built in a 256-byte buffer: header, name, type and class.
constexpr std::size_t MAX_ENCODED_NAME = 240;
const char SERVICE_OWNER[] = "_korv._tcp.local";
// Trace lines that the filing of one datagram may write; a datagram of faulty records would
// otherwise write hundreds.
constexpr unsigned MESSAGE_TRACE_LINES = 4;

// DNS names compare without regard to case.
std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

bool Present(HANDLE handle) {
    return handle != INVALID_HANDLE_VALUE;
}

// Thread and event creation report failure with null; the client keeps absent handles as the
// invalid value.
HANDLE AbsentIfNull(HANDLE handle) {
    return handle == nullptr ? INVALID_HANDLE_VALUE : handle;
}

// Waits for a delay thread the client started to end and closes it; forgets one it only shares.
// The caller holds the delay mutex.
void JoinDelay(HANDLE& thread, bool& owned) {
    if (Present(thread) && owned) {
        QX::WaitForHandle(thread, INFINITE);
        QX::HandleClose(thread);
    }
    thread = INVALID_HANDLE_VALUE;
    owned = false;
}

void PutU16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

// The interface that holds a host-order address, from the address table: its index and the
// address it lists (network order). Every 127/8 address belongs to the loopback interface, though
// the table lists only the one it was given (Debian maps the host name to 127.0.1.1).
bool InterfaceOf(std::uint32_t hostOrderAddress, std::uint32_t& index,
                 std::uint32_t& listedAddress) {
    QX::TableBlock<MIB_IPADDRTABLE> table;
    if (QX::FetchTable(&QX::NetInfoSource::GetIpAddrTable, false, table) !=
        QX::NetInfoError::Success) {
        return false;
    }
    const std::uint32_t wanted = QX::SwapAddress(hostOrderAddress);
    const MIB_IPADDRROW* found = nullptr;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPADDRROW& row = table->table[i];
        if (row.dwAddr == wanted) {
            found = &row;
            break;
        }
        if (found == nullptr && QX::IsLoopbackAddress(hostOrderAddress) &&
            QX::IsLoopbackAddress(QX::SwapAddress(row.dwAddr))) {
            found = &row;
        }
    }
    if (found == nullptr) {
        return false;
    }
    index = found->dwIndex;
    listedAddress = found->dwAddr;
    return true;
}

}  // namespace

MDNSClient::MDNSClient(boost::shared_ptr<QX::CodeLock> lock) : MDNSClient(std::move(lock), 0) {}

MDNSClient::MDNSClient(boost::shared_ptr<QX::CodeLock> lock, std::uint32_t localAddr)
    : m_lock(std::move(lock)),
      m_socket(QX::InvalidSocket),
      m_destAddr(),
      m_bindAddr(),
      m_localAddr(localAddr),
      m_transId(1),
      m_hDelayThread(INVALID_HANDLE_VALUE),
      m_hSocketThread(INVALID_HANDLE_VALUE),
      m_running(false),
      m_hEventQueryResponseReceived(INVALID_HANDLE_VALUE),
      m_hSelfAnnounceEvent(INVALID_HANDLE_VALUE),
      m_ownsHandles(false),
      m_interfaceIndex(0),
      m_ownsDelayThread(false) {}

// Starts as an unopened client and takes the other's state, lock included.
MDNSClient::MDNSClient(const MDNSClient& other) : MDNSClient(nullptr, 0) {
    CopyFrom(other);
}

MDNSClient& MDNSClient::operator=(const MDNSClient& other) {
    if (this != &other) {
        // The threads of this client run on this object: they are stopped before its members
        // take the other client's values.
        Shutdown();
        CopyFrom(other);
    }
    return *this;
}

MDNSClient::~MDNSClient() {
    Shutdown();
}

void MDNSClient::CopyFrom(const MDNSClient& other) {
    m_lock = other.m_lock;
    {
        QX::ScopedLock guard(m_lock);
        m_sendQueue = other.m_sendQueue;
        m_pending = other.m_pending;
        m_results = other.m_results;
    }
    m_socket.store(other.m_socket.load());
    m_destAddr = other.m_destAddr;
    m_bindAddr = other.m_bindAddr;
    m_localAddr = other.m_localAddr;
    m_transId.store(other.m_transId.load());
    {
        std::lock_guard<std::mutex> guard(const_cast<MDNSClient&>(other).m_delayMutex);
        m_hDelayThread = other.m_hDelayThread;
    }
    m_hSocketThread = other.m_hSocketThread;
    m_running.store(other.m_running.load());
    m_hEventQueryResponseReceived.store(other.m_hEventQueryResponseReceived.load());
    m_hSelfAnnounceEvent.store(other.m_hSelfAnnounceEvent.load());
    m_interfaceIndex.store(other.m_interfaceIndex.load());
    m_ownsHandles = false;
    m_ownsDelayThread = false;
}

void MDNSClient::Shutdown() {
    {
        std::lock_guard<std::mutex> guard(m_delayMutex);
        JoinDelay(m_hDelayThread, m_ownsDelayThread);
    }
    if (m_ownsHandles && Present(m_hSocketThread)) {
        m_running = false;
        QX::WaitForHandle(m_hSocketThread, INFINITE);
        QX::HandleClose(m_hSocketThread);
    }
    Close();
    m_hSocketThread = INVALID_HANDLE_VALUE;
    m_running = false;
    m_ownsHandles = false;
}

QX::SocketHandle MDNSClient::OwnSocket() const {
    return m_ownsHandles ? m_socket.load() : QX::InvalidSocket;
}

HANDLE MDNSClient::OwnQueryEvent() const {
    return m_ownsHandles ? m_hEventQueryResponseReceived.load() : INVALID_HANDLE_VALUE;
}

QX::SocketHandle MDNSClient::OpenSocket() {
    const QX::SocketHandle socket = QX::SocketCreateUdp();
    if (socket == QX::InvalidSocket) {
        return QX::InvalidSocket;
    }
    // The socket layer has no read-back of the option; the value read back was never used.
    QX::SocketSetOption(socket, QX::SocketOption::ReceiveBuffer, RECEIVE_BUFFER_BYTES);
    QX::SocketSetOption(socket, QX::SocketOption::ReuseAddress, 1);
    QX::SocketSetOption(socket, QX::SocketOption::MulticastTtl, 255);
    m_destAddr = QX::MakeSocketAddress(MDNS_GROUP, MDNS_PORT);
    const bool chosen = m_localAddr == 0;
    if (chosen) {
        // A host whose name resolves to no IPv4 address has no interface to choose: Open fails
        // rather than guess one.
        std::vector<std::uint32_t> addresses;
        if (!GetLocalAddresses(addresses) || addresses.empty()) {
            QX::SocketClose(socket);
            return QX::InvalidSocket;
        }
        m_localAddr = QX::SwapAddress(addresses.front());
    }
    m_bindAddr = QX::MakeSocketAddress(m_localAddr, MDNS_PORT);
    // A socket bound to a unicast address receives no group datagrams on Linux, so the socket
    // binds the wildcard address and keeps to the chosen interface in three ways: it joins the
    // group there, sends from there, and drops datagrams that arrived elsewhere (packet info).
    // An address that no interface holds fails here as its bind would.
    std::uint32_t interfaceIndex = 0;
    std::uint32_t interfaceAddress = 0;
    bool ready = InterfaceOf(m_localAddr, interfaceIndex, interfaceAddress);
    if (ready) {
        m_interfaceIndex = interfaceIndex;
        QX::SocketSetOption(socket, QX::SocketOption::PacketInfo, 1);
        // Client and responders on one host (loopback) hear each other only with the loop on.
        QX::SocketSetOption(socket, QX::SocketOption::MulticastLoop, 1);
        ready = QX::SocketBind(socket, QX::MakeSocketAddress(0, MDNS_PORT)) &&
                QX::SocketJoinGroup(socket, QX::SwapAddress(MDNS_GROUP), interfaceAddress) &&
                QX::SocketSetMulticastInterface(socket, interfaceAddress);
    }
    if (!ready) {
        QX::SocketClose(socket);
        // The next Open chooses again: the host's addresses may have changed by then.
        if (chosen) {
            m_localAddr = 0;
        }
        return QX::InvalidSocket;
    }
    return socket;
}

bool MDNSClient::Open() {
    if (!m_ownsHandles) {
        // Handle values copied from another client are its own; this client makes its own.
        m_socket = QX::InvalidSocket;
        m_hSocketThread = INVALID_HANDLE_VALUE;
        m_hEventQueryResponseReceived = INVALID_HANDLE_VALUE;
        m_running = false;
        m_ownsHandles = true;
    }
    if (m_socket.load() != QX::InvalidSocket) {
        return true;  // already open
    }
    // Every failure leaves the client closed, as it was, so that a later Open starts afresh.
    const QX::SocketHandle socket = OpenSocket();
    if (socket == QX::InvalidSocket) {
        return false;
    }
    if (!Present(m_hEventQueryResponseReceived.load())) {
        m_hEventQueryResponseReceived = AbsentIfNull(QX::EventCreate(false, false));
        if (!Present(m_hEventQueryResponseReceived.load())) {
            QX::SocketClose(socket);
            return false;
        }
    }
    m_socket = socket;
    m_running = true;
    // After Close the socket thread idles until destruction; a second Open reuses it.
    if (!Present(m_hSocketThread)) {
        m_hSocketThread = AbsentIfNull(QX::ThreadCreate(LaunchSocketThread, this));
        if (!Present(m_hSocketThread)) {
            m_running = false;
            Close();
            return false;
        }
    }
    return true;
}

bool MDNSClient::Close() {
    // Only the client's own guards: Close must not wait for a transfer of another client that
    // holds the shared CodeLock.
    {
        std::lock_guard<std::mutex> guard(m_socketMutex);
        const QX::SocketHandle socket = m_socket.exchange(QX::InvalidSocket);
        if (socket != QX::InvalidSocket && m_ownsHandles) {
            QX::SocketClose(socket);
        }
    }
    std::lock_guard<std::mutex> guard(m_signalMutex);
    const HANDLE event = m_hEventQueryResponseReceived.exchange(INVALID_HANDLE_VALUE);
    if (Present(event) && m_ownsHandles) {
        // A query waiting on it meanwhile ends its wait as failed.
        QX::HandleClose(event);
    }
    return true;
}

std::uint32_t MDNSClient::GetAddr() const {
    return m_localAddr;
}

DWORD QX_THREADAPI MDNSClient::LaunchSocketThread(void* client) {
    return static_cast<MDNSClient*>(client)->LaunchSocketThreadImpl();
}

DWORD MDNSClient::LaunchSocketThreadImpl() {
    if (!m_running) {
        return 0;
    }
    for (;;) {
        if (WaitForRead()) {
            QX::ScopedLock guard(m_lock);
            std::vector<std::uint8_t> response;
            if (GetRawResponse(response) && !response.empty()) {
                AccumulateResponseData(response);
            }
            // A stream of datagrams without pause would otherwise hold off the destructor for
            // as long as it lasts.
            if (!m_running) {
                break;
            }
            continue;
        }
        std::uint32_t selfAnnounceCount = 0;
        std::uint32_t queryResponseCount = 0;
        {
            QX::ScopedLock guard(m_lock);
            TranslateResponseData(selfAnnounceCount, queryResponseCount);
        }
        if (queryResponseCount > 0 || selfAnnounceCount > 0) {
            // Under the guard that Close and RegisterSelfAnnounceEvent take: an event is never
            // signalled once it was closed or unregistered.
            std::lock_guard<std::mutex> guard(m_signalMutex);
            const HANDLE queryEvent = m_hEventQueryResponseReceived.load();
            if (queryResponseCount > 0 && Present(queryEvent)) {
                QX::EventSet(queryEvent);
            }
            const HANDLE announceEvent = m_hSelfAnnounceEvent.load();
            if (selfAnnounceCount > 0 && Present(announceEvent)) {
                QX::EventSet(announceEvent);
            }
        }
        {
            QX::ScopedLock guard(m_lock);
            SendQueries();
        }
        if (!m_running) {
            break;
        }
    }
    return 0;
}

bool MDNSClient::WaitForRead() {
    const QX::SocketHandle socket = OwnSocket();
    if (socket == QX::InvalidSocket) {
        // Closed: the thread idles at the same pace until it is stopped.
        QX::SleepMs(WAIT_FOR_READ_TIMEOUT);
        return false;
    }
    const QX::SocketWait result =
        QX::SocketWaitReadable(socket, static_cast<std::uint32_t>(WAIT_FOR_READ_TIMEOUT) * 1000);
    if (result == QX::SocketWait::Readable) {
        return true;
    }
    if (result != QX::SocketWait::TimedOut) {
        // A wait that fails at once would turn the loop into a spin; keep the pace instead.
        QX::SleepMs(WAIT_FOR_READ_TIMEOUT);
    }
    return false;
}

bool MDNSClient::GetRawResponse(std::vector<std::uint8_t>& response) {
    response.clear();
    // Under the socket guard, so that Close cannot close the socket in between; a socket closed
    // since the wait is not read.
    std::lock_guard<std::mutex> guard(m_socketMutex);
    const QX::SocketHandle socket = OwnSocket();
    if (socket == QX::InvalidSocket) {
        return false;
    }
    std::vector<std::uint8_t> buffer(DATAGRAM_BYTES);
    QX::ReceivedDatagram received = {};
    if (!QX::SocketReceiveWithInterface(socket, buffer.data(), DATAGRAM_BYTES, &received)) {
        return false;
    }
    // A datagram larger than the buffer would arrive cut; it is dropped rather than parsed as a
    // whole one.
    if (received.size < 0 || received.size > DATAGRAM_BYTES) {
        return false;
    }
    // Only the chosen interface counts (an unknown index is taken as the chosen one).
    const std::uint32_t wanted = m_interfaceIndex.load();
    if (wanted != 0 && received.interfaceIndex != 0 && received.interfaceIndex != wanted) {
        return false;
    }
    response.assign(buffer.begin(), buffer.begin() + received.size);
    return true;
}

ResponseType MDNSClient::GetResponseType(const std::vector<std::uint8_t>&) {
    return RESPONSE_TYPE_ANSWER;
}

std::uint32_t MDNSClient::ParseResponseHeader(const std::vector<std::uint8_t>& response,
                                              std::uint16_t& transId, std::uint16_t& flags,
                                              std::uint16_t& qdCount, std::uint16_t& anCount,
                                              std::uint16_t& nsCount, std::uint16_t& arCount) {
    // Fields that a short message does not hold read as 0.
    QX::ByteReader reader(response);
    reader.ReadU16(transId);
    reader.ReadU16(flags);
    reader.ReadU16(qdCount);
    reader.ReadU16(anCount);
    reader.ReadU16(nsCount);
    reader.ReadU16(arCount);
    return HEADER_BYTES;
}

std::uint16_t MDNSClient::GetResponseTransID(const std::vector<std::uint8_t>& response) {
    std::uint16_t transId = 0;
    QX::ByteReader reader(response);
    reader.ReadU16(transId);
    return transId;
}

bool MDNSClient::ReadRecords(const std::vector<std::uint8_t>& response,
                             const std::function<void(const DNSResourceRecord&)>& onRecord) {
    // A message shorter than its header is no response.
    if (response.size() < HEADER_BYTES) {
        return false;
    }
    std::uint16_t transId = 0, flags = 0, qdCount = 0, anCount = 0, nsCount = 0, arCount = 0;
    std::size_t offset =
        ParseResponseHeader(response, transId, flags, qdCount, anCount, nsCount, arCount);
    if ((flags & 0x8000) == 0 || (flags & 0x000F) != 0 || qdCount != 0) {
        return false;
    }
    // One record object serves every record in turn, so that its name and rdata keep their
    // storage: a datagram of hundreds of records costs no allocation per record.
    DNSResourceRecord record(DNSName(), 0, 0, 0, 0, nullptr);
    while (offset < response.size()) {
        record.m_name.Clear();
        const std::uint32_t nameBytes =
            record.m_name.ParseInit(response, response, static_cast<std::uint32_t>(offset));
        QX::ByteReader reader(response, offset + nameBytes);
        // A record cut off in its fixed fields or rdata ends the message; the whole records
        // before it are kept, as a sender's truncated datagram still carries them intact.
        if (!reader.ReadU16(record.m_type) || !reader.ReadU16(record.m_class) ||
            !reader.ReadU32(record.m_ttl) || !reader.ReadU16(record.m_rdLength) ||
            reader.Remaining() < record.m_rdLength) {
            break;
        }
        const std::uint8_t* rdata = response.data() + reader.Position();
        record.m_rdata.assign(rdata, rdata + record.m_rdLength);
        onRecord(record);
        offset = reader.Position() + record.m_rdLength;
    }
    return true;
}

bool MDNSClient::GetRRsFromResponse(const std::vector<std::uint8_t>& response,
                                    std::vector<DNSResourceRecord>& records) {
    return ReadRecords(response,
                       [&records](const DNSResourceRecord& record) { records.push_back(record); });
}

bool MDNSClient::AccumulateResponseData(const std::vector<std::uint8_t>& response) {
    DNSTraceLimit traceLimit(MESSAGE_TRACE_LINES);
    const std::uint16_t transId = GetResponseTransID(response);
    // The last valid SRV record as filed: its target's text is needed only for a held A record.
    const DNSRrdataSRV* lastSrv = nullptr;
    bool holdingA = false;
    DNSRrdataA heldA;
    // Records are filed as they are read rather than gathered first: a datagram of hundreds of
    // records with long names would otherwise be copied whole once more.
    const bool accepted = ReadRecords(response, [&](const DNSResourceRecord& record) {
        switch (record.m_type) {
            case TYPE_PTR: {
                DNSRrdataPTR ptr;
                ptr.ParseInit(response, record.m_rdata);
                break;
            }
            case TYPE_TXT: {
                DNSRrdataTXT txt;
                if (txt.ParseInit(record.m_rdata)) {
                    m_pending[transId].m_txt[record.m_name.ToString()] = std::move(txt);
                }
                break;
            }
            case TYPE_A: {
                DNSRrdataA a;
                a.ParseInit(record.m_rdata);
                const std::string owner = record.m_name.ToString();
                if (owner == SERVICE_OWNER) {
                    heldA = a;
                    holdingA = true;
                } else if (a.m_valid) {
                    m_pending[transId].m_a[owner] = a;
                    if (transId == SELF_ANNOUNCE_TRANS_ID) {
                        FileMacAnswer(owner, a);
                    }
                }
                break;
            }
            case TYPE_SRV: {
                DNSRrdataSRV srv;
                if (srv.ParseInit(response, record.m_rdata)) {
                    DNSRrdataSRV& filed = m_pending[transId].m_srv[record.m_name.ToString()];
                    filed = std::move(srv);
                    lastSrv = &filed;
                }
                break;
            }
            default:
                DNSTraceLimit::Trace(L"MDNSClient::AddResponseToMap: Unknown type encountered!");
                break;
        }
    });
    if (!accepted) {
        return false;
    }
    if (holdingA && heldA.m_valid) {
        m_pending[transId].m_a[lastSrv != nullptr ? lastSrv->m_target.ToString() : ""] = heldA;
    }
    return true;
}

void MDNSClient::FileMacAnswer(const std::string& owner, const DNSRrdataA& a) {
    const auto query = m_macQueries.find(Lower(owner));
    if (query == m_macQueries.end()) {
        return;
    }
    MDNSCameraData camera;
    camera.m_ip = a.m_address;
    camera.m_mac = query->second.second;
    camera.m_valid = true;
    // A full record that the camera sent under the query's own ID stays.
    m_results[query->second.first].emplace(camera.m_mac, camera);
    ++m_macAnswers;
}

bool MDNSClient::JoinCameraData(const PendingRecords& pending, CameraMap& joined) const {
    for (const auto& [owner, txt] : pending.m_txt) {
        const auto srv = pending.m_srv.find(owner);
        if (srv == pending.m_srv.end()) {
            continue;
        }
        const auto a = pending.m_a.find(srv->second.m_target.ToString());
        if (a == pending.m_a.end()) {
            continue;
        }
        joined.emplace(txt.m_mac, MDNSCameraData(a->second.m_address, txt));
    }
    return !joined.empty();
}

bool MDNSClient::TranslateResponseData(std::uint32_t& selfAnnounceCount,
                                       std::uint32_t& queryResponseCount) {
    selfAnnounceCount = 0;
    queryResponseCount = 0;
    for (const auto& [transId, pending] : m_pending) {
        CameraMap joined;
        JoinCameraData(pending, joined);
        for (const auto& [mac, camera] : joined) {
            m_results[transId][mac] = camera;
            if (transId == SELF_ANNOUNCE_TRANS_ID) {
                ++selfAnnounceCount;
            } else {
                ++queryResponseCount;
            }
        }
    }
    m_pending.clear();
    queryResponseCount += m_macAnswers;
    m_macAnswers = 0;
    return true;
}

bool MDNSClient::SendQueries() {
    std::lock_guard<std::mutex> guard(m_socketMutex);
    const QX::SocketHandle socket = OwnSocket();
    if (socket == QX::InvalidSocket) {
        // Not open (yet, or any more): the queries wait until there is a socket to send them.
        return false;
    }
    while (!m_sendQueue.empty()) {
        const std::vector<std::uint8_t>& message = m_sendQueue.front();
        if (QX::SocketSendTo(socket, message.data(), static_cast<int>(message.size()), m_destAddr) <
            0) {
            QX::Trace(L"MDNSClient::SendQueries: Error 1! sendto() failed!");
            return false;
        }
        m_sendQueue.pop_front();
    }
    return true;
}

bool MDNSClient::QueryHost(std::uint16_t transId, std::uint16_t flags, std::uint16_t qdCount,
                           std::uint16_t anCount, std::uint16_t nsCount, std::uint16_t arCount,
                           std::uint16_t queryType, std::uint16_t queryClass, const DNSName& name) {
    std::vector<std::uint8_t> encoded;
    name.Encode(encoded);
    if (encoded.size() > MAX_ENCODED_NAME) {
        // Does not fit the query buffer: nothing is queued and nothing is waited for, so the
        // query finds no records.
        return true;
    }
    std::vector<std::uint8_t> message;
    message.reserve(16 + encoded.size());
    PutU16(message, transId);
    PutU16(message, flags);
    PutU16(message, qdCount);
    PutU16(message, anCount);
    PutU16(message, nsCount);
    PutU16(message, arCount);
    message.insert(message.end(), encoded.begin(), encoded.end());
    PutU16(message, queryType);
    PutU16(message, queryClass);
    {
        QX::ScopedLock guard(m_lock);
        m_sendQueue.push_back(std::move(message));
    }
    for (;;) {
        // A copy never waits on its source's event: the source may close it, and its signals
        // are for the source's own queries.
        const HANDLE event = OwnQueryEvent();
        DWORD waited = WAIT_TIMEOUT;
        if (Present(event)) {
            waited = QX::WaitForHandle(event, QUERY_WAIT_MS);
        } else {
            QX::SleepMs(QUERY_WAIT_MS);
        }
        if (waited != WAIT_OBJECT_0) {
            QX::Trace(
                L"MDNSClient::QueryHost(): No response for submitted query! "
                L"m_hEventQueryResponseReceived unsignaled.");
            break;
        }
        QX::ScopedLock guard(m_lock);
        if (m_results.count(transId) != 0) {
            break;
        }
    }
    return true;
}

bool MDNSClient::TakeResults(std::uint16_t transId, CameraMap& cameras) {
    const auto found = m_results.find(transId);
    if (found == m_results.end()) {
        return false;
    }
    cameras = std::move(found->second);
    m_results.erase(found);
    return true;
}

std::uint16_t MDNSClient::TakeTransID() {
    std::uint16_t current = m_transId.load();
    std::uint16_t next = 0;
    do {
        next = current == 65535 ? 1 : static_cast<std::uint16_t>(current + 1);
    } while (!m_transId.compare_exchange_weak(current, next));
    return current;
}

void MDNSClient::IncTransID() {
    TakeTransID();
}

bool MDNSClient::GetLocalAddresses(std::vector<std::uint32_t>& addresses) {
    std::vector<std::uint32_t> resolved;
    if (!QX::NetInfoSource::Current().ResolveLocalHost(&resolved)) {
        return false;
    }
    addresses.insert(addresses.end(), resolved.begin(), resolved.end());
    return true;
}

DNSName MDNSClient::ServiceName() {
    DNSName name;
    name.AddLabel("_korv");
    name.AddLabel("_tcp");
    name.AddLabel("local");
    return name;
}

DNSName MDNSClient::CameraHostName(std::uint64_t mac) {
    static const char digits[] = "0123456789ABCDEF";
    std::string label = "korv-QX";
    for (int shift = 20; shift >= 0; shift -= 4) {
        label += digits[(mac >> shift) & 0xF];
    }
    DNSName name;
    name.AddLabel(label);
    name.AddLabel("local");
    return name;
}

bool MDNSClient::GetResponses(std::uint16_t transId, CameraMap& cameras) {
    QX::ScopedLock guard(m_lock);
    return TakeResults(transId, cameras);
}

bool MDNSClient::GetResponseMACSpecific(std::uint16_t transId, std::uint64_t& foundMac,
                                        std::uint32_t& ipAddress) {
    QX::ScopedLock guard(m_lock);
    CameraMap cameras;
    if (!TakeResults(transId, cameras) || cameras.size() != 1) {
        return false;
    }
    foundMac = cameras.begin()->second.m_mac;
    ipAddress = cameras.begin()->second.m_ip;
    return true;
}

bool MDNSClient::QueryKorvaneCams(bool, CameraMap& cameras) {
    WaitForDelay();
    const std::uint16_t transId = TakeTransID();
    QueryHost(transId, 0, 1, 0, 0, 0, TYPE_PTR, CLASS_IN_QU, ServiceName());
    return GetResponses(transId, cameras);
}

bool MDNSClient::QueryKorvaneCamsUniMulti(CameraMap& cameras) {
    WaitForDelay();
    std::uint16_t transId = TakeTransID();
    if (transId == 1) {
        QueryHost(transId, 0, 1, 0, 0, 0, TYPE_PTR, CLASS_IN_QU, ServiceName());
        GetResponses(transId, cameras);
        transId = TakeTransID();
    }
    QueryHost(transId, 0, 1, 0, 0, 0, TYPE_PTR, CLASS_IN_QM, ServiceName());
    if (!GetResponses(transId, cameras)) {
        return false;
    }
    if (transId % 9 == 0) {
        QueryHost(static_cast<std::uint16_t>(transId - 1), 0, 1, 0, 0, 0, TYPE_PTR, CLASS_IN_QU,
                  ServiceName());
        StartWaitThread();
    }
    return true;
}

bool MDNSClient::QueryKorvaneMAC(std::uint64_t mac, std::uint64_t& foundMac,
                                 std::uint32_t& ipAddress) {
    WaitForDelay();
    const std::uint16_t transId = TakeTransID();
    const DNSName name = CameraHostName(mac);
    const std::string text = name.ToString();
    const std::string key = Lower(text);
    {
        QX::ScopedLock guard(m_lock);
        // After "korv-": "QX" and six digits, as the camera's text gives them.
        m_macQueries[key] = {transId, DNSRrdataTXT::ParseMacText(text.substr(5, 8))};
    }
    QueryHost(transId, 0, 1, 0, 0, 0, TYPE_A, CLASS_IN_QM, name);
    {
        QX::ScopedLock guard(m_lock);
        m_macQueries.erase(key);
    }
    return GetResponseMACSpecific(transId, foundMac, ipAddress);
}

void MDNSClient::RegisterSelfAnnounceEvent(HANDLE event) {
    // Waits for a signal in progress: once this returns, the old event is never signalled again
    // and its owner may close it.
    std::lock_guard<std::mutex> guard(m_signalMutex);
    m_hSelfAnnounceEvent = event;
}

bool MDNSClient::GetSelfAnnounceResponses(CameraMap& cameras) {
    return GetResponses(SELF_ANNOUNCE_TRANS_ID, cameras);
}

void MDNSClient::WaitForDelay() {
    std::lock_guard<std::mutex> guard(m_delayMutex);
    JoinDelay(m_hDelayThread, m_ownsDelayThread);
}

void MDNSClient::StartWaitThread() {
    std::lock_guard<std::mutex> guard(m_delayMutex);
    JoinDelay(m_hDelayThread, m_ownsDelayThread);
    m_hDelayThread = AbsentIfNull(QX::StartThread(StartProc, this));
    m_ownsDelayThread = Present(m_hDelayThread);
}

DWORD QX_THREADAPI MDNSClient::StartProc(void*) {
    QX::SleepMs(DELAY_MS);
    return 0;
}

DWORD MDNSClient::StartProcImpl() {
    QX::SleepMs(DELAY_MS);
    return 0;
}

}  // namespace QXSDK
