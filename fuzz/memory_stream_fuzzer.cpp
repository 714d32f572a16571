// Runs arbitrary sequences of stream operations against a plain byte queue and traps on any
// difference, so both memory safety and the byte order are checked.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "qxnet/common/QXMemoryStream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QX::CMemoryStream stream;
    QX::CMemoryStream other;
    std::deque<std::uint8_t> model;
    std::vector<std::uint8_t> buffer;
    std::uint8_t next = 0;
    for (std::size_t i = 0; i + 2 < size; i += 3) {
        std::uint32_t amount = (static_cast<std::uint32_t>(data[i + 1]) << 8 | data[i + 2]) * 3u;
        switch (data[i] % 5) {
            case 0: {
                buffer.resize(amount);
                for (auto& b : buffer) {
                    b = next++;
                }
                int r = stream.Write(buffer.data(), amount);
                if (r != (amount == 0 ? -1 : static_cast<int>(amount))) {
                    __builtin_trap();
                }
                model.insert(model.end(), buffer.begin(), buffer.end());
                break;
            }
            case 1: {
                buffer.assign(amount + 1, 0);
                int r = stream.Read(buffer.data(), amount);
                std::uint32_t expect =
                    amount == 0 ? 0 : std::min<std::uint32_t>(amount, model.size());
                if (amount != 0 && r != static_cast<int>(expect)) {
                    __builtin_trap();
                }
                for (std::uint32_t k = 0; k < expect; ++k) {
                    if (buffer[k] != model.front()) {
                        __builtin_trap();
                    }
                    model.pop_front();
                }
                break;
            }
            case 2: {
                std::uint32_t skipped = stream.Skip(amount);
                std::uint32_t expect =
                    std::min<std::uint32_t>(amount == 0 ? model.size() : amount, model.size());
                if (skipped != expect) {
                    __builtin_trap();
                }
                model.erase(model.begin(), model.begin() + expect);
                break;
            }
            case 3: {
                int moved = stream.ReadTo(&other, amount);
                std::uint32_t expect = std::min<std::uint32_t>(amount, model.size());
                if (amount != 0 && moved != static_cast<int>(expect)) {
                    __builtin_trap();
                }
                if (amount != 0) {
                    model.erase(model.begin(), model.begin() + expect);
                }
                other.Clear();
                break;
            }
            default:
                stream.Clear();
                model.clear();
                break;
        }
        if (stream.GetSize() != model.size()) {
            __builtin_trap();
        }
    }
    return 0;
}
