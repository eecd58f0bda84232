#include "core/tb_id.hpp"

namespace {

constexpr std::string_view class_letters = "0RUSTMAPXK????ZF";
constexpr std::string_view hex_digits = "0123456789ABCDEF";
constexpr std::string_view index_digits = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

int index_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 0;
}

} // namespace

tb_id tb_id_make_id(std::span<const std::uint8_t, 6> mac, std::uint8_t service_class,
                    std::uint8_t index)
{
    tb_id id;
    id.bytes[0] = service_class;
    for (std::size_t i = 0; i < 6; ++i) id.bytes[1 + i] = mac[i];
    id.bytes[7] = index;
    return id;
}

std::uint8_t tb_id_get_service_class(tb_id id) { return id.bytes[0]; }
std::uint8_t tb_id_get_service_index(tb_id id) { return id.bytes[7]; }

tb_id tb_id_set_service_class(tb_id id, std::uint8_t service_class)
{
    id.bytes[0] = service_class;
    return id;
}

tb_id tb_id_get_device_id(tb_id id)
{
    id.bytes[0] = 0;
    id.bytes[7] = 0;
    return id;
}

bool tb_id_compare(tb_id a, tb_id b) { return a == b; }

bool tb_id_compare_broadcast(tb_id a, tb_id b)
{
    const tb_id all = tb_id_broadcast();
    return a == b || a == all || b == all;
}

bool tb_id_compare_device(tb_id a, tb_id b)
{
    for (std::size_t i = 1; i < 7; ++i)
        if (a.bytes[i] != b.bytes[i]) return false;
    return true;
}

tb_id tb_id_unknown() { return tb_id{}; }

tb_id tb_id_broadcast()
{
    return tb_id{{tb_class_broadcast, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 15}};
}

bool tb_id_is_unknown(tb_id id) { return id == tb_id{}; }

void tb_id_sprint(std::span<char, tb_id_text_size> buffer, tb_id id)
{
    std::size_t n = 0;
    const std::uint8_t service_class = id.bytes[0];
    buffer[n++] = service_class < class_letters.size() ? class_letters[service_class] : '?';
    for (std::size_t i = 1; i < 7; ++i) {
        buffer[n++] = hex_digits[id.bytes[i] >> 4];
        buffer[n++] = hex_digits[id.bytes[i] & 0x0F];
    }
    if (id.bytes[7] < index_digits.size()) buffer[n++] = index_digits[id.bytes[7]];
    buffer[n] = '\0';
}

std::string tb_id_text(tb_id id)
{
    std::array<char, tb_id_text_size> buffer{};
    tb_id_sprint(buffer, id);
    return std::string(buffer.data());
}

tb_id tb_id_sscan(std::string_view text)
{
    tb_id id;
    if (text.empty()) return id;
    // The last occurrence wins, so "?" reads as class 13.
    const std::size_t letter = class_letters.rfind(text[0]);
    if (letter != std::string_view::npos) id.bytes[0] = static_cast<std::uint8_t>(letter);
    for (std::size_t i = 0; i < 6; ++i) {
        const std::size_t hi = 1 + 2 * i;
        const std::size_t lo = hi + 1;
        const int high = hi < text.size() ? hex_value(text[hi]) : 0;
        const int low = lo < text.size() ? hex_value(text[lo]) : 0;
        id.bytes[1 + i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    if (text.size() > 13) id.bytes[7] = static_cast<std::uint8_t>(index_value(text[13]));
    return id;
}
