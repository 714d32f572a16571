#pragma once

// One packet of the cameras' TFTP dialect: a plain fixed-size value (no heap storage) that the
// client builds on the stack and copies into containers by value. Not exported: it is all inline.
// Not thread-safe; each packet belongs to one thread at a time.

#include <cstdint>
#include <cstring>

#include "qxnet/common/QXException.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/platform/QXSocket.h"

namespace QXSDK {

struct TFTPPacket {
    static constexpr int BlockSizes[2] = {1450, 2904};
    static constexpr const char* BlockSizeOptions[2] = {"1450", "2904"};
    // The 4 bytes above a block size are the header of a DATA packet (opcode, block number).
    static constexpr int HeaderSize = 4;
    static constexpr int MaxCapacity = 2908;

    static constexpr std::uint32_t OpRRQ = 1;
    static constexpr std::uint32_t OpWRQ = 2;
    static constexpr std::uint32_t OpDATA = 3;
    static constexpr std::uint32_t OpACK = 4;
    static constexpr std::uint32_t OpERROR = 5;
    static constexpr std::uint32_t OpOACK = 6;

    // The shortest packet that the client takes for an option acknowledgement, and where the
    // value of its first option stands.
    static constexpr int OackMinLength = 15;
    static constexpr int OackValueOffset = 10;

    explicit TFTPPacket(int sizeClass = 0) : data{}, length(0), sizeIndex(sizeClass), from{} {}

    // Block size of the packet's class + 4; a packet never holds this many bytes by appends.
    int Capacity() const { return BlockSizes[sizeIndex != 0 ? 1 : 0] + HeaderSize; }

    // The opcode in bytes 0-1, or 0 when the packet is shorter than that. OpcodeOf reads it
    // wherever a packet's bytes lie, such as in place in a received datagram.
    std::uint32_t Opcode() const { return OpcodeOf(data, length); }
    static std::uint32_t OpcodeOf(const unsigned char* bytes, int length) {
        return length >= 2 ? (static_cast<std::uint32_t>(bytes[0]) << 8) | bytes[1] : 0;
    }

    // Clears the packet for reuse: length 0, all data bytes zero; the class stays.
    void Clear() {
        std::memset(data, 0, sizeof(data));
        length = 0;
    }

    void AddByte(unsigned char byte) {
        Append(&byte, 1, L"TFTPPacket::AddByte(): Packet is not valid",
               L"TFTPPacket::AddByte(): Too much data", __LINE__);
    }

    // A negative count or a null source for a non-empty run is refused without touching the
    // packet: such a call is a caller's mistake, not an overflow.
    void AddMem(const void* bytes, int count) {
        if (count < 0 || (bytes == nullptr && count > 0)) {
            throw QX::Exception(L"TFTPPacket::AddMem(): Invalid argument",
                                QX::ResultCode::Unexpected, __LINE__, L"QXTFTPPacket");
        }
        Append(bytes, count, L"TFTPPacket::AddMem(): Packet is not valid",
               L"TFTPPacket::AddMem(): Too much data", __LINE__);
    }

    // Builds a read (1) or write (2) request: the low 16 bits of opcode, the name, "netascii",
    // and for a read request the block-size option of the packet's class. Revives an invalid
    // packet. Names that hold a 0 byte cannot be expressed; the name is written byte for byte.
    bool MakeRQ(std::uint32_t opcode, const char* fileName) {
        const std::size_t nameLength = fileName != nullptr ? std::strlen(fileName) : 0;
        const std::size_t limit = static_cast<std::size_t>(BlockSizes[sizeIndex != 0 ? 1 : 0]) - 22;
        if (nameLength == 0 || nameLength > limit) {
            throw QX::Exception(L"TFTPPAcket::MakeRQ(): Invalid argument",
                                QX::ResultCode::Unexpected, __LINE__, L"QXTFTPPacket");
        }
        Clear();
        AddByte(static_cast<unsigned char>(opcode >> 8));
        AddByte(static_cast<unsigned char>(opcode));
        AddMem(fileName, static_cast<int>(nameLength));
        AddByte(0);
        AddMem("netascii", 8);
        AddByte(0);
        if (opcode == OpRRQ) {
            AddMem("blksize", 7);
            AddByte(0);
            AddMem(BlockSizeOptions[sizeIndex != 0 ? 1 : 0], 4);
            AddByte(0);
        }
        return true;
    }

    // True when the packet is an option acknowledgement granting 2904 (compared without regard
    // to case), or, for any other packet, when it is of class 1.
    bool IsDoubleSize() const {
        if (length >= OackMinLength && Opcode() == OpOACK) {
            const char* grant = BlockSizeOptions[1];
            for (int i = 0; i < 4; ++i) {
                char c = static_cast<char>(data[OackValueOffset + i]);
                if (c >= 'A' && c <= 'Z') {
                    c = static_cast<char>(c - 'A' + 'a');
                }
                if (c != grant[i]) {
                    return false;
                }
            }
            return true;
        }
        return sizeIndex == 1;
    }

    // The size class an option acknowledgement grants: 0 for "1450", 1 for "2904", -1 for any
    // other value (or any other packet). The client receives only these two classes; a server
    // may grant a smaller size (RFC 2348), which it cannot take part in.
    int GrantedSizeClass() const {
        if (length < OackMinLength || Opcode() != OpOACK || data[OackValueOffset + 4] != 0) {
            return -1;
        }
        for (int sizeClass = 0; sizeClass < 2; ++sizeClass) {
            if (std::memcmp(data + OackValueOffset, BlockSizeOptions[sizeClass], 4) == 0) {
                return sizeClass;
            }
        }
        return -1;
    }

    unsigned char data[MaxCapacity];
    std::int32_t length;     // bytes in use; -1 marks an invalid packet
    std::int32_t sizeIndex;  // size class, 0 or 1
    QX::SocketAddressV4 from;

private:
    void Append(const void* bytes, int count, const wchar_t* notValid, const wchar_t* tooMuch,
                int line) {
        if (length == -1) {
            throw QX::Exception(notValid, QX::ResultCode::Unexpected, line, L"QXTFTPPacket");
        }
        if (static_cast<std::int64_t>(length) + count >= Capacity()) {
            length = -1;
            throw QX::Exception(tooMuch, QX::ResultCode::Unexpected, line, L"QXTFTPPacket");
        }
        if (count > 0) {
            std::memcpy(data + length, bytes, static_cast<std::size_t>(count));
        }
        length += count;
    }
};

}  // namespace QXSDK
