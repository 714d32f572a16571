#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qxnet/QXExport.h"

namespace QXSDK {

// A DNS name: an ordered sequence of labels, each a byte string of any byte values. The empty
// sequence is the root name. A plain value type; no threads or locks are involved.
class QXNET_API DNSName {
public:
    // Appends one label.
    void AddLabel(const std::string& label);
    // Makes it the root name again; the label storage is kept for the next parse.
    void Clear() { m_labels.clear(); }

    // Appends the labels found at offset in buffer and returns how many bytes of buffer the name
    // occupies there (0 when offset is not inside buffer). message is the whole datagram, in which
    // compression pointers are resolved; buffer is the message itself or a copy of one record's
    // rdata. Never reads outside either vector; a cut-off name keeps the labels read so far. A
    // name keeps at most 255 bytes of wire form, pointers followed included: further labels are
    // left out.
    std::uint32_t ParseInit(const std::vector<std::uint8_t>& message,
                            const std::vector<std::uint8_t>& buffer, std::uint32_t offset);

    // Replaces out with the uncompressed wire form: length-prefixed labels and a zero byte.
    void Encode(std::vector<std::uint8_t>& out) const;

    // The labels joined by "."; the root name gives "".
    std::string ToString() const;

    // Kept for hosts: the library and its programs do not call it.
    const std::vector<std::string>& Labels() const { return m_labels; }

    bool operator==(const DNSName& other) const { return m_labels == other.m_labels; }

private:
    std::uint32_t ParseAt(const std::vector<std::uint8_t>& message,
                          const std::vector<std::uint8_t>& buffer, std::uint32_t offset,
                          unsigned pointerDepth, std::size_t& wireBytes);

    std::vector<std::string> m_labels;
};

}  // namespace QXSDK
