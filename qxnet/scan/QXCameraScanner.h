#pragma once

// The cameras on every network of the host, found by both discovery methods and kept as one
// list by MAC.
//
// Scope: every IPv4 interface that is up, or the interfaces the caller names or gives; loopback
// only when asked for or named. On each interface the scanner sends the caller's discovery
// request (default "qx-discover" to port 10069) to the interface's directed broadcast address,
// and asks by mDNS for the cameras' service with one-shot queries from an ephemeral port, which
// standard responders answer by unicast to that port with the query's ID; so the search works
// while another mDNS stack on the host holds port 5353. Each method may be turned off.
//
// Scan: both methods on all interfaces at once, each on a thread of its own; it returns when
// every method has gone through its quiet periods (broadcast: a request is repeated until three
// in a row bring no new camera, each answered until 0.8 s pass in silence; mDNS: a query is
// repeated until two in a row bring no new camera, each answered until 0.5 s pass in silence).
// A scan of many interfaces thus takes about as long as a scan of one.
//
// Watching (Start/Stop): a scan round every interval, and an mDNS listener on each interface
// for the cameras' own announcements. A camera is reported gone when it was not heard in
// MissedRounds rounds in a row (default 2), when its mDNS record's TTL ran out without it being
// heard again, or at once when it says goodbye (an mDNS record with TTL 0). The interfaces are
// read again each round, so a link that goes down leaves the scope and its cameras go silent.
//
// Failures: an interface whose socket cannot be set up is skipped for that method, traced, and
// reported in GetFailures; the others are scanned. A scope without any interface is an error
// (ResultCode::NoNetworkDevice), not an empty success.
//
// Threads and locks: the callback runs on one of the scanner's worker threads (a round's
// broadcast or mDNS thread, or a listener thread), never on the caller's, while the scanner
// holds the caller's CodeLock (the lock given to the constructor); calls are therefore
// serialised and see the list in a consistent state. The callback may read the scanner
// (GetCameras) but must not call Scan, Start or Stop, nor wait for a thread that needs the
// lock. The settings are changed only while no scan or watch runs. Stop (and the destructor)
// ends every thread and closes every socket the scanner made within about one second.
//
//   QXSDK::CameraScanner scanner(boost::make_shared<QX::CodeLock>());
//   scanner.SetInterfaceNames({L"lo"});       // loopback only
//   std::vector<QXSDK::ScannedCamera> cameras;
//   if (scanner.Scan(cameras) == 0) { ... }

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "qxnet/QXExport.h"
#include "qxnet/net/QXNetInterface.h"
#include "qxnet/platform/QXCodeLock.h"
#include "qxnet/scan/QXScannedCamera.h"

namespace QXSDK {

class QXNET_API CameraScanner {
public:
    enum Change { CAMERA_APPEARED, CAMERA_CHANGED, CAMERA_GONE };
    // A camera first seen (in this scan, or in the living list while watching), changed (its
    // address or data), or gone (watching only). The record is valid during the call.
    typedef void (*Callback)(Change change, const ScannedCamera& camera, void* context);

    // An interface (or method on an interface) that could not be used.
    struct Failure {
        std::wstring interfaceName;
        std::uint32_t address;  // host order; 0 when the name matched no interface
        unsigned method;        // ScannedCamera::METHOD_*, or 0 for the interface itself
        std::wstring text;
    };

    static constexpr std::uint16_t DefaultPort = 10069;
    static constexpr const char* DefaultRequest = "qx-discover";
    static constexpr std::uint32_t DefaultIntervalMs = 5000;
    static constexpr unsigned DefaultMissedRounds = 2;

    explicit CameraScanner(boost::shared_ptr<QX::CodeLock> lock);
    // Stops watching.
    ~CameraScanner();
    CameraScanner(const CameraScanner&) = delete;
    CameraScanner& operator=(const CameraScanner&) = delete;

    // Scope. Interfaces given here are used as they are (the host is not asked); an empty list
    // (the default) means the host's interfaces that are up, narrowed by the names below.
    // Kept for hosts: the library and its programs do not call it.
    void SetInterfaces(const std::vector<QX::NetInterface>& interfaces);
    // Only the host's interfaces with these names or dotted addresses (loopback too when named);
    // empty: all.
    void SetInterfaceNames(const std::vector<std::wstring>& names);
    // Adds loopback (127.0.0.1) to an unnamed scope.
    void SetLoopback(bool include);
    // ScannedCamera::METHOD_BROADCAST and/or METHOD_MDNS; both by default.
    void SetMethods(unsigned methods);
    // The discovery request's bytes (sent unchanged) and the cameras' port.
    void SetRequest(const std::vector<std::uint8_t>& request, std::uint16_t port);
    void SetCallback(Callback callback, void* context);
    void SetWatchTiming(std::uint32_t intervalMs, unsigned missedRounds);

    // One scan. cameras is replaced by one record per MAC. 0 when cameras were found,
    // ResultCode::ObjectNotFound when none answered, ResultCode::NoNetworkDevice when the scope
    // holds no interface, ResultCode::Unavailable when no socket could be set up on any
    // interface or a watch is running.
    int Scan(std::vector<ScannedCamera>& cameras);
    // What could not be used in the last scan or watch round.
    std::vector<Failure> GetFailures() const;

    // Starts watching; 0, ResultCode::NoNetworkDevice (nothing to watch), or
    // ResultCode::Unavailable when already watching.
    int Start();
    // Ends watching: every thread and socket within about one second. Safe to call twice.
    void Stop();
    // The living list while (or after) watching.
    // Kept for hosts: the library and its programs do not call it.
    std::vector<ScannedCamera> GetCameras() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace QXSDK
