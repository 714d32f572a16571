// Drives the wide formatter two ways.
//
// 1. Arbitrary formats and bounds. Arguments are fixed and safe for every conversion the
//    formatter reads (a string pointer is valid whatever the conversion takes), so any finding
//    is the formatter's own.
// 2. The same bytes read as conversions (flags, width, precision, length, conversion, value) in
//    the cases where C defines the result, each formatted with the argument type it names and
//    compared with snprintf. The length is mapped to C's for the same size: "long" (l, and I32)
//    is 32 bits, I64 is long long, I is size_t.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "qxnet/common/QXFormat.h"

namespace {

const wchar_t kWide[] = L"wide";
// Zero-padded so that read as wide text it still ends inside the array.
const char kNarrow[] = "narrow\0\0\0\0\0";

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

void ArbitraryFormat(const std::uint8_t* data, std::size_t size) {
    std::size_t bound = data[0] * 4u;
    std::vector<wchar_t> format;
    int conversions = 0;
    for (std::size_t i = 1; i < size; ++i) {
        // '*' would read an int where the argument list has a pointer; keep the list consistent.
        wchar_t c = static_cast<wchar_t>(data[i]);
        if (c == L'%' && ++conversions > 8) {
            break;  // no more conversions than arguments
        }
        format.push_back(c == L'*' ? L'.' : c);
    }
    format.push_back(L'\0');
    std::vector<wchar_t> out(bound + 1, L'#');
    // Every argument slot holds a pointer to text that is valid read as wide or as 8-bit text.
    const void* args[8] = {kWide, kNarrow, kWide, kNarrow, kWide, kNarrow, kWide, kNarrow};
    std::size_t written = QX::Format(out.data(), bound, format.data(), args[0], args[1], args[2],
                                     args[3], args[4], args[5], args[6], args[7]);
    Check(written <= bound && out[written] == L'\0');
}

struct Length {
    const char* mine;
    const char* c;
};
// The argument type each length takes, in the order of kLengths.
enum class Arg { Int, Char, Short, LongLong, Size };
const Length kLengths[] = {{"", ""},   {"l", ""},    {"I32", ""},   {"w", ""},  {"hh", "hh"},
                           {"h", "h"}, {"ll", "ll"}, {"I64", "ll"}, {"I", "z"}, {"z", "z"}};
const Arg kArgs[] = {Arg::Int,   Arg::Int,      Arg::Int,      Arg::Int,  Arg::Char,
                     Arg::Short, Arg::LongLong, Arg::LongLong, Arg::Size, Arg::Size};

// Formats one conversion with both formatters, each given its own form of the argument, and
// compares; the conversion sits between two literal characters so the text around it counts too.
template <typename Mine, typename C>
void Compare(const std::string& mine, const std::string& c, std::size_t bound, Mine myValue,
             C cValue) {
    std::wstring format(mine.begin(), mine.end());
    char expected[512];
    int length = std::snprintf(expected, sizeof expected, c.c_str(), cValue);
    Check(length >= 0 && static_cast<std::size_t>(length) < sizeof expected);
    wchar_t out[512];
    std::size_t written = QX::Format(out, bound, format.c_str(), myValue);
    std::size_t want = static_cast<std::size_t>(length) < bound ? length : bound;
    Check(written == want && out[written] == L'\0');
    for (std::size_t i = 0; i < written; ++i) {
        Check(out[i] == static_cast<wchar_t>(static_cast<unsigned char>(expected[i])));
    }
}

template <typename T>
void Compare(const std::string& mine, const std::string& c, std::size_t bound, T value) {
    Compare(mine, c, bound, value, value);
}

// Thirteen bytes a conversion: flags, width, precision, length, conversion, value (8 bytes).
void AgainstReference(const std::uint8_t* data, std::size_t size) {
    const std::size_t bound = data[0] * 2u;
    for (std::size_t i = 1; i + 13 <= size; i += 13) {
        const std::uint8_t* r = data + i;
        std::uint64_t value = 0;
        for (int k = 0; k < 8; ++k) {
            value = value << 8 | r[5 + k];
        }
        const char conversion = "diuxXocsS%"[r[4] % 10];
        const bool integer =
            conversion != 'c' && conversion != 's' && conversion != 'S' && conversion != '%';
        std::string flags;
        for (int f = 0; f < 5; ++f) {
            if ((r[0] >> f & 1) == 0) {
                continue;
            }
            const char flag = "-0+ #"[f];
            // C leaves 0, + and blank undefined outside numbers, # also for d, i and u.
            if (flag == '-' ||
                (integer &&
                 (flag != '#' || (conversion != 'd' && conversion != 'i' && conversion != 'u')))) {
                flags += flag;
            }
        }
        std::string width = (r[1] & 0x80) != 0 ? "" : std::to_string(r[1] % 64);
        // Formatted into an array: g++ 12 reports a false overlap in the string operations that
        // would build it.
        char precision[8] = "";
        if ((r[2] & 0x80) == 0 && conversion != 'c') {
            std::snprintf(precision, sizeof precision, ".%d", r[2] % 40);
        }
        if (conversion == '%') {
            Compare("<%%>", "<%%>", bound, 0);
            continue;
        }
        if (!integer) {
            // Text of up to 15 letters and digits, the same in both forms.
            std::string text;
            for (std::uint64_t v = value; v % 16 != 0 && text.size() < 15; v /= 7) {
                text += "abcdefghijklmnopqrstuvwxyz0123456789"[v % 36];
            }
            const std::string head = "<%" + flags + width + precision;
            if (conversion == 'c') {
                Compare(head + "c>", head + "c>", bound, static_cast<int>('A' + value % 26));
            } else if (conversion == 's') {
                // %s takes wide text here and 8-bit text in C.
                const std::wstring wide(text.begin(), text.end());
                Compare(head + "s>", head + "s>", bound, wide.c_str(), text.c_str());
            } else {
                Compare(head + "S>", head + "s>", bound, text.c_str());
            }
            continue;
        }
        const std::size_t which = r[3] % 10;
        const std::string mine =
            "<%" + flags + width + precision + kLengths[which].mine + conversion + ">";
        const std::string c =
            "<%" + flags + width + precision + kLengths[which].c + conversion + ">";
        switch (kArgs[which]) {
            case Arg::Int:
            case Arg::Char:
            case Arg::Short:
                // h and hh take an int and narrow it, in both.
                Compare(mine, c, bound, static_cast<int>(static_cast<std::uint32_t>(value)));
                break;
            case Arg::LongLong:
                Compare(mine, c, bound, static_cast<long long>(value));
                break;
            case Arg::Size:
                Compare(mine, c, bound, static_cast<std::size_t>(value));
                break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    ArbitraryFormat(data, size);
    AgainstReference(data, size);
    return 0;
}
