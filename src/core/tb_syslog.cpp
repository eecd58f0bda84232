#include "core/tb_syslog.hpp"

#include <array>
#include <cstdio>

#include "net/tb_device.hpp"
#include "net/tb_network.hpp"

namespace {

constexpr std::size_t message_max = 255;
constexpr std::size_t text_max = 1023;

void send_syslog(char letter, const char* origin, tb_id id, const char* format, va_list args)
{
    std::array<char, message_max + 1> message{};
    std::vsnprintf(message.data(), message.size(), format, args);
    std::array<char, tb_id_text_size> own{};
    std::array<char, tb_id_text_size> about{};
    tb_id_sprint(own, tb_device_own_id());
    tb_id_sprint(about, id);
    std::array<char, text_max + 1> text{};
    const int n = std::snprintf(text.data(), text.size(), "%c #%s #%s %s:%s", letter, own.data(), about.data(),
                                origin ? origin : "", message.data());
    const std::size_t length = n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), text_max);
    auto packet = tb_network_new(tb_op_syslog);
    put_text(packet, tb_off_payload, length + 1, std::string_view(text.data(), length));
    tb_network_send_no_rubustness(tb_id_broadcast(), tb_packet_header_size + length + 1);
}

} // namespace

#define TB_SYSLOG_LEVEL(name, letter)                                  \
    void name(const char* origin, tb_id id, const char* format, ...)   \
    {                                                                  \
        va_list args;                                                  \
        va_start(args, format);                                        \
        send_syslog(letter, origin, id, format, args);                 \
        va_end(args);                                                  \
    }

TB_SYSLOG_LEVEL(tb_syslog_message, 'M')
TB_SYSLOG_LEVEL(tb_syslog_warning, 'W')
TB_SYSLOG_LEVEL(tb_syslog_error, 'E')
TB_SYSLOG_LEVEL(tb_syslog_fatal, 'F')
