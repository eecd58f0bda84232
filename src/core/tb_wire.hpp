#pragma once
// Typed access to wire data. Every read is bounded by the span it is given
// (the bytes actually received); a field that does not fit reads as zero or
// as an empty text, and a write outside the span is ignored.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "core/tb_id.hpp"

using tb_bytes = std::span<const std::uint8_t>;
using tb_mut_bytes = std::span<std::uint8_t>;

inline bool tb_wire_fits(tb_bytes b, std::size_t off, std::size_t n)
{
    return off <= b.size() && n <= b.size() - off;
}

inline std::uint8_t get_u8(tb_bytes b, std::size_t off)
{
    return tb_wire_fits(b, off, 1) ? b[off] : 0;
}

inline std::uint16_t get_u16be(tb_bytes b, std::size_t off)
{
    if (!tb_wire_fits(b, off, 2)) return 0;
    return static_cast<std::uint16_t>(b[off] << 8 | b[off + 1]);
}

inline std::uint32_t get_u32be(tb_bytes b, std::size_t off)
{
    if (!tb_wire_fits(b, off, 4)) return 0;
    return std::uint32_t{b[off]} << 24 | std::uint32_t{b[off + 1]} << 16 |
           std::uint32_t{b[off + 2]} << 8 | std::uint32_t{b[off + 3]};
}

inline std::uint16_t get_u16le(tb_bytes b, std::size_t off)
{
    if (!tb_wire_fits(b, off, 2)) return 0;
    return static_cast<std::uint16_t>(b[off] | b[off + 1] << 8);
}

inline tb_id get_id(tb_bytes b, std::size_t off)
{
    tb_id id;
    if (tb_wire_fits(b, off, 8)) std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(off), 8, id.bytes.begin());
    return id;
}

// A text field of field_size bytes: up to its first NUL, the end of the
// field or the end of the received bytes, whichever comes first.
inline std::string_view get_text(tb_bytes b, std::size_t off, std::size_t field_size)
{
    if (off >= b.size()) return {};
    const std::size_t n = std::min(field_size, b.size() - off);
    const auto* start = reinterpret_cast<const char*>(b.data() + off);
    const auto* nul = static_cast<const char*>(std::memchr(start, '\0', n));
    return {start, nul ? static_cast<std::size_t>(nul - start) : n};
}

inline void put_u8(tb_mut_bytes b, std::size_t off, std::uint8_t v)
{
    if (tb_wire_fits(b, off, 1)) b[off] = v;
}

inline void put_u16be(tb_mut_bytes b, std::size_t off, std::uint16_t v)
{
    if (!tb_wire_fits(b, off, 2)) return;
    b[off] = static_cast<std::uint8_t>(v >> 8);
    b[off + 1] = static_cast<std::uint8_t>(v);
}

inline void put_u16le(tb_mut_bytes b, std::size_t off, std::uint16_t v)
{
    if (!tb_wire_fits(b, off, 2)) return;
    b[off] = static_cast<std::uint8_t>(v);
    b[off + 1] = static_cast<std::uint8_t>(v >> 8);
}

inline void put_u32be(tb_mut_bytes b, std::size_t off, std::uint32_t v)
{
    if (!tb_wire_fits(b, off, 4)) return;
    b[off] = static_cast<std::uint8_t>(v >> 24);
    b[off + 1] = static_cast<std::uint8_t>(v >> 16);
    b[off + 2] = static_cast<std::uint8_t>(v >> 8);
    b[off + 3] = static_cast<std::uint8_t>(v);
}

inline void put_id(tb_mut_bytes b, std::size_t off, tb_id id)
{
    if (tb_wire_fits(b, off, 8)) std::copy_n(id.bytes.begin(), 8, b.begin() + static_cast<std::ptrdiff_t>(off));
}

// Writes text NUL-padded into a field of field_size bytes, cut to
// field_size - 1 characters so that the field always holds its NUL.
inline void put_text(tb_mut_bytes b, std::size_t off, std::size_t field_size, std::string_view text)
{
    if (field_size == 0 || !tb_wire_fits(b, off, field_size)) return;
    const std::size_t n = std::min(text.size(), field_size - 1);
    if (n != 0) std::memcpy(b.data() + off, text.data(), n); // an empty view may hold no pointer
    std::memset(b.data() + off + n, 0, field_size - n);
}

// Copies text into a fixed NUL-terminated char field, cut to capacity - 1.
template <std::size_t N>
inline void tb_copy_text(std::array<char, N>& field, std::string_view text)
{
    const std::size_t n = std::min(text.size(), N - 1);
    if (n != 0) std::memcpy(field.data(), text.data(), n);
    std::memset(field.data() + n, 0, N - n);
}

template <std::size_t N>
inline std::string_view tb_text(const std::array<char, N>& field)
{
    const auto* nul = static_cast<const char*>(std::memchr(field.data(), '\0', N));
    return {field.data(), nul ? static_cast<std::size_t>(nul - field.data()) : N};
}

// The packet header shared by every datagram of the LAN protocol.
constexpr std::size_t tb_packet_header_size = 36;
constexpr std::size_t tb_packet_max_size = 1316;
constexpr std::string_view tb_packet_magic = "KESTOR01";

enum tb_header_offset : std::size_t {
    tb_off_magic = 0,
    tb_off_destination = 8,
    tb_off_source = 16,
    tb_off_nonce = 24,
    tb_off_sequence = 28,
    tb_off_length = 32,
    tb_off_opcode = 34,
    tb_off_payload = 36,
};

enum tb_opcode : std::uint16_t {
    tb_op_boot_command = 1,
    tb_op_boot_request = 2,
    tb_op_boot_answer = 3,
    tb_op_audio_request = 5,
    tb_op_audio_stream = 6,
    tb_op_audio_insert = 7,
    tb_op_service_join = 8,
    tb_op_service_leave = 9,
    tb_op_service_request = 10,
    tb_op_service_answer = 11,
    tb_op_device_request = 12,
    tb_op_device_answer = 13,
    tb_op_action = 14,
    tb_op_status_request = 15,
    tb_op_status_answer = 16,
    tb_op_menu_request = 17,
    tb_op_menu_answer = 18,
    tb_op_manifest_commit = 19,
    tb_op_manifest_update = 20,
    tb_op_manifest_request = 21,
    tb_op_manifest_answer = 22,
    tb_op_syslog = 23,
};

// An accepted packet as handed to every task: exactly the bytes that were
// received, never more than the header's length field claims.
struct tb_packet {
    tb_bytes bytes;

    std::size_t size() const { return bytes.size(); }
    tb_id destination() const { return get_id(bytes, tb_off_destination); }
    tb_id source() const { return get_id(bytes, tb_off_source); }
    std::uint32_t nonce() const { return get_u32be(bytes, tb_off_nonce); }
    std::uint32_t sequence() const { return get_u32be(bytes, tb_off_sequence); }
    std::uint16_t length() const { return get_u16be(bytes, tb_off_length); }
    std::uint16_t opcode() const { return get_u16be(bytes, tb_off_opcode); }
};
