// ICMP on Windows: the echo functions of "IPHLPAPI.DLL" or else "ICMP.DLL", loaded at run time,
// and a Winsock raw ICMP socket for the raw ping.

#include "qxnet/platform/QXIcmp.h"

#include <atomic>
#include <string>

#include "qxnet/platform/win/QXIcmpEntries.h"

namespace QX {

namespace {

typedef HANDLE(WINAPI* IcmpCreateFileEntry)();
typedef BOOL(WINAPI* IcmpCloseHandleEntry)(HANDLE);

const HMODULE NO_LIBRARY = reinterpret_cast<HMODULE>(~static_cast<std::uintptr_t>(0));

std::atomic<IcmpSendEchoEntry> s_sendEntry{nullptr};

// The run-time binding of the echo functions; it lives for one ping.
class WindowsEchoFacility : public EchoFacility {
public:
    ~WindowsEchoFacility() override { Release(); }

    bool Bind() override {
        static const wchar_t* const candidates[] = {L"IPHLPAPI.DLL", L"ICMP.DLL"};
        for (const wchar_t* candidate : candidates) {
            HMODULE library = LoadLibraryW(candidate);
            if (library == nullptr) {
                // A library that cannot be loaded ends the search.
                m_failure = std::wstring(candidate) + L" cannot be loaded (error " +
                            std::to_wstring(GetLastError()) + L")";
                return false;
            }
            m_library = library;
            m_create = reinterpret_cast<IcmpCreateFileEntry>(
                reinterpret_cast<void*>(GetProcAddress(library, "IcmpCreateFile")));
            m_close = reinterpret_cast<IcmpCloseHandleEntry>(
                reinterpret_cast<void*>(GetProcAddress(library, "IcmpCloseHandle")));
            m_send = reinterpret_cast<IcmpSendEchoEntry>(
                reinterpret_cast<void*>(GetProcAddress(library, "IcmpSendEcho")));
            if (m_create != nullptr && m_close != nullptr && m_send != nullptr) {
                IcmpSendEchoEntry replacement = s_sendEntry.load();
                m_send = replacement != nullptr ? replacement : m_send;
                return true;
            }
            Release();
        }
        m_failure = L"no ICMP library has IcmpCreateFile, IcmpCloseHandle and IcmpSendEcho";
        return false;
    }

    HANDLE Create() override { return m_create != nullptr ? m_create() : INVALID_HANDLE_VALUE; }

    DWORD SendEcho(HANDLE echo, std::uint32_t networkAddress, DWORD timeoutMs) override {
        IP_OPTION_INFORMATION options{};
        options.Ttl = 255;
        // Exactly one reply record: the request carries no data.
        ICMP_ECHO_REPLY reply{};
        reply.Status = 0;
        if (m_send(echo, networkAddress, nullptr, 0, &options, &reply, sizeof reply, timeoutMs) !=
            0) {
            return reply.Status;
        }
        // No reply record was written: the cleared status says nothing. The call's error is an
        // IP status when the host did not answer (time-out, unreachable), else the call failed.
        DWORD error = GetLastError();
        if (IsEchoNoAnswer(error)) {
            return error;
        }
        m_failure = L"IcmpSendEcho failed (error " + std::to_wstring(error) + L")";
        return error != ECHO_STATUS_SUCCESS ? error : ERROR_GEN_FAILURE;
    }

    void Close(HANDLE echo) override {
        if (m_close != nullptr) {
            m_close(echo);
        }
    }

    void Release() override {
        if (m_library != NO_LIBRARY) {
            FreeLibrary(m_library);
        }
        m_library = NO_LIBRARY;
        m_create = nullptr;
        m_close = nullptr;
        m_send = nullptr;
    }

    std::wstring FailureReason() const override { return m_failure; }

private:
    IcmpCreateFileEntry m_create = nullptr;
    IcmpCloseHandleEntry m_close = nullptr;
    IcmpSendEchoEntry m_send = nullptr;
    HMODULE m_library = NO_LIBRARY;
    std::wstring m_failure;
};

}  // namespace

IcmpSendEchoEntry SetIcmpSendEchoEntry(IcmpSendEchoEntry entry) {
    return s_sendEntry.exchange(entry);
}

std::unique_ptr<EchoFacility> PlatformEchoFacility() {
    return std::make_unique<WindowsEchoFacility>();
}

SocketHandle PlatformRawIcmpHandle() {
    const SOCKET socket = ::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    return socket != INVALID_SOCKET ? static_cast<SocketHandle>(socket) : InvalidSocket;
}

}  // namespace QX
