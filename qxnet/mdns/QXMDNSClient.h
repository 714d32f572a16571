#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "qxnet/QXExport.h"
#include "qxnet/mdns/QXDNSName.h"
#include "qxnet/mdns/QXDNSResourceRecord.h"
#include "qxnet/mdns/QXDNSRrdataA.h"
#include "qxnet/mdns/QXDNSRrdataSRV.h"
#include "qxnet/mdns/QXDNSRrdataTXT.h"
#include "qxnet/mdns/QXMDNSCameraData.h"
#include "qxnet/platform/QXCodeLock.h"
#include "qxnet/platform/QXSocket.h"
#include "qxnet/platform/QXWinTypes.h"

namespace QXSDK {

// What GetResponseType tells about a message; every message is an answer.
enum ResponseType { RESPONSE_TYPE_ANSWER = 2 };

// Multicast DNS with the cameras on one local IPv4 interface.
//
// Open binds UDP port 5353, joins 224.0.0.251 on the chosen interface and starts the socket
// thread. That thread reads every datagram, files its records under the message ID (the
// transaction ID) and, after each 150 ms without traffic, joins the filed records into camera
// records, signals the waiting callers (and the caller's self-announcement event) and sends the
// queued queries. The query operations queue a query, wait for its transaction ID's records and
// hand them to the caller as a map from MAC to MDNSCameraData.
//
// Threads and locks:
// - The caller's threads run every public operation; several may query one client at once (each
//   takes its own transaction ID). Queries block: up to 1500 ms per wait for answers, and up to
//   10 s while a delay thread (started by QueryKorvaneCamsUniMulti) runs. No lock is held while
//   they wait.
// - The socket thread takes the caller's CodeLock for the filing of one datagram, for one
//   translation and for one sending pass, never while waiting or signalling; no callback is ever
//   called. Open, Close and RegisterSelfAnnounceEvent take only the client's own guards, never
//   the CodeLock, so they do not wait for another client's transfer.
// - The delay thread only sleeps; it touches no member.
// - Clients that share one CodeLock are serialised in those sections.
//
// Copies: a copy takes the source's lock reference, records, queued queries, address and
// transaction ID, and the values of its socket, thread and event handles, but it does not own
// them: it never uses, waits on or closes them, whatever order the two are closed and destroyed
// in. Only the client that opened them closes them and stops its threads. A copy is a snapshot:
// until it is opened itself, its queries end after their wait with nothing found (false, traced),
// and Open gives it handles of its own.
//
//   QXSDK::MDNSClient client(lock, 0x7F000001);   // 127.0.0.1, host byte order
//   std::map<std::uint64_t, QXSDK::MDNSCameraData> cams;
//   if (client.Open() && client.QueryKorvaneCams(false, cams)) { ... }
class QXNET_API MDNSClient {
public:
    static constexpr std::uint16_t SELF_ANNOUNCE_TRANS_ID = 0;
    static constexpr std::uint16_t CLASS_IN_QM = 0x0001;
    static constexpr std::uint16_t CLASS_IN_QU = 0x8001;
    static constexpr std::uint16_t TYPE_A = 1, TYPE_PTR = 12, TYPE_TXT = 16, TYPE_SRV = 33;
    static constexpr std::uint16_t WAIT_FOR_READ_TIMEOUT = 150;

    typedef std::map<std::uint64_t, MDNSCameraData> CameraMap;

    // The records of one transaction, gathered until the next quiet period, each keyed by its
    // owner name's text.
    struct PendingRecords {
        std::map<std::string, DNSRrdataSRV> m_srv;
        std::map<std::string, DNSRrdataTXT> m_txt;
        std::map<std::string, DNSRrdataA> m_a;
    };

    explicit MDNSClient(boost::shared_ptr<QX::CodeLock> lock);
    // localAddr: the IPv4 address of the interface to use, host byte order; 0 lets Open choose
    // the first address of the host's name, which may be a real network: outside a test network
    // namespace give an address.
    MDNSClient(boost::shared_ptr<QX::CodeLock> lock, std::uint32_t localAddr);
    MDNSClient(const MDNSClient& other);
    MDNSClient& operator=(const MDNSClient& other);
    // Waits for the delay thread, stops and joins the socket thread, closes socket and event.
    ~MDNSClient();

    // False when no socket could be bound and joined on the interface (an address in 127/8 is
    // taken as the loopback interface's); the client then stays closed and may be opened again.
    bool Open();
    // Closes the socket and the event; the socket thread idles until destruction. Always true.
    // A query waiting meanwhile on another thread ends at once with nothing found.
    bool Close();
    // The local address, host byte order; after Open the one in use.
    // Kept for hosts: the library and its programs do not call it.
    std::uint32_t GetAddr() const;

    static DWORD QX_THREADAPI LaunchSocketThread(void* client);
    DWORD LaunchSocketThreadImpl();

    // Camera queries (caller's thread). The camera map is replaced whole when the result is true.
    // The bool argument has no effect.
    bool QueryKorvaneCams(bool unused, CameraMap& cameras);
    // A unicast-answer query first on a client's first pass (ID 1), then a multicast-answer
    // query; when the multicast query's ID is a multiple of 9 and found cameras, a further
    // unicast-answer query goes out and the next query starts 10 s later.
    // Kept for hosts: the library and its programs do not call it.
    bool QueryKorvaneCamsUniMulti(CameraMap& cameras);
    // Asks for the A record of the camera's host name; true when exactly one camera answered,
    // with its MAC (from its TXT record) and address (host byte order). A standard responder
    // answers by multicast with ID 0 and the A record alone: that answer counts too, with the
    // MAC that the camera's text would give (the kit's prefix and the name's three octets).
    bool QueryKorvaneMAC(std::uint64_t mac, std::uint64_t& foundMac, std::uint32_t& ipAddress);
    // The caller's event, signalled by the socket thread after each quiet period that brought
    // self-announcements; INVALID_HANDLE_VALUE turns signalling off. The caller owns the event
    // and keeps it open while it is registered; once another handle (or none) is registered, the
    // old one is not signalled any more and may be closed.
    // Kept for hosts: the library and its programs do not call it.
    void RegisterSelfAnnounceEvent(HANDLE event);
    bool GetSelfAnnounceResponses(CameraMap& cameras);
    // Sleeps 10 s; returns 0. Kept for the exported interface: the delay thread runs StartProc.
    DWORD StartProcImpl();

    // The host name queried for a MAC: "korv-QX" and its three low octets, then "local".
    static DNSName CameraHostName(std::uint64_t mac);
    // The service name "_korv._tcp.local".
    static DNSName ServiceName();

protected:
    bool QueryHost(std::uint16_t transId, std::uint16_t flags, std::uint16_t qdCount,
                   std::uint16_t anCount, std::uint16_t nsCount, std::uint16_t arCount,
                   std::uint16_t queryType, std::uint16_t queryClass, const DNSName& name);
    bool WaitForRead();
    bool SendQueries();
    bool GetRawResponse(std::vector<std::uint8_t>& response);
    // Part of the exported interface for derived classes; the client itself does not call it.
    ResponseType GetResponseType(const std::vector<std::uint8_t>& response);
    std::uint32_t ParseResponseHeader(const std::vector<std::uint8_t>& response,
                                      std::uint16_t& transId, std::uint16_t& flags,
                                      std::uint16_t& qdCount, std::uint16_t& anCount,
                                      std::uint16_t& nsCount, std::uint16_t& arCount);
    // Part of the exported interface for derived classes; the client itself does not call it.
    bool GetRRsFromResponse(const std::vector<std::uint8_t>& response,
                            std::vector<DNSResourceRecord>& records);
    bool AccumulateResponseData(const std::vector<std::uint8_t>& response);
    bool TranslateResponseData(std::uint32_t& selfAnnounceCount, std::uint32_t& queryResponseCount);
    std::uint16_t GetResponseTransID(const std::vector<std::uint8_t>& response);
    // Part of the exported interface for derived classes; the client itself does not call it.
    void IncTransID();
    bool GetLocalAddresses(std::vector<std::uint32_t>& addresses);

    bool GetResponses(std::uint16_t transId, CameraMap& cameras);
    bool GetResponseMACSpecific(std::uint16_t transId, std::uint64_t& foundMac,
                                std::uint32_t& ipAddress);
    void StartWaitThread();
    static DWORD QX_THREADAPI StartProc(void* unused);
    void WaitForDelay();

    // The caller holds the lock.
    bool TakeResults(std::uint16_t transId, CameraMap& cameras);
    // Returns the current transaction ID and advances it (0 skipped), in one atomic step.
    std::uint16_t TakeTransID();

    boost::shared_ptr<QX::CodeLock> m_lock;
    std::atomic<QX::SocketHandle> m_socket;
    QX::SocketAddressV4 m_destAddr;
    QX::SocketAddressV4 m_bindAddr;
    std::deque<std::vector<std::uint8_t>> m_sendQueue;
    std::map<std::uint16_t, PendingRecords> m_pending;
    std::map<std::uint16_t, CameraMap> m_results;
    std::uint32_t m_localAddr;
    std::atomic<std::uint16_t> m_transId;
    HANDLE m_hDelayThread;
    HANDLE m_hSocketThread;
    std::atomic<bool> m_running;
    std::atomic<HANDLE> m_hEventQueryResponseReceived;
    std::atomic<HANDLE> m_hSelfAnnounceEvent;
    // True in the client that opened the socket, event and socket thread, false in copies.
    std::atomic<bool> m_ownsHandles;

private:
    void CopyFrom(const MDNSClient& other);
    // Makes, binds and joins the socket; on any failure closes it again and gives InvalidSocket.
    QX::SocketHandle OpenSocket();
    // The socket and the query event if this client made them; absent in a copy, whose values
    // are its source's.
    QX::SocketHandle OwnSocket() const;
    HANDLE OwnQueryEvent() const;
    // Stops the threads and closes the handles that this client owns (the destructor's order).
    void Shutdown();
    bool JoinCameraData(const PendingRecords& pending, CameraMap& joined) const;
    // Reads the header and hands each whole record to onRecord, in message order (one record
    // object is reused for all); false when the message is no error-free response without
    // questions.
    bool ReadRecords(const std::vector<std::uint8_t>& response,
                     const std::function<void(const DNSResourceRecord&)>& onRecord);

    // Files an A record that arrived with ID 0 as the answer of the MAC query that asked for its
    // owner, if one waits. The caller holds the lock.
    void FileMacAnswer(const std::string& owner, const DNSRrdataA& a);

    // The MAC queries waiting for answers: the asked host name (lower case) to the query's
    // transaction ID and the MAC its camera text would give. Guarded by m_lock.
    std::map<std::string, std::pair<std::uint16_t, std::uint64_t>> m_macQueries;
    // Answers filed by FileMacAnswer since the last translation. Guarded by m_lock.
    std::uint32_t m_macAnswers = 0;

    // Index of the interface that holds m_localAddr; datagrams from elsewhere are dropped.
    std::atomic<std::uint32_t> m_interfaceIndex;
    // True in the client that started the delay thread, false in copies; a copied delay thread
    // handle is forgotten, not waited for, since its owner may close it at any time.
    bool m_ownsDelayThread;
    // Serialises the collection of the delay thread between querying threads, so that one
    // handle is waited for and closed by one of them only.
    std::mutex m_delayMutex;
    // Held while the socket thread signals the events, while Close closes the query event and
    // while RegisterSelfAnnounceEvent changes the caller's, so that no event is signalled after it
    // was closed or unregistered.
    std::mutex m_signalMutex;
    // Held around each use of the socket that Close could overlap: the receive, a sending pass
    // and the closing itself.
    std::mutex m_socketMutex;
};

}  // namespace QXSDK
