#pragma once

// A table that translates one numbering into another (the system's errors into the ones the
// library reports), and its look-up.

#include <cstddef>

namespace QX {

template <class From, class To>
struct Translation {
    From from;
    To to;
};

// The translation of value in table, or otherwise when the table does not list it.
template <class From, class To, std::size_t N>
constexpr To Translate(const Translation<From, To> (&table)[N], From value, To otherwise) {
    for (const Translation<From, To>& row : table) {
        if (row.from == value) {
            return row.to;
        }
    }
    return otherwise;
}

}  // namespace QX
