#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace QX {

// Reads big-endian integers and bytes from received data without ever leaving it: a read that
// would run past the end fails, leaves the position where it was and yields zeros. Every parser
// of network input goes through it.
class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size, std::size_t position = 0)
        : m_data(data), m_size(data != nullptr ? size : 0), m_position(position) {}
    explicit ByteReader(const std::vector<std::uint8_t>& data, std::size_t position = 0)
        : ByteReader(data.data(), data.size(), position) {}

    std::size_t Position() const { return m_position; }
    std::size_t Remaining() const { return m_position < m_size ? m_size - m_position : 0; }

    bool Skip(std::size_t count) {
        if (Remaining() < count) {
            return false;
        }
        m_position += count;
        return true;
    }
    bool ReadBytes(std::uint8_t* out, std::size_t count) {
        if (Remaining() < count) {
            for (std::size_t i = 0; i < count; ++i) {
                out[i] = 0;
            }
            return false;
        }
        for (std::size_t i = 0; i < count; ++i) {
            out[i] = m_data[m_position + i];
        }
        m_position += count;
        return true;
    }
    bool ReadU8(std::uint8_t& value) { return ReadBytes(&value, 1); }
    bool ReadU16(std::uint16_t& value) {
        std::uint8_t bytes[2];
        const bool read = ReadBytes(bytes, 2);
        value = static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
        return read;
    }
    bool ReadU32(std::uint32_t& value) {
        std::uint8_t bytes[4];
        const bool read = ReadBytes(bytes, 4);
        value = (static_cast<std::uint32_t>(bytes[0]) << 24) |
                (static_cast<std::uint32_t>(bytes[1]) << 16) |
                (static_cast<std::uint32_t>(bytes[2]) << 8) | bytes[3];
        return read;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_position;
};

}  // namespace QX
