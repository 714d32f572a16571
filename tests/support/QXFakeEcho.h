#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "qxnet/common/QXAddress.h"
#include "qxnet/net/QXReservedAddress.h"
#include "qxnet/platform/QXIcmp.h"

namespace QXTest {

// The echo facility while it lives: missing, or answering some addresses after silent requests.
class FakeEcho : public QX::IcmpBackend {
public:
    explicit FakeEcho(bool everyAddressAnswers = false)
        : everyAddressAnswers(everyAddressAnswers), m_previous(QX::IcmpBackend::Set(this)) {}
    ~FakeEcho() override { QX::IcmpBackend::Set(m_previous); }
    FakeEcho(const FakeEcho&) = delete;
    FakeEcho& operator=(const FakeEcho&) = delete;

    int Pings() {
        std::lock_guard<std::mutex> guard(mutex);
        return static_cast<int>(networkAddresses.size());
    }

    bool available = true;
    bool everyAddressAnswers;
    std::set<std::uint32_t> answering;
    int silentRequests = 0;
    std::mutex mutex;  // guards what follows: clients may ping from several threads
    std::vector<std::uint32_t> networkAddresses;
    std::vector<DWORD> timeouts;
    int binds = 0, releases = 0, creates = 0, closes = 0;

private:
    class Facility : public QX::EchoFacility {
    public:
        explicit Facility(FakeEcho& echo) : m_echo(echo) {}
        ~Facility() override { Release(); }
        bool Bind() override { return m_bound = Count(&FakeEcho::binds); }
        HANDLE Create() override {
            Count(&FakeEcho::creates);
            return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x1234));
        }
        DWORD SendEcho(HANDLE, std::uint32_t networkAddress, DWORD timeoutMs) override {
            std::lock_guard<std::mutex> guard(m_echo.mutex);
            m_echo.networkAddresses.push_back(networkAddress);
            m_echo.timeouts.push_back(timeoutMs);
            const bool answers = m_echo.everyAddressAnswers ||
                                 m_echo.answering.count(QX::SwapAddress(networkAddress)) != 0;
            const bool silenced = answers && m_echo.silentRequests > 0;
            m_echo.silentRequests -= silenced ? 1 : 0;
            return answers && !silenced ? QX::ECHO_STATUS_SUCCESS : QX::ECHO_STATUS_TIMED_OUT;
        }
        void Close(HANDLE) override { Count(&FakeEcho::closes); }
        void Release() override {
            if (m_bound) {
                Count(&FakeEcho::releases);
                m_bound = false;
            }
        }

    private:
        // Counts the call; returns whether the facility is available.
        bool Count(int FakeEcho::*counter) {
            std::lock_guard<std::mutex> guard(m_echo.mutex);
            ++(m_echo.*counter);
            return m_echo.available;
        }
        FakeEcho& m_echo;
        bool m_bound = false;
    };

    std::unique_ptr<QX::EchoFacility> CreateEchoFacility() override {
        return std::make_unique<Facility>(*this);
    }

    QX::IcmpBackend* m_previous;
};

}  // namespace QXTest
