#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace QXSDK {

// Reads big-endian integers from a byte vector without ever leaving it: a read that would run
// past the end fails, leaves the position where it was and yields 0. Every parser of received
// DNS data goes through it.
class DNSReader {
public:
    DNSReader(const std::vector<std::uint8_t>& data, std::size_t position)
        : m_data(data), m_position(position) {}

    std::size_t Position() const { return m_position; }
    std::size_t Remaining() const {
        return m_position < m_data.size() ? m_data.size() - m_position : 0;
    }
    bool Skip(std::size_t count) {
        if (Remaining() < count) {
            return false;
        }
        m_position += count;
        return true;
    }
    bool ReadU16(std::uint16_t& value) {
        value = 0;
        if (Remaining() < 2) {
            return false;
        }
        value = static_cast<std::uint16_t>((m_data[m_position] << 8) | m_data[m_position + 1]);
        m_position += 2;
        return true;
    }
    bool ReadU32(std::uint32_t& value) {
        value = 0;
        std::uint16_t high = 0;
        std::uint16_t low = 0;
        if (Remaining() < 4 || !ReadU16(high) || !ReadU16(low)) {
            return false;
        }
        value = (static_cast<std::uint32_t>(high) << 16) | low;
        return true;
    }

private:
    const std::vector<std::uint8_t>& m_data;
    std::size_t m_position;
};

}  // namespace QXSDK
