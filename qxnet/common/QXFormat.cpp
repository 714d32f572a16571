#include "qxnet/common/QXFormat.h"

#include <cstdint>
#include <type_traits>

namespace QX {
namespace {

class Output {
public:
    Output(wchar_t* buffer, std::size_t maxChars) : m_buffer(buffer), m_max(maxChars) {}

    void Put(wchar_t c) {
        if (m_count < m_max) {
            m_buffer[m_count++] = c;
        }
    }
    void Repeat(wchar_t c, int count) {
        for (int i = 0; i < count; ++i) {
            Put(c);
        }
    }
    std::size_t Finish() {
        m_buffer[m_count] = L'\0';
        return m_count;
    }

private:
    wchar_t* m_buffer;
    std::size_t m_max;
    std::size_t m_count = 0;
};

struct Conversion {
    bool left = false;
    bool zero = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    int width = 0;
    int precision = -1;
    // None reads 32 bits: so do l and I32, "long" being 32 bits in the system's convention.
    enum Length { None, Short, Char, LongLong, Size } length = None;
    bool wide = false;    // l or w given
    bool narrow = false;  // h given
};

// Pads text of len characters to the width, on the side the flags choose.
template <typename Emit>
void Padded(Output& out, const Conversion& conv, int len, Emit emit) {
    int pad = conv.width > len ? conv.width - len : 0;
    if (!conv.left) {
        out.Repeat(L' ', pad);
    }
    emit();
    if (conv.left) {
        out.Repeat(L' ', pad);
    }
}

// Writes magnitude in base with an optional sign character (0: none) and prefix. The flags follow
// C: "#" makes octal start with 0 (raising the precision if need be) and hexadecimal carry 0x,
// which the caller gives as prefix only for a value other than 0.
void Integer(Output& out, const Conversion& conv, std::uint64_t magnitude, wchar_t sign,
             unsigned base, bool upper, const wchar_t* prefix) {
    wchar_t digits[24];
    int count = 0;
    const wchar_t* set = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    do {
        digits[count++] = set[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0);
    if (conv.precision == 0 && count == 1 && digits[0] == L'0') {
        count = 0;
    }
    int prefixLen = (sign != L'\0' ? 1 : 0);
    for (const wchar_t* p = prefix; *p != L'\0'; ++p) {
        ++prefixLen;
    }
    int zeros = conv.precision > count ? conv.precision - count : 0;
    if (conv.zero && !conv.left && conv.precision < 0 && conv.width > prefixLen + count) {
        zeros = conv.width - prefixLen - count;
    }
    if (base == 8 && conv.alternate && zeros == 0 && (count == 0 || digits[count - 1] != L'0')) {
        zeros = 1;
    }
    Padded(out, conv, prefixLen + zeros + count, [&] {
        if (sign != L'\0') {
            out.Put(sign);
        }
        for (const wchar_t* p = prefix; *p != L'\0'; ++p) {
            out.Put(*p);
        }
        out.Repeat(L'0', zeros);
        while (count > 0) {
            out.Put(digits[--count]);
        }
    });
}

template <typename Char>
void String(Output& out, const Conversion& conv, const Char* text) {
    static const wchar_t kNull[] = L"(null)";
    if (text == nullptr) {
        String(out, conv, kNull);
        return;
    }
    int len = 0;
    while (text[len] != 0 && (conv.precision < 0 || len < conv.precision)) {
        ++len;
    }
    Padded(out, conv, len, [&] {
        for (int i = 0; i < len; ++i) {
            // 8-bit text is Latin-1: each byte is the character of the same number.
            out.Put(static_cast<wchar_t>(static_cast<std::make_unsigned_t<Char>>(text[i])));
        }
    });
}

std::int64_t SignedArg(const Conversion& conv, va_list& args) {
    switch (conv.length) {
        case Conversion::LongLong:
            return va_arg(args, long long);
        case Conversion::Size:
            return static_cast<std::int64_t>(va_arg(args, std::ptrdiff_t));
        case Conversion::Short:
            return static_cast<short>(va_arg(args, int));
        case Conversion::Char:
            return static_cast<signed char>(va_arg(args, int));
        default:
            return va_arg(args, int);
    }
}

std::uint64_t UnsignedArg(const Conversion& conv, va_list& args) {
    switch (conv.length) {
        case Conversion::LongLong:
            return va_arg(args, unsigned long long);
        case Conversion::Size:
            return va_arg(args, std::size_t);
        case Conversion::Short:
            return static_cast<unsigned short>(va_arg(args, unsigned int));
        case Conversion::Char:
            return static_cast<unsigned char>(va_arg(args, unsigned int));
        default:
            return va_arg(args, unsigned int);
    }
}

int Number(const wchar_t*& p, va_list& args) {
    if (*p == L'*') {
        ++p;
        return va_arg(args, int);
    }
    int value = 0;
    while (*p >= L'0' && *p <= L'9') {
        if (value < 100000) {
            value = value * 10 + (*p - L'0');
        }
        ++p;
    }
    return value;
}

}  // namespace

std::size_t FormatV(wchar_t* buffer, std::size_t maxChars, const wchar_t* format, va_list argsIn) {
    Output out(buffer, maxChars);
    if (format == nullptr) {
        return out.Finish();
    }
    va_list args;
    va_copy(args, argsIn);
    for (const wchar_t* p = format; *p != L'\0'; ++p) {
        if (*p != L'%') {
            out.Put(*p);
            continue;
        }
        const wchar_t* start = p++;
        Conversion conv;
        for (;; ++p) {
            if (*p == L'-') {
                conv.left = true;
            } else if (*p == L'0') {
                conv.zero = true;
            } else if (*p == L'+') {
                conv.plus = true;
            } else if (*p == L' ') {
                conv.space = true;
            } else if (*p == L'#') {
                conv.alternate = true;
            } else {
                break;
            }
        }
        conv.width = Number(p, args);
        if (conv.width < 0) {
            conv.left = true;
            conv.width = -conv.width;
        }
        if (*p == L'.') {
            ++p;
            conv.precision = Number(p, args);
        }
        if (p[0] == L'h' && p[1] == L'h') {
            conv.length = Conversion::Char;
            conv.narrow = true;
            p += 2;
        } else if (*p == L'h') {
            conv.length = Conversion::Short;
            conv.narrow = true;
            ++p;
        } else if (p[0] == L'l' && p[1] == L'l') {
            conv.length = Conversion::LongLong;
            p += 2;
        } else if (*p == L'l' || *p == L'w') {
            conv.wide = true;
            ++p;
        } else if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
            conv.length = Conversion::LongLong;
            p += 3;
        } else if (p[0] == L'I' && p[1] == L'3' && p[2] == L'2') {
            p += 3;
        } else if (*p == L'I' || *p == L'z') {
            conv.length = Conversion::Size;
            ++p;
        }
        switch (*p) {
            case L'%':
                out.Put(L'%');
                break;
            case L'd':
            case L'i': {
                std::int64_t value = SignedArg(conv, args);
                bool negative = value < 0;
                std::uint64_t magnitude =
                    negative ? static_cast<std::uint64_t>(-(value + 1)) + 1 : value;
                // Sign and blank apply to signed conversions only, as in C.
                wchar_t sign = negative ? L'-' : conv.plus ? L'+' : conv.space ? L' ' : L'\0';
                Integer(out, conv, magnitude, sign, 10, false, L"");
                break;
            }
            case L'u':
                Integer(out, conv, UnsignedArg(conv, args), L'\0', 10, false, L"");
                break;
            case L'x':
            case L'X': {
                std::uint64_t value = UnsignedArg(conv, args);
                const wchar_t* prefix = !conv.alternate || value == 0 ? L""
                                        : *p == L'X'                  ? L"0X"
                                                                      : L"0x";
                Integer(out, conv, value, L'\0', 16, *p == L'X', prefix);
                break;
            }
            case L'o':
                Integer(out, conv, UnsignedArg(conv, args), L'\0', 8, false, L"");
                break;
            case L'p':
                Integer(out, conv, reinterpret_cast<std::uintptr_t>(va_arg(args, void*)), L'\0', 16,
                        false, L"0x");
                break;
            case L'b': {
                Conversion flag = conv;
                flag.precision = -1;
                Integer(out, flag, va_arg(args, int) != 0 ? 1 : 0, L'\0', 10, false, L"");
                break;
            }
            case L'c':
            case L'C': {
                auto value = static_cast<wchar_t>(va_arg(args, int));
                if ((*p == L'C' && !conv.wide) || conv.narrow) {
                    value = static_cast<wchar_t>(static_cast<unsigned char>(value));
                }
                Padded(out, conv, 1, [&] { out.Put(value); });
                break;
            }
            case L's':
            case L'S':
                // %s is wide unless marked narrow, %S narrow unless marked wide.
                if (*p == L's' ? conv.narrow : !conv.wide) {
                    String(out, conv, va_arg(args, const char*));
                } else {
                    String(out, conv, va_arg(args, const wchar_t*));
                }
                break;
            default:
                // Not a conversion this system uses: keep the text as written.
                for (const wchar_t* q = start; q <= p && *q != L'\0'; ++q) {
                    out.Put(*q);
                }
                if (*p == L'\0') {
                    --p;
                }
                break;
        }
    }
    va_end(args);
    return out.Finish();
}

std::size_t Format(wchar_t* buffer, std::size_t maxChars, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::size_t count = FormatV(buffer, maxChars, format, args);
    va_end(args);
    return count;
}

}  // namespace QX
