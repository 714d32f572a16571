#include "qxnet/scan/QXCameraScanner.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <boost/make_shared.hpp>

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXException.h"
#include "qxnet/common/QXFormat.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/common/QXScopedLock.h"
#include "qxnet/common/QXTrace.h"
#include "qxnet/platform/QXNetInfo.h"
#include "qxnet/platform/QXSocket.h"
#include "qxnet/platform/QXSync.h"
#include "qxnet/scan/QXMDNSAnswerSet.h"
#include "qxnet/tftp/QXTFTPClient.h"

namespace QXSDK {

namespace {

constexpr std::uint32_t kMdnsGroup = 0xE00000FB;  // 224.0.0.251
constexpr std::uint16_t kMdnsPort = 5353;
constexpr DWORD kInterfaceFlagUp = 0x1;
constexpr DWORD kInterfaceFlagLoopback = 0x4;
// Room for this many interface records; hosts with more addresses are not scanned beyond them.
constexpr DWORD kMaxInterfaceRecords = 256;
// mDNS: a query is repeated until this many in a row bring no new camera, each answered until
// this long passes in silence. Unicast answers come at once; multicast ones within 120 ms.
constexpr int kMdnsQuietQueries = 2;
constexpr DWORD kMdnsQuietMs = 500;
// Waits are cut into slices of this length so that Stop is noticed.
constexpr std::uint32_t kSliceUs = 100000;
constexpr int kReceiveBytes = 9000;
// Broadcast receptions that fail in a row (other than time-outs) before the interface is given up
// for this round.
constexpr int kMaxReceiveFailures = 16;

// One interface of the scope: addresses and mask in host order.
struct ScopeEntry {
    std::wstring name;
    std::uint32_t address;
    std::uint32_t mask;
    std::uint32_t broadcast;
    std::uint32_t index;  // the platform's interface index; 0 unknown
};

bool InSubnet(const ScopeEntry& entry, std::uint32_t address) {
    return (address & entry.mask) == (entry.address & entry.mask);
}

// The broadcast client of one interface and round. It sends the request through Broadcast and
// collects the answers itself, one reception (at most 0.8 s) at a time, so that a stop is
// noticed between receptions and each camera is reported as soon as it answers.
class RoundBroadcaster : public TFTPClient {
public:
    RoundBroadcaster(std::uint32_t localAddress, int port)
        : TFTPClient(boost::make_shared<QX::CodeLock>(), localAddress, false, 1, 0, port) {}

    template <class OnAnswer>
    bool Collect(const std::atomic<bool>& stopping, OnAnswer onAnswer) {
        bool added = false;
        int failures = 0;
        TFTPPacket packet(0);
        while (!stopping) {
            const std::uint32_t result = static_cast<std::uint32_t>(Receive(&packet));
            if (result == QX::ResultCode::InvalidArgument || result == QX::ResultCode::TimedOut ||
                result == QX::ResultCode::Unavailable) {
                break;
            }
            if (result != 0) {
                if (++failures >= kMaxReceiveFailures) {
                    break;
                }
                continue;
            }
            failures = 0;
            if (packet.length >= CameraData::AnswerTagLength &&
                Tagged(packet.data, CameraData::AnswerTag)) {
                added =
                    onAnswer(CameraData(packet.data, static_cast<std::uint32_t>(packet.length))) ||
                    added;
            }
        }
        return added;
    }

private:
    static bool Tagged(const unsigned char* data, const char* tag) {
        for (int i = 0; i < CameraData::AnswerTagLength; ++i) {
            const auto lower = [](int c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
            if (lower(data[i]) != lower(static_cast<unsigned char>(tag[i]))) {
                return false;
            }
        }
        return true;
    }
};

// A socket of the platform layer, closed with its owner.
class OwnedSocket {
public:
    OwnedSocket() : m_socket(QX::SocketCreateUdp()) {}
    ~OwnedSocket() {
        if (m_socket != QX::InvalidSocket) {
            QX::SocketClose(m_socket);
        }
    }
    OwnedSocket(const OwnedSocket&) = delete;
    OwnedSocket& operator=(const OwnedSocket&) = delete;
    QX::SocketHandle Get() const { return m_socket; }

private:
    QX::SocketHandle m_socket;
};

std::wstring SocketFailure(const wchar_t* what) {
    wchar_t text[128];
    QX::Format(text, 127, L"%s failed: socket error %d", what, QX::SocketLastError());
    return text;
}

}  // namespace

struct CameraScanner::Impl {
    // A camera in a table, with what the table needs beyond the record.
    struct Entry {
        ScannedCamera camera;
        unsigned lastRound = 0;
        // Tick count at which its mDNS record runs out; 0 none.
        DWORD expires = 0;
        // Interfaces (by name) on which its address lies outside the subnet.
        std::set<std::wstring> outsideOn;
    };
    struct Table {
        std::map<std::uint64_t, Entry> entries;
        unsigned round = 0;
        bool living = false;
    };
    struct Listener {
        ScopeEntry entry;
        QX::SocketHandle socket = QX::InvalidSocket;
        std::atomic<bool> stop{false};
        std::thread thread;
    };

    explicit Impl(boost::shared_ptr<QX::CodeLock> codeLock) : lock(std::move(codeLock)) {}

    bool ResolveScope(std::vector<ScopeEntry>& scope, std::vector<Failure>& failures) const;
    void RunRound(Table& table, const std::vector<ScopeEntry>& scope,
                  std::vector<Failure>& failures);
    void BroadcastOn(Table& table, const ScopeEntry& entry, std::vector<Failure>& failures);
    void QueryOn(Table& table, const ScopeEntry& entry, std::vector<Failure>& failures);
    // Takes what an answer set holds into the table; true when a camera new to the caller's
    // seen set was among it.
    bool TakeAnswers(Table& table, const ScopeEntry& entry, MDNSAnswerSet& answers,
                     std::set<std::uint64_t>* seen);
    // Files a sighting (the caller holds the lock) and tells the callback.
    void Report(Table& table, const ScopeEntry& entry, const CameraData* broadcast,
                const MDNSCameraData* mdns, std::uint32_t ttl);
    void Forget(Table& table, std::uint64_t mac);
    void UpdateFlags(Table& table);
    void Tell(Change change, const ScannedCamera& camera) const;
    void AddFailure(std::vector<Failure>& failures, const ScopeEntry& entry, unsigned method,
                    std::wstring text);

    void Watch();
    void SyncListeners(const std::vector<ScopeEntry>& scope, std::vector<Failure>& failures);
    void Listen(Listener& listener);
    void StopListeners();

    boost::shared_ptr<QX::CodeLock> lock;
    std::vector<QX::NetInterface> interfaces;
    std::vector<std::wstring> names;
    bool loopback = false;
    unsigned methods = ScannedCamera::METHOD_BROADCAST | ScannedCamera::METHOD_MDNS;
    std::vector<std::uint8_t> request{DefaultRequest, DefaultRequest + std::strlen(DefaultRequest)};
    std::uint16_t port = DefaultPort;
    Callback callback = nullptr;
    void* context = nullptr;
    std::uint32_t intervalMs = DefaultIntervalMs;
    unsigned missedRounds = DefaultMissedRounds;

    std::atomic<bool> stopping{false};
    std::atomic<std::uint16_t> nextQueryId{1};
    // Under lock.
    std::vector<Failure> lastFailures;
    Table living;

    std::thread watchThread;
    std::mutex waitMutex;
    std::condition_variable waitWake;
    std::map<std::wstring, std::unique_ptr<Listener>> listeners;  // by name and address
};

bool CameraScanner::Impl::ResolveScope(std::vector<ScopeEntry>& scope,
                                       std::vector<Failure>& failures) const {
    scope.clear();
    std::vector<std::uint32_t> indexes;  // network-order address, index pairs
    DWORD size = 0;
    QX::NetInfoSource& source = QX::NetInfoSource::Current();
    if (source.GetIpAddrTable(nullptr, &size, false) == QX::NetInfoError::InsufficientBuffer &&
        size >= sizeof(MIB_IPADDRTABLE)) {
        std::vector<DWORD> storage(size / sizeof(DWORD) + 1);
        auto* table = reinterpret_cast<MIB_IPADDRTABLE*>(storage.data());
        if (source.GetIpAddrTable(table, &size, false) == QX::NetInfoError::Success) {
            for (DWORD i = 0; i < table->dwNumEntries; ++i) {
                indexes.push_back(table->table[i].dwAddr);
                indexes.push_back(table->table[i].dwIndex);
            }
        }
    }
    const auto indexOf = [&indexes](std::uint32_t hostOrder) -> std::uint32_t {
        for (std::size_t i = 0; i + 1 < indexes.size(); i += 2) {
            if (indexes[i] == QX::SwapAddress(hostOrder)) {
                return indexes[i + 1];
            }
        }
        return 0;
    };
    const auto add = [&](const std::wstring& name, std::uint32_t address, std::uint32_t mask,
                         std::uint32_t broadcast) {
        // A link without a broadcast address (loopback, say) gets the subnet's highest address.
        scope.push_back(ScopeEntry{name, address, mask,
                                   broadcast != 0 ? broadcast : address | ~mask, indexOf(address)});
    };
    if (!interfaces.empty()) {
        for (const QX::NetInterface& given : interfaces) {
            add(given.GetName(), QX::SwapAddress(given.GetAddress()),
                QX::SwapAddress(given.GetMask()), QX::SwapAddress(given.GetBroadcast()));
        }
        return true;
    }
    std::vector<INTERFACE_INFO> records(kMaxInterfaceRecords);
    DWORD returned = 0;
    std::vector<QX::AdapterAddresses> adapters;
    if (!source.GetInterfaceList(records.data(),
                                 static_cast<DWORD>(records.size() * sizeof(INTERFACE_INFO)),
                                 &returned) ||
        source.GetAdapterAddresses(0xFFFFFFFF, &adapters) != QX::NetInfoError::Success) {
        QX::Trace(L"CameraScanner::Scan(): cannot read the host's interfaces");
        failures.push_back(Failure{L"", 0, 0, L"cannot read the host's interfaces"});
        return false;
    }
    std::set<std::wstring> named;
    for (DWORD i = 0; i < returned / sizeof(INTERFACE_INFO); ++i) {
        const INTERFACE_INFO& record = records[i];
        const std::uint32_t network = record.iiAddress.AddressIn.sin_addr.s_addr;
        const std::uint32_t address = QX::SwapAddress(network);
        const bool isLoopback =
            (record.iiFlags & kInterfaceFlagLoopback) != 0 || QX::IsLoopbackAddress(address);
        if ((record.iiFlags & kInterfaceFlagUp) == 0 || address == 0) {
            continue;
        }
        std::wstring name;
        for (const QX::AdapterAddresses& adapter : adapters) {
            for (const QX::UnicastAddress& unicast : adapter.unicast) {
                if (unicast.family == QX::AddressFamilyInet && unicast.address == network &&
                    name.empty()) {
                    name = adapter.friendlyName;
                }
            }
        }
        const std::wstring dotted = QX::AddressToText(address);
        const auto isNamed = [this](const std::wstring& key) {
            return std::find(names.begin(), names.end(), key) != names.end();
        };
        const bool wanted =
            names.empty() ? (!isLoopback || loopback) : isNamed(name) || isNamed(dotted);
        if (wanted) {
            named.insert(name);
            named.insert(dotted);
            add(name, address, QX::SwapAddress(record.iiNetmask.AddressIn.sin_addr.s_addr),
                QX::SwapAddress(record.iiBroadcastAddress.AddressIn.sin_addr.s_addr));
        }
    }
    for (const std::wstring& name : names) {
        if (named.count(name) == 0) {
            QX::Trace(L"CameraScanner::Scan(): no IPv4 interface %s is up", name.c_str());
            failures.push_back(Failure{name, 0, 0, L"no such IPv4 interface up"});
        }
    }
    return true;
}

void CameraScanner::Impl::AddFailure(std::vector<Failure>& failures, const ScopeEntry& entry,
                                     unsigned method, std::wstring text) {
    // Exception texts end with a line feed; the record keeps one line.
    while (!text.empty() && (text.back() == L'\n' || text.back() == L' ')) {
        text.pop_back();
    }
    QX::Trace(L"CameraScanner: %s (%s) skipped for %s: %s", entry.name.c_str(),
              QX::AddressToText(entry.address).c_str(),
              method == ScannedCamera::METHOD_BROADCAST ? L"broadcast" : L"mDNS", text.c_str());
    QX::ScopedLock guard(lock);
    failures.push_back(Failure{entry.name, entry.address, method, text});
}

void CameraScanner::Impl::RunRound(Table& table, const std::vector<ScopeEntry>& scope,
                                   std::vector<Failure>& failures) {
    std::vector<std::thread> workers;
    for (const ScopeEntry& entry : scope) {
        if ((methods & ScannedCamera::METHOD_BROADCAST) != 0) {
            workers.emplace_back([&, entry] { BroadcastOn(table, entry, failures); });
        }
        if ((methods & ScannedCamera::METHOD_MDNS) != 0) {
            workers.emplace_back([&, entry] { QueryOn(table, entry, failures); });
        }
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
}

void CameraScanner::Impl::BroadcastOn(Table& table, const ScopeEntry& entry,
                                      std::vector<Failure>& failures) {
    RoundBroadcaster client(entry.address, port);
    std::set<std::uint64_t> seen;
    try {
        client.Open(entry.broadcast, port);
        int quiet = 0;
        while (quiet < TFTPClient::BroadcastQuietRequests && !stopping) {
            // Without a set Broadcast sends one request and returns; the answers are collected
            // here so that each is reported as it comes.
            client.Broadcast(request.data(), static_cast<std::uint32_t>(request.size()), nullptr);
            const bool added = client.Collect(stopping, [&](const CameraData& camera) {
                QX::ScopedLock guard(lock);
                Report(table, entry, &camera, nullptr, 0);
                return seen.insert(camera.MacNumber()).second;
            });
            quiet = added ? 1 : quiet + 1;
        }
    } catch (const QX::Exception& e) {
        AddFailure(failures, entry, ScannedCamera::METHOD_BROADCAST, e.text);
    }
}

void CameraScanner::Impl::QueryOn(Table& table, const ScopeEntry& entry,
                                  std::vector<Failure>& failures) {
    OwnedSocket socket;
    const std::uint32_t local = QX::SwapAddress(entry.address);
    if (socket.Get() == QX::InvalidSocket) {
        AddFailure(failures, entry, ScannedCamera::METHOD_MDNS, SocketFailure(L"socket"));
        return;
    }
    // Answers to a query from a port other than 5353 come by unicast to that port, so nothing
    // here competes with another mDNS stack bound to 5353.
    QX::SocketSetOption(socket.Get(), QX::SocketOption::MulticastTtl, 255);
    QX::SocketSetOption(socket.Get(), QX::SocketOption::MulticastLoop, 1);
    if (!QX::SocketBind(socket.Get(), QX::MakeSocketAddress(entry.address, 0))) {
        AddFailure(failures, entry, ScannedCamera::METHOD_MDNS, SocketFailure(L"bind"));
        return;
    }
    if (!QX::SocketSetMulticastInterface(socket.Get(), local)) {
        AddFailure(failures, entry, ScannedCamera::METHOD_MDNS,
                   SocketFailure(L"multicast interface"));
        return;
    }
    std::uint16_t id = nextQueryId++;
    if (id == 0) {
        id = nextQueryId++;
    }
    const std::vector<std::uint8_t> query = MDNSAnswerSet::ServiceQuery(id);
    const QX::SocketAddressV4 group = QX::MakeSocketAddress(kMdnsGroup, kMdnsPort);
    MDNSAnswerSet answers;
    std::set<std::uint64_t> seen;
    std::vector<std::uint8_t> buffer(kReceiveBytes);
    int quiet = 0;
    while (quiet < kMdnsQuietQueries && !stopping) {
        if (QX::SocketSendTo(socket.Get(), query.data(), static_cast<int>(query.size()), group) <
            0) {
            AddFailure(failures, entry, ScannedCamera::METHOD_MDNS, SocketFailure(L"send"));
            return;
        }
        bool added = false;
        DWORD silentSince = QX::TickCount();
        while (!stopping && QX::TickCount() - silentSince < kMdnsQuietMs) {
            const QX::SocketWait wait = QX::SocketWaitReadable(socket.Get(), kSliceUs);
            if (wait == QX::SocketWait::TimedOut) {
                continue;
            }
            if (wait != QX::SocketWait::Readable) {
                QX::SleepMs(kSliceUs / 1000);  // a failing wait must not spin
                continue;
            }
            QX::SocketAddressV4 from{};
            const int size =
                QX::SocketReceiveFrom(socket.Get(), buffer.data(), kReceiveBytes, &from);
            if (size <= 0 || size > kReceiveBytes) {
                continue;
            }
            silentSince = QX::TickCount();
            if (answers.Add(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + size), id)) {
                added = TakeAnswers(table, entry, answers, &seen) || added;
            }
        }
        quiet = added ? 1 : quiet + 1;
    }
}

bool CameraScanner::Impl::TakeAnswers(Table& table, const ScopeEntry& entry, MDNSAnswerSet& answers,
                                      std::set<std::uint64_t>* seen) {
    std::vector<MDNSAnswerSet::Camera> cameras;
    std::vector<std::uint64_t> goodbyes;
    answers.Take(cameras, goodbyes);
    bool added = false;
    QX::ScopedLock guard(lock);
    for (std::uint64_t mac : goodbyes) {
        Forget(table, mac);
    }
    for (const MDNSAnswerSet::Camera& camera : cameras) {
        Report(table, entry, nullptr, &camera.data, camera.ttl);
        added = (seen != nullptr && seen->insert(camera.data.m_mac).second) || added;
    }
    return added;
}

void CameraScanner::Impl::Report(Table& table, const ScopeEntry& entry, const CameraData* broadcast,
                                 const MDNSCameraData* mdns, std::uint32_t ttl) {
    const std::uint64_t mac = broadcast != nullptr ? broadcast->MacNumber() : mdns->m_mac;
    const auto found = table.entries.find(mac);
    const bool appeared = found == table.entries.end();
    Entry& stored = table.entries[mac];
    const ScannedCamera before = stored.camera;
    ScannedCamera& camera = stored.camera;
    camera.mac = mac;
    std::uint32_t address = 0;
    if (broadcast != nullptr) {
        camera.hasBroadcast = true;
        camera.broadcast = *broadcast;
        camera.methods |= ScannedCamera::METHOD_BROADCAST;
        address = broadcast->ip;
    } else {
        camera.hasMdns = true;
        camera.mdns = *mdns;
        camera.methods |= ScannedCamera::METHOD_MDNS;
        address = mdns->m_ip;
        stored.expires = ttl != 0 ? QX::TickCount() + ttl * 1000 : 0;
        if (stored.expires == 0 && ttl != 0) {
            stored.expires = 1;
        }
    }
    if (std::find(camera.interfaces.begin(), camera.interfaces.end(), entry.name) ==
        camera.interfaces.end()) {
        camera.interfaces.push_back(entry.name);
    }
    if (InSubnet(entry, address)) {
        stored.outsideOn.erase(entry.name);
    } else {
        stored.outsideOn.insert(entry.name);
    }
    camera.lastSeen = QX::TickCount();
    stored.lastRound = table.round;
    UpdateFlags(table);
    if (appeared) {
        Tell(CAMERA_APPEARED, camera);
    } else if (!camera.SameData(before)) {
        Tell(CAMERA_CHANGED, camera);
    }
}

void CameraScanner::Impl::Forget(Table& table, std::uint64_t mac) {
    const auto found = table.entries.find(mac);
    if (found == table.entries.end()) {
        return;
    }
    const ScannedCamera camera = found->second.camera;
    table.entries.erase(found);
    UpdateFlags(table);
    if (table.living) {
        Tell(CAMERA_GONE, camera);
    }
}

void CameraScanner::Impl::UpdateFlags(Table& table) {
    std::map<std::uint32_t, int> users;
    for (const auto& item : table.entries) {
        ++users[item.second.camera.Address()];
    }
    for (auto& item : table.entries) {
        Entry& entry = item.second;
        unsigned flags = 0;
        if (!entry.outsideOn.empty()) {
            flags |= ScannedCamera::FLAG_OUTSIDE_SUBNET;
        }
        if (users[entry.camera.Address()] > 1) {
            flags |= ScannedCamera::FLAG_ADDRESS_CONFLICT;
        }
        if (entry.camera.interfaces.size() > 1) {
            flags |= ScannedCamera::FLAG_SEVERAL_INTERFACES;
        }
        entry.camera.flags = flags;
    }
}

void CameraScanner::Impl::Tell(Change change, const ScannedCamera& camera) const {
    if (callback != nullptr) {
        callback(change, camera, context);
    }
}

void CameraScanner::Impl::Watch() {
    while (!stopping) {
        std::vector<ScopeEntry> scope;
        std::vector<Failure> failures;
        ResolveScope(scope, failures);
        SyncListeners(scope, failures);
        {
            QX::ScopedLock guard(lock);
            ++living.round;
        }
        RunRound(living, scope, failures);
        {
            QX::ScopedLock guard(lock);
            lastFailures = failures;
            const DWORD now = QX::TickCount();
            std::vector<std::uint64_t> gone;
            for (const auto& item : living.entries) {
                const Entry& entry = item.second;
                const bool missed = living.round - entry.lastRound >= missedRounds;
                // A record whose TTL ran out counts only when no method heard it this round.
                const bool expired = entry.expires != 0 && entry.lastRound != living.round &&
                                     static_cast<std::int32_t>(now - entry.expires) >= 0;
                if (!stopping && (missed || expired)) {
                    gone.push_back(item.first);
                }
            }
            for (std::uint64_t mac : gone) {
                Forget(living, mac);
            }
        }
        std::unique_lock<std::mutex> wait(waitMutex);
        waitWake.wait_for(wait, std::chrono::milliseconds(intervalMs),
                          [this] { return stopping.load(); });
    }
}

void CameraScanner::Impl::SyncListeners(const std::vector<ScopeEntry>& scope,
                                        std::vector<Failure>& failures) {
    std::set<std::wstring> keys;
    for (const ScopeEntry& entry : scope) {
        const std::wstring key = entry.name + L"/" + QX::AddressToText(entry.address);
        keys.insert(key);
        if (listeners.count(key) != 0) {
            continue;
        }
        auto listener = std::make_unique<Listener>();
        listener->entry = entry;
        const QX::SocketHandle socket = QX::SocketCreateUdp();
        const std::uint32_t local = QX::SwapAddress(entry.address);
        // The group's datagrams reach only sockets bound to the wildcard address, so the
        // listener binds it beside any other stack (address reuse) and keeps to its interface by
        // the arrival index.
        if (socket == QX::InvalidSocket ||
            !QX::SocketSetOption(socket, QX::SocketOption::ReuseAddress, 1) ||
            !QX::SocketSetOption(socket, QX::SocketOption::PacketInfo, 1) ||
            !QX::SocketBind(socket, QX::MakeSocketAddress(0, kMdnsPort)) ||
            !QX::SocketJoinGroup(socket, QX::SwapAddress(kMdnsGroup), local)) {
            const std::wstring text = SocketFailure(L"mDNS listener");
            if (socket != QX::InvalidSocket) {
                QX::SocketClose(socket);
            }
            // Tried again next round, and reported with that round's failures.
            AddFailure(failures, entry, ScannedCamera::METHOD_MDNS, text);
            continue;
        }
        listener->socket = socket;
        Listener& started = *listener;
        listeners[key] = std::move(listener);
        started.thread = std::thread([this, &started] { Listen(started); });
    }
    for (auto it = listeners.begin(); it != listeners.end();) {
        if (keys.count(it->first) != 0) {
            ++it;
            continue;
        }
        it->second->stop = true;
        it->second->thread.join();
        QX::SocketClose(it->second->socket);
        it = listeners.erase(it);
    }
}

void CameraScanner::Impl::Listen(Listener& listener) {
    MDNSAnswerSet answers;
    std::vector<std::uint8_t> buffer(kReceiveBytes);
    while (!listener.stop && !stopping) {
        const QX::SocketWait wait = QX::SocketWaitReadable(listener.socket, kSliceUs);
        if (wait == QX::SocketWait::TimedOut) {
            continue;
        }
        if (wait != QX::SocketWait::Readable) {
            QX::SleepMs(kSliceUs / 1000);
            continue;
        }
        QX::ReceivedDatagram received{};
        if (!QX::SocketReceiveWithInterface(listener.socket, buffer.data(), kReceiveBytes,
                                            &received) ||
            received.size <= 0 || received.size > kReceiveBytes) {
            continue;
        }
        if (listener.entry.index != 0 && received.interfaceIndex != 0 &&
            received.interfaceIndex != listener.entry.index) {
            continue;
        }
        if (answers.Add(
                std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + received.size))) {
            TakeAnswers(living, listener.entry, answers, nullptr);
        }
    }
}

void CameraScanner::Impl::StopListeners() {
    for (auto& item : listeners) {
        item.second->stop = true;
    }
    for (auto& item : listeners) {
        item.second->thread.join();
        QX::SocketClose(item.second->socket);
    }
    listeners.clear();
}

CameraScanner::CameraScanner(boost::shared_ptr<QX::CodeLock> lock)
    : m_impl(std::make_unique<Impl>(std::move(lock))) {}

CameraScanner::~CameraScanner() {
    Stop();
}

void CameraScanner::SetInterfaces(const std::vector<QX::NetInterface>& interfaces) {
    m_impl->interfaces = interfaces;
}

void CameraScanner::SetInterfaceNames(const std::vector<std::wstring>& names) {
    m_impl->names = names;
}

void CameraScanner::SetLoopback(bool include) {
    m_impl->loopback = include;
}

void CameraScanner::SetMethods(unsigned methods) {
    m_impl->methods = methods;
}

void CameraScanner::SetRequest(const std::vector<std::uint8_t>& request, std::uint16_t port) {
    m_impl->request = request;
    m_impl->port = port;
}

void CameraScanner::SetCallback(Callback callback, void* context) {
    m_impl->callback = callback;
    m_impl->context = context;
}

void CameraScanner::SetWatchTiming(std::uint32_t intervalMs, unsigned missedRounds) {
    m_impl->intervalMs = intervalMs;
    m_impl->missedRounds = missedRounds == 0 ? 1 : missedRounds;
}

int CameraScanner::Scan(std::vector<ScannedCamera>& cameras) {
    if (m_impl->watchThread.joinable()) {
        return static_cast<int>(QX::ResultCode::Unavailable);
    }
    std::vector<ScopeEntry> scope;
    std::vector<Failure> failures;
    m_impl->ResolveScope(scope, failures);
    Impl::Table table;
    table.round = 1;
    if (!scope.empty()) {
        m_impl->stopping = false;
        m_impl->RunRound(table, scope, failures);
    }
    QX::ScopedLock guard(m_impl->lock);
    m_impl->lastFailures = failures;
    cameras.clear();
    for (const auto& item : table.entries) {
        cameras.push_back(item.second.camera);
    }
    if (scope.empty()) {
        return static_cast<int>(QX::ResultCode::NoNetworkDevice);
    }
    const unsigned methodCount =
        ((m_impl->methods & ScannedCamera::METHOD_BROADCAST) != 0 ? 1 : 0) +
        ((m_impl->methods & ScannedCamera::METHOD_MDNS) != 0 ? 1 : 0);
    std::size_t interfaceFailures = 0;
    for (const Failure& failure : failures) {
        interfaceFailures += failure.method != 0 ? 1 : 0;
    }
    if (cameras.empty() && interfaceFailures >= scope.size() * methodCount) {
        return static_cast<int>(QX::ResultCode::Unavailable);
    }
    return cameras.empty() ? static_cast<int>(QX::ResultCode::ObjectNotFound) : 0;
}

std::vector<CameraScanner::Failure> CameraScanner::GetFailures() const {
    QX::ScopedLock guard(m_impl->lock);
    return m_impl->lastFailures;
}

int CameraScanner::Start() {
    if (m_impl->watchThread.joinable()) {
        return static_cast<int>(QX::ResultCode::Unavailable);
    }
    std::vector<ScopeEntry> scope;
    std::vector<Failure> failures;
    m_impl->ResolveScope(scope, failures);
    if (scope.empty()) {
        QX::ScopedLock guard(m_impl->lock);
        m_impl->lastFailures = failures;
        return static_cast<int>(QX::ResultCode::NoNetworkDevice);
    }
    {
        QX::ScopedLock guard(m_impl->lock);
        m_impl->living = Impl::Table();
        m_impl->living.living = true;
    }
    m_impl->stopping = false;
    m_impl->watchThread = std::thread([this] { m_impl->Watch(); });
    return 0;
}

void CameraScanner::Stop() {
    {
        std::lock_guard<std::mutex> wait(m_impl->waitMutex);
        m_impl->stopping = true;
    }
    m_impl->waitWake.notify_all();
    if (m_impl->watchThread.joinable()) {
        m_impl->watchThread.join();
    }
    m_impl->StopListeners();
}

std::vector<ScannedCamera> CameraScanner::GetCameras() const {
    QX::ScopedLock guard(m_impl->lock);
    std::vector<ScannedCamera> cameras;
    for (const auto& item : m_impl->living.entries) {
        cameras.push_back(item.second.camera);
    }
    return cameras;
}

}  // namespace QXSDK
