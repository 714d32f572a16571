#include "qxnet/mdns/QXDNSName.h"

namespace QXSDK {

namespace {

// A compression pointer chain longer than this is taken to loop back into itself: the pointer
// that would exceed it is not followed, and the name keeps the labels gathered so far. Genuine
// messages chain a handful of pointers at most.
constexpr unsigned MAX_POINTER_DEPTH = 16;

// A genuine name is at most 255 bytes on the wire, however many pointers it crosses. Labels past
// that bound are not gathered and no further pointer is followed, so that owners pointing at long
// label runs cannot multiply the work of one datagram.
constexpr std::size_t MAX_NAME_BYTES = 255;

}  // namespace

void DNSName::AddLabel(const std::string& label) {
    m_labels.push_back(label);
}

std::uint32_t DNSName::ParseInit(const std::vector<std::uint8_t>& message,
                                 const std::vector<std::uint8_t>& buffer, std::uint32_t offset) {
    std::size_t wireBytes = 1;  // the terminating zero
    for (const std::string& label : m_labels) {
        wireBytes += 1 + label.size();
    }
    return ParseAt(message, buffer, offset, 0, wireBytes);
}

std::uint32_t DNSName::ParseAt(const std::vector<std::uint8_t>& message,
                               const std::vector<std::uint8_t>& buffer, std::uint32_t offset,
                               unsigned pointerDepth, std::size_t& wireBytes) {
    const std::size_t size = buffer.size();
    if (offset >= size) {
        return 0;
    }
    if (buffer[offset] == 0) {
        return 1;
    }
    std::size_t p = offset;
    while (p < size) {
        const std::uint8_t b = buffer[p];
        if ((b & 0xC0) == 0xC0) {
            // A pointer whose second byte lies past the end is not read: the name ends at the
            // buffer's end, and the byte counts as examined.
            if (p + 1 >= size) {
                return static_cast<std::uint32_t>(p - offset + 1);
            }
            const std::uint32_t target = ((b & 0x3Fu) << 8) | buffer[p + 1];
            if (pointerDepth < MAX_POINTER_DEPTH && wireBytes <= MAX_NAME_BYTES) {
                ParseAt(message, message, target, pointerDepth + 1, wireBytes);
            }
            return static_cast<std::uint32_t>(p - offset + 2);
        }
        // Length bytes 64 to 191 are read as plain lengths, as the cameras' firmware does.
        ++p;
        if (p + b >= size) {
            return static_cast<std::uint32_t>(p - offset);
        }
        if (wireBytes + 1 + b <= MAX_NAME_BYTES) {
            m_labels.emplace_back(reinterpret_cast<const char*>(&buffer[p]), b);
            wireBytes += 1 + b;
        } else {
            // Full: the name gathers nothing more. Where a pointer led here, its bytes do not
            // count, so the reading stops; in the buffer itself the rest is only measured, so
            // that the record's fields are still found after the name.
            wireBytes = MAX_NAME_BYTES + 1;
            if (pointerDepth > 0) {
                return 0;
            }
        }
        p += b;
        if (buffer[p] == 0) {
            return static_cast<std::uint32_t>(p - offset + 1);
        }
    }
    return static_cast<std::uint32_t>(p - offset);
}

void DNSName::Encode(std::vector<std::uint8_t>& out) const {
    out.clear();
    for (const std::string& label : m_labels) {
        // A length byte cannot say more than 255, so a longer label is cut there; the wire form
        // stays well formed. The names this library builds are far shorter.
        const std::size_t length = label.size() < 255 ? label.size() : 255;
        out.push_back(static_cast<std::uint8_t>(length));
        out.insert(out.end(), label.begin(), label.begin() + static_cast<std::ptrdiff_t>(length));
    }
    out.push_back(0);
}

std::string DNSName::ToString() const {
    std::size_t length = 0;
    for (const std::string& label : m_labels) {
        length += label.size() + 1;
    }
    std::string text;
    text.reserve(length);
    for (std::size_t i = 0; i < m_labels.size(); ++i) {
        if (i != 0) {
            text += '.';
        }
        text += m_labels[i];
    }
    return text;
}

}  // namespace QXSDK
