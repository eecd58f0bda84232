#pragma once
// The action console: a plain-text console on TCP 11244 (8 clients) and on
// UDP 11244 and 11245. Every line is an action string sent into the system
// with the client's own id, with a few shortcuts, a help page, incremental
// device and service lists and an optional live feed of status strings.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/tb_task.hpp"
#include "net/tb_device.hpp"
#include "net/tb_service.hpp"

constexpr std::uint16_t tb_action_server_port = 11244;
constexpr std::array<std::uint16_t, 2> tb_action_server_udp_ports = {11244, 11245};
constexpr int tb_action_server_tcp_clients = 8;
constexpr int tb_action_server_udp_clients = 2;
constexpr int tb_action_server_clients = tb_action_server_tcp_clients + tb_action_server_udp_clients;
constexpr int tb_action_server_backlog = 9;
constexpr std::uint32_t tb_action_server_keep_alive_ms = 3000;
constexpr std::size_t tb_action_server_read_size = 1024;
constexpr std::size_t tb_action_server_piece_size = 1024; // one formatted output piece
constexpr std::size_t tb_action_server_line_max = 1023;   // characters kept of one line
// Output a TCP client has not taken yet. What does not fit is dropped as
// whole pieces, so a slow reader never receives half lines.
constexpr std::size_t tb_action_server_pending_size = 16384;
constexpr std::size_t tb_action_server_help_lines = 61;
constexpr std::size_t tb_action_server_help_width = 79;

// The task's state block: what start-up hands the console. An empty help
// page means none is set.
struct tb_action_server_state {
    std::span<const std::string_view> help_page;
};

extern const tb_task_descriptor tb_action_server_task;

// The 61 lines of the help page, 79 characters each, without line ends.
std::span<const std::string_view, tb_action_server_help_lines> tb_action_server_help_page();
// The author credit line of "help:ego".
std::string_view tb_action_server_credit();

// Line assembly: CR ends a line, other bytes below 0x20 are dropped, the
// line keeps its first 1023 characters. The procedure gets the complete
// line and, once per line, the first byte that did not fit. Consumes bytes
// up to and including the first CR (so one line at a time) or all of them;
// returns the number consumed.
struct tb_action_server_line {
    std::array<char, tb_action_server_line_max + 1> text{};
    std::size_t length = 0;
    bool overflow = false;
};
enum class tb_action_server_input { line, overflow };
using tb_action_server_line_proc = void (*)(void* context, tb_action_server_input input, std::string_view line);
std::size_t tb_action_server_assemble(tb_action_server_line& line, std::span<const std::uint8_t> bytes,
                                      tb_action_server_line_proc procedure, void* context);

// The action a complete line stands for; no value for an empty line (the
// greeting is sent again). Only the first character selects a shortcut.
std::optional<std::string_view> tb_action_server_line_action(std::string_view line);

// Output formatting into a caller's piece buffer; the result views it. A
// piece longer than the buffer is cut but keeps its final line end.
using tb_action_server_piece = std::array<char, tb_action_server_piece_size>;
std::string_view tb_action_server_overflow_text(tb_action_server_piece& piece);
std::string_view tb_action_server_device_header(tb_action_server_piece& piece);
std::string_view tb_action_server_device_row(tb_action_server_piece& piece, int row, const tb_device_entry& entry);
std::string_view tb_action_server_service_header(tb_action_server_piece& piece);
std::string_view tb_action_server_service_row(tb_action_server_piece& piece, int row,
                                              const tb_service_record& record);
std::string_view tb_action_server_dashes(tb_action_server_piece& piece);
// Greeting piece number index (0 to 7) for the device id; empty past the end.
std::string_view tb_action_server_greeting(tb_action_server_piece& piece, std::size_t index, tb_id device);

// Tests run the console on loopback: address (host order) and ports to bind
// before the task is registered; port 0 takes any free port. The bound
// ports are read back after registration (TCP, then the two UDP records).
// send_buffer fixes the send buffer of accepted sockets (0: the system's
// own, growing one), so that a slow reader shows up after little output.
void tb_action_server_test_set_binding(std::uint32_t address, std::array<std::uint16_t, 3> ports,
                                       int send_buffer = 0);
std::array<std::uint16_t, 3> tb_action_server_test_bound_ports();
// Bytes held back for TCP client index because its socket would not take them.
std::size_t tb_action_server_test_pending(int client);
