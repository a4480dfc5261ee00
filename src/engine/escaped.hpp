// The escaped-bytes formatter: every byte becomes the four characters \xNN
// with lowercase hexadecimal digits; nothing else is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/sink.hpp"

namespace orrery::escaped {

inline constexpr char hex_digits[] = "0123456789abcdef";

// The four characters of every byte's escape, ready to copy.
struct EscapeTable {
    char text[256][4];
    constexpr EscapeTable() : text{} {
        for (int b = 0; b < 256; ++b) {
            text[b][0] = '\\';
            text[b][1] = 'x';
            text[b][2] = hex_digits[b >> 4];
            text[b][3] = hex_digits[b & 15];
        }
    }
};
inline constexpr EscapeTable escape_table{};

// Writes the escapes of `n` bytes to `dst`, which has room for 4 * n.
inline void encode(const unsigned char* src, std::size_t n, char* dst) noexcept {
    for (std::size_t i = 0; i < n; ++i) std::memcpy(dst + 4 * i, escape_table.text[src[i]], 4);
}

// Writes the escapes of every byte to `out`, in order. The result is that of
// one four-character write per byte; sinks that can take the whole run at
// once (with the same effect) provide write_escaped.
template <TextSink Sink>
IoStatus write_escaped_bytes(const unsigned char* data, std::size_t n, Sink& out) {
    if constexpr (requires { out.write_escaped(data, n); }) {
        return out.write_escaped(data, n);
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            char piece[4];
            encode(data + i, 1, piece);
            IoStatus st = out.write_fmt(std::string_view(piece, 4));
            if (!st) return st;
        }
        return {};
    }
}

}  // namespace orrery::escaped
