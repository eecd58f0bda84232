#include "server/syslog_server.hpp"

#include <array>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "core/tb_syslog.hpp"
#include "net/tb_device.hpp"

namespace {

constexpr std::string_view file_name = "/syslog.log";
constexpr std::uint32_t close_delay_ms = 1000;

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

struct syslog_server_state {
    std::array<char, syslog_server_path_max + 1> directory{};
    std::unique_ptr<std::FILE, file_closer> file;
    tb_timer close_timer;
};

syslog_server_state syslog_server;

void init_proc(void*, tb_id)
{
    syslog_server.file.reset();
    syslog_server.directory.fill('\0');
    syslog_server.close_timer = {};
}

bool open_file()
{
    std::string path(tb_text(syslog_server.directory));
    path += file_name;
    syslog_server.file.reset(std::fopen(path.c_str(), "a"));
    return syslog_server.file != nullptr;
}

// "dd.mm.yy hh:mm:ss " in local time; empty when the clock cannot be read.
std::string_view date_prefix(std::array<char, 32>& buffer)
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (now == static_cast<std::time_t>(-1) || !localtime_r(&now, &local)) return {};
    const int n = std::snprintf(buffer.data(), buffer.size(), "%02i.%02i.%02i %02i:%02i:%02i ", local.tm_mday,
                                local.tm_mon + 1, local.tm_year % 100, local.tm_hour, local.tm_min, local.tm_sec);
    if (n < 0 || static_cast<std::size_t>(n) >= buffer.size()) return {};
    return {buffer.data(), static_cast<std::size_t>(n)};
}

void write_line(std::string_view text)
{
    std::array<char, 32> prefix_buffer{};
    const std::string_view prefix = date_prefix(prefix_buffer);
    // One packet, one line: line breaks inside a received text would let a
    // sender forge further lines, so they are written as spaces.
    std::array<char, tb_packet_max_size> line{};
    std::size_t n = 0;
    for (const char c : text) line[n++] = (c == '\r' || c == '\n') ? ' ' : c;
    std::FILE* file = syslog_server.file.get();
    std::fwrite(prefix.data(), 1, prefix.size(), file);
    std::fwrite(line.data(), 1, n, file);
    std::fwrite("\r\n", 1, 2, file);
    std::fflush(file);
}

void exec_proc(void*, const tb_packet& packet)
{
    if (packet.opcode() != tb_op_syslog) return;
    // Bounded by the received bytes: a text without its NUL ends with the datagram.
    const std::string_view text = get_text(packet.bytes, tb_off_payload, tb_packet_max_size);
    if (syslog_server.file || open_file()) write_line(text);
    tb_timer_restart(syslog_server.close_timer, close_delay_ms);
}

void task_proc(void*, std::uint32_t)
{
    if (syslog_server.file && tb_timer_expired(syslog_server.close_timer)) syslog_server.file.reset();
}

} // namespace

const tb_task_descriptor syslog_server_task = {
    .size = -1,
    .init_proc = init_proc,
    .task_proc = task_proc,
    .exec_proc = exec_proc,
};

bool syslog_server_start(std::string_view directory)
{
    if (directory.size() > syslog_server_path_max) {
        tb_syslog_error("syslog_server_start", tb_device_own_id(), "syslog directory name too long");
        return false;
    }
    tb_task_add(syslog_server_task, tb_device_own_id());
    tb_copy_text(syslog_server.directory, directory);
    return true;
}

bool syslog_server_file_open() { return syslog_server.file != nullptr; }
