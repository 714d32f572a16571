#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "qxnet/platform/QXNetInfo.h"

namespace QXTest {

// Network information in the Windows shapes, which a test can make fail, overflow or grow.
class FakeNetInfo : public QX::NetInfoSource {
public:
    FakeNetInfo() : m_previous(QX::NetInfoSource::Set(this)) {}
    ~FakeNetInfo() override { QX::NetInfoSource::Set(m_previous); }
    FakeNetInfo(const FakeNetInfo&) = delete;
    FakeNetInfo& operator=(const FakeNetInfo&) = delete;

    // Network-order value of a dotted address given as four octets.
    static std::uint32_t Net(int a, int b, int c, int d) {
        return static_cast<std::uint32_t>(a) | (static_cast<std::uint32_t>(b) << 8) |
               (static_cast<std::uint32_t>(c) << 16) | (static_cast<std::uint32_t>(d) << 24);
    }

    void AddRecord(std::uint32_t address, std::uint32_t broadcast, std::uint32_t mask) {
        INTERFACE_INFO record{};
        record.iiAddress.AddressIn.sin_family = 2;
        record.iiAddress.AddressIn.sin_addr.s_addr = address;
        record.iiBroadcastAddress.AddressIn.sin_addr.s_addr = broadcast;
        record.iiNetmask.AddressIn.sin_addr.s_addr = mask;
        records.push_back(record);
    }

    bool GetInterfaceList(INTERFACE_INFO* out, DWORD bufferBytes, DWORD* bytesReturned) override {
        offeredInterfaceBytes = bufferBytes;
        const std::size_t count = std::min(records.size(), bufferBytes / sizeof(INTERFACE_INFO));
        std::copy_n(records.begin(), count, out);
        *bytesReturned = static_cast<DWORD>(count * sizeof(INTERFACE_INFO));
        return interfaceListWorks;
    }

    DWORD GetAdapterAddresses(DWORD bufferBytes, std::vector<QX::AdapterAddresses>* out) override {
        offeredAdapterBytes = bufferBytes;
        if (adapterAnswer == QX::NetInfoError::Success && adapterBytesNeeded > bufferBytes) {
            return QX::NetInfoError::BufferOverflow;
        }
        *out = adapters;
        return adapterAnswer;
    }

    // The table's rows, which gain growBy more after the size query when the test asks for it.
    template <typename Table, typename Row>
    DWORD Serve(DWORD answer, const std::vector<Row>& rows, Table* table, DWORD* size, int* calls,
                int growBy, bool sort) {
        sortAsked = sortAsked || sort;
        if (answer != QX::NetInfoError::Success) {
            return answer;
        }
        ++*calls;
        std::vector<Row> served = rows;
        if (*calls > 1) {
            for (int i = 0; i < growBy; ++i) {
                served.push_back(rows.empty() ? Row{} : rows.back());
            }
        }
        DWORD needed = static_cast<DWORD>(sizeof(DWORD) + served.size() * sizeof(Row));
        if (table == nullptr || *size < needed) {
            *size = needed;
            return QX::NetInfoError::InsufficientBuffer;
        }
        table->dwNumEntries = static_cast<DWORD>(served.size());
        if (!served.empty()) {
            std::memcpy(table->table, served.data(), served.size() * sizeof(Row));
        }
        return QX::NetInfoError::Success;
    }

    DWORD GetIpAddrTable(MIB_IPADDRTABLE* table, DWORD* size, bool sort) override {
        return Serve(addrTableAnswer, addrRows, table, size, &addrCalls, addrGrowth, sort);
    }
    DWORD GetIpNetTable(MIB_IPNETTABLE* table, DWORD* size, bool sort) override {
        return Serve(netTableAnswer, netRows, table, size, &netCalls, netGrowth, sort);
    }

    DWORD GetAdaptersInfo(std::vector<QX::AdapterInfo>*, DWORD*) override {
        return QX::NetInfoError::NotSupported;
    }
    DWORD FlushIpNetTable(DWORD) override { return QX::NetInfoError::NotSupported; }

    bool ResolveLocalHost(std::vector<std::uint32_t>* out) override {
        *out = resolves ? resolved : std::vector<std::uint32_t>{};
        return resolves;
    }

    std::vector<INTERFACE_INFO> records;
    bool interfaceListWorks = true;
    DWORD offeredInterfaceBytes = 0;

    std::vector<QX::AdapterAddresses> adapters;
    DWORD adapterAnswer = QX::NetInfoError::Success;
    DWORD adapterBytesNeeded = 0;
    DWORD offeredAdapterBytes = 0;

    std::vector<MIB_IPADDRROW> addrRows;
    DWORD addrTableAnswer = QX::NetInfoError::Success;
    int addrCalls = 0;
    int addrGrowth = 0;

    std::vector<MIB_IPNETROW> netRows;
    DWORD netTableAnswer = QX::NetInfoError::Success;
    int netCalls = 0;
    int netGrowth = 0;
    bool sortAsked = false;

    std::vector<std::uint32_t> resolved;
    bool resolves = true;

private:
    QX::NetInfoSource* m_previous;
};

}  // namespace QXTest
