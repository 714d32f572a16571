#pragma once

// The TFTP client of the cameras' dialect and the broadcast discovery of cameras. One object
// serves one remote endpoint at a time (a camera's TFTP port, or a broadcast address).
//
// Threads and locks: every operation runs on the caller's thread and holds the caller's CodeLock
// for its whole duration (time-outs included), except UseDoublePackets and GetError, which take
// no lock, and the destructor, which holds it only around closing the socket. The BroadcastEx
// callback runs on the caller's thread while the lock is held. The ReadAsync callback runs on
// the object's receive thread without the lock; that thread takes the lock only inside each
// single send and receive.

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "qxnet/QXExport.h"
#include "qxnet/common/QXStream.h"
#include "qxnet/platform/QXCodeLock.h"
#include "qxnet/platform/QXSocket.h"
#include "qxnet/platform/QXWinTypes.h"
#include "qxnet/tftp/QXCameraData.h"
#include "qxnet/tftp/QXTFTPPacket.h"

namespace QXSDK {

class QXNET_API TFTPClient {
public:
    // BroadcastEx: called with the client's local address (host order), one tagged answer (valid
    // only during the call), its length and the context. MoreData (0xF000000D) asks for another
    // request; any other value ends the search after the current request's answers.
    typedef int (*BroadcastCallback)(std::uint32_t localAddress, unsigned char* answer,
                                     std::uint32_t length, void* context);
    // ReadAsync: on success the stream, the buffer and the bytes stored in the buffer; on any
    // failure null, null and TimedOut (0xF0000007).
    typedef void (*ReadCallback)(IStream* stream, unsigned char* buffer, std::uint32_t value,
                                 void* context);

    // Progress of a file collection: the blocks and the payload bytes gathered so far (repeats
    // not counted). Called after each datagram that brought a new block, on the thread that runs
    // the read: the caller's during Read (the CodeLock is then held), the receive thread during
    // ReadAsync (no lock held). It must return quickly and must not call into this client.
    typedef void (*ProgressCallback)(std::uint32_t blocks, std::uint64_t bytes, void* context);

    static constexpr int NameSize = 32;
    static constexpr int ErrorSize = 1024;
    // select() time-outs of the two receptions, in microseconds.
    static constexpr std::uint32_t ReceiveTimeoutUs = 800000;
    static constexpr std::uint32_t BatchTimeoutUs = 250000;
    // One datagram of file data is received whole into this many bytes.
    static constexpr int BatchDatagramSize = 8192;
    // A discovery request is sent until this many requests in a row bring no new camera.
    static constexpr int BroadcastQuietRequests = 3;
    static constexpr int BroadcastExRequests = 2;

    // reserved is kept with the settings and carried by copies; no operation uses it.
    TFTPClient(boost::shared_ptr<QX::CodeLock> lock, std::uint32_t localAddress,
               bool useDoublePackets, int retries, int reserved, int port);
    // A closed client with the source's lock and settings, and events of its own.
    TFTPClient(const TFTPClient& other);
    TFTPClient& operator=(const TFTPClient& other);
    virtual ~TFTPClient();

    // Starts the platform's socket layer; true when that FAILED, false on success.
    static bool Startup();
    static void Cleanup();

    // address is host order. Throw QX::Exception on failure (the socket is then closed).
    void Open(std::uint32_t address, int port);
    // Kept for hosts: the library and its programs do not call it.
    void Reset(std::uint32_t address, int port);
    void Close();

    bool UseDoublePackets() const { return useDoublePackets; }
    void UseDoublePackets(bool use) { useDoublePackets = use; }

    // The last error text; stays valid while the object lives.
    const wchar_t* GetError() const { return error; }

    // File transfer.
    int Read(const char* fileName, IStream* stream, unsigned char* buffer, std::uint32_t* length,
             SYSTEMTIME* time);
    void Write(const char* fileName);
    // Sends the read request and returns; the receive thread (started by the first call, ended
    // by the destructor) collects the file and calls callback on that thread, with no lock held.
    // The callback may call operations of this client (a next ReadAsync included) but must not
    // destroy it: the destructor waits for the receive thread. A ReadAsync while the previous one
    // has not reached its callback returns Unavailable (0xF000000E); a receive thread that cannot
    // be started, Unexpected (0xF0000003). Throws when the client is not open.
    int ReadAsync(const char* fileName, IStream* stream, unsigned char* buffer,
                  std::uint32_t* length, ReadCallback callback, void* context);
    // Installs (or, with null, removes) the progress callback; set it while no read runs.
    void SetProgressCallback(ProgressCallback callback, void* context);

    // Discovery. cameras and callback may be null: one request is then sent and nothing awaited.
    int Broadcast(const unsigned char* request, std::uint32_t length,
                  std::set<CameraData>* cameras);
    // Kept for hosts: the library and its programs do not call it.
    int BroadcastEx(const unsigned char* request, std::uint32_t length, BroadcastCallback callback,
                    void* context);

protected:
    int Send(TFTPPacket* packet);
    int Receive(TFTPPacket* packet);
    int Receive(std::vector<TFTPPacket>& packets, int maxLength);
    void ClearError();
    void SetError(const wchar_t* format, ...);

    int WaitForOpAck();
    int WaitForAck(int block);
    int SendAck(int block);
    int WaitForData(std::vector<TFTPPacket>& packets, int pieceLength);
    int ReadResponse(IStream* stream, unsigned char* buffer, std::uint32_t* length);
    // Part of the exported interface for derived classes; the client itself does not call it.
    bool AllPacketsExist(const std::map<int, TFTPPacket>& blocks);

    void BeginReceive();
    static DWORD QX_THREADAPI ReceiveProc(void* client);
    DWORD ReceiveProc();

    bool GetBroadcastResponse(std::set<CameraData>* cameras);
    int GetBroadcastResponseEx(BroadcastCallback callback, void* context);

    QX::SocketHandle socket;
    QX::SocketAddressV4 remote;
    int port;
    int retries;
    int reserved;
    // Read by the caller's thread while the receive thread may apply a camera's grant.
    std::atomic<bool> useDoublePackets;
    std::uint32_t localAddress;  // host order; 0: no bind
    boost::shared_ptr<QX::CodeLock> lock;
    HANDLE receiveThread;
    HANDLE beginEvent;  // auto-reset: one signal, one receive cycle
    HANDLE stopEvent;   // manual-reset: set once by the destructor
    IStream* asyncStream;
    unsigned char* asyncBuffer;
    std::uint32_t* asyncLength;
    void* asyncContext;
    ReadCallback asyncCallback;
    wchar_t name[NameSize];
    wchar_t error[ErrorSize];
    ProgressCallback progressCallback = nullptr;
    void* progressContext = nullptr;
    // Set by ReadAsync, cleared by the receive thread when the cycle ends (before its callback).
    std::atomic<bool> asyncRunning{false};

private:
    bool FromCamera(const QX::SocketAddressV4& sender) const;
    // Sends bytes to the remote address with Send's retries and error texts.
    int SendBytes(const unsigned char* data, int length);
    // The receptions with the time-out given: the waits pass what is left of their window.
    int ReceiveDatagram(TFTPPacket* packet, std::uint32_t timeoutUs);
    // Receives one datagram whole into datagram (BatchDatagramSize bytes), for cutting into
    // pieces of maxLength bytes: its size is above the buffer's when it did not fit.
    int ReceiveDataDatagram(unsigned char* datagram, int maxLength, std::uint32_t timeoutUs,
                            QX::SocketAddressV4* sender, int* size);
    // Calls visit(bytes, length) for each piece of pieceLength bytes of a datagram of size bytes
    // (the last may be shorter); a datagram that did not fit its buffer is one piece of length
    // -1, so that it is never cut into pieces that would pass for whole ones.
    template <typename Visit>
    static void ForEachPiece(const unsigned char* datagram, int size, int pieceLength,
                             Visit visit) {
        if (size > BatchDatagramSize) {
            visit(datagram, -1);
            return;
        }
        for (int offset = 0; offset < size; offset += pieceLength) {
            visit(datagram + offset, size - offset < pieceLength ? size - offset : pieceLength);
        }
    }
    // Replaces packets with the pieces of the datagram a reception left, as the batch receptions
    // give them; a reception that failed (result not 0) leaves none, and its result is returned.
    int CutIntoPackets(int result, const unsigned char* datagram, int size, int pieceLength,
                       const QX::SocketAddressV4& sender, std::vector<TFTPPacket>& packets) const;
    // Waits for the camera's next datagram of file data as WaitForData does, leaving it whole
    // in datagram, so that its blocks are read where they lie.
    int WaitForDataDatagram(unsigned char* datagram, int pieceLength, QX::SocketAddressV4* sender,
                            int* size);
    int ReceiveFromCamera(TFTPPacket* packet, DWORD* quietSince);
    // Answers an option acknowledgement that cannot be taken with an ERROR packet.
    void RefuseOptions();
    // Receives from the camera until accept gives a result for a packet or an ERROR packet
    // comes (filed under operation); the packets accept passes over (nullopt) are dropped.
    template <typename Accept>
    int WaitForReply(const wchar_t* operation, Accept accept);
    // Files the ERROR packet's text as "<name>::<operation>(): Error packet received <...>".
    int ErrorPacketReceived(const unsigned char* packet, int length, const wchar_t* operation);
    void InitState();
    void CloseSocket();
    int WaitForDatagram(std::uint32_t timeoutUs);
    int ReceiveFailed();
    // Raises the receive buffer for a burst of answers and has receptions count the drops.
    void PrepareBroadcastReception();
    // Traces the answers the system dropped since dropsBefore, once per collection.
    void TraceDroppedAnswers(std::uint32_t dropsBefore, const wchar_t* operation);

    // The socket's drop count as the latest reception told it (0 for a new socket).
    std::uint32_t systemDrops = 0;
};

}  // namespace QXSDK
