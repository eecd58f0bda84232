#include "control/tb_action_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "core/tb_syslog.hpp"
#include "net/tb_action.hpp"
#include "net/tb_network.hpp"
#include "net/tb_status.hpp"

namespace {

constexpr std::array<std::string_view, tb_action_server_help_lines> help_page = {
    "Tamber actions (please read the Halvo Tamber manual for more information)      ",
    "-------------------------------------------------------------------------------",
    "?  - #Identifier, $Alias or @Magic                                             ",
    "@  - Numeric value or string                                                   ",
    "-> - See below                                                                 ",
    "[] - Optional parameter                                                        ",
    ":* - User defined action                                                       ",
    "                                                                               ",
    "?room/?user ---------+- :room -------+- :select ------- :?user/?source         ",
    "                     |               +- :refer -------- :?user/?room           ",
    "                     |               +- :revert ------- :[?user/?source]       ",
    "                     |               +- :off ---------- :[?user/?source]       ",
    "                     |               +- :on                                    ",
    "                     |               +- :volume ------- :->parameter   0..40   ",
    "                     |               +- :balance ------ :->parameter -10..10   ",
    "                     |               +- :bass --------- :->parameter -12..12   ",
    "                     |               +- :treble ------- :->parameter -12..12   ",
    "                     |               +- :mute --------- :on/off/toggle         ",
    "                     |                                                         ",
    "                     +- :user -------+- :select ------- :?source               ",
    "                                     +- :refer -------- :?user/?room           ",
    "                                     +- :revert ------- :[?source]             ",
    "                                     +- :off ---------- :[?source]             ",
    "                                     +- :volume ------- :plus/minus            ",
    "                                                                               ",
    "?room/?user/?source -+- :stream ------- :->service                             ",
    "                     +- :play --------- :[@track]                              ",
    "                     +- :pause -------- :on/off/toggle                         ",
    "                     +- :next/previous                                         ",
    "                     +- :system ------- :off                                   ",
    "                                                                               ",
    "?trigger ------------+- :trigger ----+- :on/off/toggle                         ",
    "                     |               +- :pulse -------- :@seconds              ",
    "                     |                                                         ",
    "                     +- :* ----------+- :[run]                                 ",
    "                                     +- :break                                 ",
    "                                     +- :step:@1..16                           ",
    "                                                                               ",
    "?proxy ---------------- :* ----------+- :[run]                                 ",
    "                                     +- :break                                 ",
    "                                     +- :step:@1..16                           ",
    "                                                                               ",
    "?timer ---------------- :* ----------+- :[run]                                 ",
    "                                     +- :break                                 ",
    "                                     +- :step:@1..16                           ",
    "                                     +- :on/off                                ",
    "                                     +- :test                                  ",
    "-> parameter                                                                   ",
    "------------                                                                   ",
    "-+- :set -------------- :@min..max                                             ",
    " +- :save ------------- :@1..9                                                 ",
    " +- :load ------------- :@1..9                                                 ",
    " +- :plus/minus                                                                ",
    " +- :auto ------------- :plus/minus/stop                                       ",
    " +- :relative --------- :plus/minus                                            ",
    "                                                                               ",
    "-> service (Tamber Hub)             -> service (Tamber Server)                 ",
    "-----------------------             --------------------------                 ",
    "-+- :analog                         -+- :radio                                 ",
    " +- :coaxial                         +- :music                                 ",
    " +- :optical                         +- :favorite                              ",
};

constexpr bool help_page_is_square()
{
    for (const auto line : help_page)
        if (line.size() != tb_action_server_help_width) return false;
    return true;
}
static_assert(help_page_is_square(), "every help line has 79 characters");

constexpr std::string_view credit = "Tamber server, written by the Tamber server developers";
constexpr std::string_view dashes_line =
    "-------------------------------------------------------------------------------\n";
static_assert(dashes_line.size() == 80);

constexpr int overflow_limit = 1024; // the number the overflow message names

// A console line is only executed while the transmit ring is nearly empty,
// so that clients typing (or pasting) fast cannot starve the protocol
// modules of the ring or delay their packets by more than a few ticks; the
// input waits in the kernel meanwhile.
constexpr int ring_busy = 64;

// Owns one descriptor.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    unique_fd& operator=(unique_fd&& other) noexcept
    {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1)
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

enum class client_kind : std::uint8_t { tcp = 1, udp = 2 };

enum class accept_state : std::uint8_t { waiting = 0, placing = 1, probing = 2 };

struct client_record {
    unique_fd socket;
    client_kind kind = client_kind::tcp;
    tb_id id{};
    std::uint16_t own_port = 0; // UDP: answers go to the peer at this port
    std::array<std::uint8_t, tb_action_server_read_size> input{};
    std::size_t input_start = 0;
    std::size_t input_end = 0;
    tb_action_server_line line;
    bool alive = false;
    bool status_on = false;
    bool has_peer = false;
    sockaddr_in peer{};
    bool device_list = false;
    tb_device_entry* device_cursor = nullptr;
    int device_row = 0;
    bool service_list = false;
    tb_service_record* service_cursor = nullptr;
    int service_row = 0;
    std::array<char, tb_action_server_pending_size> pending{};
    std::size_t pending_start = 0;
    std::size_t pending_end = 0;
};

struct console_state {
    tb_id device{};
    const tb_action_server_state* config = nullptr;
    unique_fd listener;
    unique_fd newcomer; // accepted, not placed yet
    accept_state accepting = accept_state::waiting;
    std::array<client_record, tb_action_server_clients> clients{};
    int connected = 0;
    tb_timer keep_alive;
    int first_input = 0; // the client whose line runs first, rotating
    tb_action_server_piece piece{};
};

struct binding {
    std::uint32_t address = INADDR_ANY;
    std::array<std::uint16_t, 3> ports = {tb_action_server_port, tb_action_server_udp_ports[0],
                                          tb_action_server_udp_ports[1]};
    int send_buffer = 0;
};

console_state tb_action_server;
binding console_binding;

bool is_open(const client_record& client)
{
    return client.kind == client_kind::tcp ? client.socket.valid() : client.socket.valid() && client.has_peer;
}

std::size_t pending_length(const client_record& client) { return client.pending_end - client.pending_start; }

// Queues output for the socket, only as a whole.
bool hold_back(client_record& client, std::string_view bytes)
{
    if (bytes.size() > client.pending.size() - pending_length(client)) return false;
    if (bytes.size() > client.pending.size() - client.pending_end) {
        std::memmove(client.pending.data(), client.pending.data() + client.pending_start, pending_length(client));
        client.pending_end -= client.pending_start;
        client.pending_start = 0;
    }
    std::memcpy(client.pending.data() + client.pending_end, bytes.data(), bytes.size());
    client.pending_end += bytes.size();
    return true;
}

// Sends without waiting; returns the bytes taken, 0 when the socket is full
// or gone (a gone peer is noticed by the next read).
std::size_t send_some(const client_record& client, std::string_view bytes)
{
    const ssize_t n = ::send(client.socket.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

void flush(client_record& client)
{
    if (client.kind != client_kind::tcp || pending_length(client) == 0 || !client.socket.valid()) return;
    const std::size_t n = send_some(client, {client.pending.data() + client.pending_start, pending_length(client)});
    client.pending_start += n;
    if (client.pending_start == client.pending_end) client.pending_start = client.pending_end = 0;
}

// One output piece to one client. TCP output of a tick is collected and
// leaves in one send at the end of the tick; what the socket does not take
// waits for the next tick, before anything newer. A piece that does not fit
// whole into what is waiting is dropped, so nobody receives half lines.
void emit(client_record& client, std::string_view piece)
{
    if (piece.empty() || !is_open(client)) return;
    if (client.kind == client_kind::udp) {
        ::sendto(client.socket.get(), piece.data(), piece.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr*>(&client.peer), sizeof client.peer);
        return;
    }
    hold_back(client, piece);
}

// Text cut to the piece buffer; with a line end, the end survives the cut.
std::string_view put_piece(tb_action_server_piece& piece, std::string_view text, bool line_end)
{
    const std::size_t room = piece.size() - (line_end ? 1 : 0);
    const std::size_t n = std::min(text.size(), room);
    std::memcpy(piece.data(), text.data(), n);
    if (line_end) piece[n] = '\n';
    return {piece.data(), n + (line_end ? 1 : 0)};
}

std::string_view format_piece(tb_action_server_piece& piece, const char* format, ...) TB_PRINTF_FORMAT(2, 3);
std::string_view format_piece(tb_action_server_piece& piece, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(piece.data(), piece.size(), format, args);
    va_end(args);
    if (n < 0) return {};
    const auto length = std::min(static_cast<std::size_t>(n), piece.size() - 1);
    if (static_cast<std::size_t>(n) > length && length > 0) piece[length - 1] = '\n';
    return {piece.data(), length};
}

// A fixed-width column field: at most width characters of text, never
// reading past its end (texts from the LAN need not be NUL-terminated).
int column(std::string_view text, int width)
{
    return static_cast<int>(std::min(text.size(), static_cast<std::size_t>(width)));
}

void emit_greeting(client_record& client)
{
    auto& piece = tb_action_server.piece;
    for (std::size_t i = 0;; ++i) {
        const std::string_view text = tb_action_server_greeting(piece, i, tb_action_server.device);
        if (text.empty()) return;
        emit(client, text);
    }
}

void reset_session(client_record& client)
{
    client.input_start = client.input_end = 0;
    client.line = tb_action_server_line{};
    client.alive = false;
    client.device_list = false;
    client.service_list = false;
    client.pending_start = client.pending_end = 0;
}

// The feed setting stays with the record, as it was left.
void close_client(client_record& client)
{
    if (!client.socket.valid()) return;
    client.socket.reset();
    reset_session(client);
    --tb_action_server.connected;
}

void on_line(void* context, tb_action_server_input input, std::string_view line)
{
    auto& client = *static_cast<client_record*>(context);
    if (input == tb_action_server_input::overflow) {
        emit(client, tb_action_server_overflow_text(tb_action_server.piece));
        return;
    }
    const auto action = tb_action_server_line_action(line);
    if (!action) {
        emit_greeting(client);
        return;
    }
    tb_action_send(client.id, *action);
}

// At most one complete line per client and tick: the rest of the input
// waits in the record for the next tick.
void process_input(client_record& client)
{
    if (client.input_start == client.input_end) return;
    if (!tb_network_space_available(tb_network_ring_size - ring_busy)) return;
    const std::span<const std::uint8_t> bytes(client.input.data() + client.input_start,
                                              client.input_end - client.input_start);
    client.input_start += tb_action_server_assemble(client.line, bytes, on_line, &client);
    if (client.input_start == client.input_end) client.input_start = client.input_end = 0;
}

bool peer_gone(int error)
{
    return error == ECONNRESET || error == ETIMEDOUT || error == ENOTCONN || error == EPIPE;
}

void read_tcp(client_record& client)
{
    if (!client.socket.valid() || client.input_start != client.input_end) return;
    const ssize_t n = ::recv(client.socket.get(), client.input.data(), client.input.size(), MSG_DONTWAIT);
    if (n > 0) {
        client.alive = true;
        client.input_start = 0;
        client.input_end = static_cast<std::size_t>(n);
    } else if (n == 0 || peer_gone(errno)) {
        close_client(client);
    }
}

void read_udp(client_record& client)
{
    if (!client.socket.valid() || client.input_start != client.input_end) return;
    sockaddr_in from{};
    socklen_t from_size = sizeof from;
    const ssize_t n = ::recvfrom(client.socket.get(), client.input.data(), client.input.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &from_size);
    if (n < 0 || from.sin_family != AF_INET) return;
    client.peer = from;
    client.peer.sin_port = htons(client.own_port);
    client.has_peer = true;
    if (n == 0) return;
    client.alive = true;
    client.input_start = 0;
    client.input_end = static_cast<std::size_t>(n);
}

void list_step(client_record& client)
{
    auto& piece = tb_action_server.piece;
    if (client.device_list) {
        tb_device_entry* next = tb_device_get_next(client.device_cursor);
        if (next) {
            emit(client, tb_action_server_device_row(piece, ++client.device_row, *next));
            client.device_cursor = next;
        } else {
            emit(client, put_piece(piece, "", true));
            client.device_list = false;
        }
    }
    if (client.service_list) {
        tb_service_record* next = tb_service_get_next(client.service_cursor);
        if (next) {
            emit(client, tb_action_server_service_row(piece, ++client.service_row, *next));
            client.service_cursor = next;
        } else {
            emit(client, put_piece(piece, "", true));
            client.service_list = false;
        }
    }
}

client_record* first_free_tcp()
{
    for (int i = 0; i < tb_action_server_tcp_clients; ++i) {
        auto& client = tb_action_server.clients[static_cast<std::size_t>(i)];
        if (!client.socket.valid()) return &client;
    }
    return nullptr;
}

bool place_newcomer()
{
    client_record* client = first_free_tcp();
    if (!client) return false;
    client->socket = std::move(tb_action_server.newcomer);
    reset_session(*client);
    ++tb_action_server.connected;
    emit_greeting(*client);
    return true;
}

void accept_step(bool listener_ready)
{
    auto& console = tb_action_server;
    if (!console.listener.valid()) return;
    switch (console.accepting) {
    case accept_state::waiting: {
        if (!listener_ready) return;
        const int fd = ::accept4(console.listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        // A tick's output leaves at once instead of waiting for the
        // previous one to be acknowledged.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (console_binding.send_buffer > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &console_binding.send_buffer, sizeof console_binding.send_buffer);
        console.newcomer.reset(fd);
        console.accepting = accept_state::placing;
        [[fallthrough]];
    }
    case accept_state::placing:
        if (place_newcomer()) {
            console.accepting = accept_state::waiting;
            return;
        }
        // Every record is taken: ask the clients to show they are still there.
        for (int i = 0; i < tb_action_server_tcp_clients; ++i) {
            auto& client = console.clients[static_cast<std::size_t>(i)];
            client.alive = false;
            emit(client, put_piece(console.piece, "keep_alive", true));
        }
        tb_timer_restart(console.keep_alive, tb_action_server_keep_alive_ms);
        console.accepting = accept_state::probing;
        return;
    case accept_state::probing:
        if (!tb_timer_expired(console.keep_alive)) return;
        for (int i = 0; i < tb_action_server_tcp_clients; ++i) {
            auto& client = console.clients[static_cast<std::size_t>(i)];
            if (!client.alive) close_client(client);
        }
        if (!place_newcomer()) console.newcomer.reset();
        console.accepting = accept_state::waiting;
        return;
    }
}

void start_device_list(client_record& client)
{
    auto& piece = tb_action_server.piece;
    emit(client, tb_action_server_device_header(piece));
    emit(client, tb_action_server_dashes(piece));
    client.device_list = true;
    client.device_cursor = nullptr;
    client.device_row = 0;
}

void start_service_list(client_record& client)
{
    auto& piece = tb_action_server.piece;
    emit(client, tb_action_server_service_header(piece));
    emit(client, tb_action_server_dashes(piece));
    client.service_list = true;
    client.service_cursor = nullptr;
    client.service_row = 0;
}

void action_proc(void* context, std::span<const tb_id, 4>, const tb_action_tokens& tokens)
{
    auto& client = *static_cast<client_record*>(context);
    auto& piece = tb_action_server.piece;
    const std::string_view module = tokens[0];
    const std::string_view verb = tokens[1];
    if (module == "help") {
        tb_action_handled();
        if (verb == "ego") {
            emit(client, put_piece(piece, credit, true));
            emit(client, put_piece(piece, "", true));
            return;
        }
        const auto* config = tb_action_server.config;
        if (!config || config->help_page.empty()) return;
        for (const auto line : config->help_page) emit(client, put_piece(piece, line, true));
        emit(client, put_piece(piece, "", true));
    } else if (module == "list") {
        if (verb == "devices") {
            tb_action_handled();
            if (is_open(client)) start_device_list(client);
        } else if (verb == "services") {
            tb_action_handled();
            if (is_open(client)) start_service_list(client);
        }
    } else if (module == "status") {
        if (verb == "on") {
            tb_action_handled();
            client.status_on = true;
            tb_status_request(tb_id_broadcast());
        } else if (verb == "off") {
            client.status_on = false;
            tb_action_ok();
        }
    }
}

void status_proc(void*, tb_id, const char* text, std::uint32_t flags)
{
    if (!text) return;
    const bool reply = (flags & tb_status_reply) != 0;
    if (!reply && (flags & tb_status_answer) == 0) return;
    const std::string_view line = put_piece(tb_action_server.piece, text, true);
    for (auto& client : tb_action_server.clients)
        if (reply || client.status_on) emit(client, line);
}

unique_fd open_socket(int type, std::uint16_t port, std::uint16_t& bound_port)
{
    unique_fd fd(::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return fd;
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(console_binding.address);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return unique_fd{};
    if (type == SOCK_STREAM && ::listen(fd.get(), tb_action_server_backlog) != 0) return unique_fd{};
    socklen_t size = sizeof address;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size) == 0)
        bound_port = ntohs(address.sin_port);
    return fd;
}

void init_proc(void* block, tb_id id)
{
    auto& console = tb_action_server;
    console.device = id;
    console.config = static_cast<const tb_action_server_state*>(block);
    console.newcomer.reset();
    console.accepting = accept_state::waiting;
    console.connected = 0;
    console.keep_alive = {};
    console.first_input = 0;
    const std::span<const std::uint8_t, 6> mac(id.bytes.data() + 1, 6);

    std::uint16_t bound = 0;
    console.listener = open_socket(SOCK_STREAM, console_binding.ports[0], bound);
    if (!console.listener.valid())
        tb_syslog_error("tb_action_server_init", id, "unable to open console port %u", console_binding.ports[0]);

    for (int i = 0; i < tb_action_server_clients; ++i) {
        auto& client = console.clients[static_cast<std::size_t>(i)];
        client.socket.reset();
        reset_session(client);
        client.status_on = false;
        client.has_peer = false;
        client.peer = {};
        client.own_port = 0;
        client.id = tb_id_make_id(mac, tb_class_console, static_cast<std::uint8_t>(i));
        client.kind = i < tb_action_server_tcp_clients ? client_kind::tcp : client_kind::udp;
        if (client.kind == client_kind::udp) {
            const auto record = static_cast<std::size_t>(i - tb_action_server_tcp_clients);
            const std::uint16_t port = console_binding.ports[record + 1];
            client.socket = open_socket(SOCK_DGRAM, port, client.own_port);
            if (!client.socket.valid())
                tb_syslog_error("tb_action_server_init", id, "unable to open console port %u", port);
        }
        tb_action_add_proc(action_proc, &client, client.id);
    }
    tb_status_add_proc(status_proc, nullptr, tb_id_broadcast());
}

void task_proc(void*, std::uint32_t)
{
    auto& console = tb_action_server;
    // One poll for every socket, so that an idle console costs a single
    // system call per tick; a failed poll falls back to trying them all.
    std::array<pollfd, 1 + tb_action_server_clients> fds{};
    fds[0] = {console.listener.valid() ? console.listener.get() : -1, POLLIN, 0};
    for (std::size_t i = 0; i < console.clients.size(); ++i)
        fds[1 + i] = {console.clients[i].socket.valid() ? console.clients[i].socket.get() : -1, POLLIN, 0};
    const bool polled = ::poll(fds.data(), fds.size(), 0) >= 0;
    auto ready = [&](std::size_t k) { return !polled || fds[k].revents != 0; };

    accept_step(ready(0));
    for (std::size_t i = 0; i < console.clients.size(); ++i) {
        auto& client = console.clients[i];
        if (!ready(1 + i)) continue;
        if (client.kind == client_kind::tcp)
            read_tcp(client);
        else
            read_udp(client);
    }
    // Lines run in rotating order: when the ring is busy, no client can
    // keep the others waiting by always coming first.
    for (int i = 0; i < tb_action_server_clients; ++i)
        process_input(console.clients[static_cast<std::size_t>((console.first_input + i) %
                                                               tb_action_server_clients)]);
    console.first_input = (console.first_input + 1) % tb_action_server_clients;
    for (auto& client : console.clients) {
        if (is_open(client)) list_step(client);
        flush(client);
    }
}

} // namespace

const tb_task_descriptor tb_action_server_task = {
    .size = sizeof(tb_action_server_state),
    .init_proc = init_proc,
    .task_proc = task_proc,
    .exec_proc = nullptr,
};

std::span<const std::string_view, tb_action_server_help_lines> tb_action_server_help_page() { return help_page; }

std::string_view tb_action_server_credit() { return credit; }

std::size_t tb_action_server_assemble(tb_action_server_line& line, std::span<const std::uint8_t> bytes,
                                      tb_action_server_line_proc procedure, void* context)
{
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::uint8_t byte = bytes[i];
        if (byte == '\r') {
            line.text[line.length] = '\0';
            const std::string_view complete(line.text.data(), line.length);
            line.length = 0;
            line.overflow = false;
            procedure(context, tb_action_server_input::line, complete);
            return i + 1;
        }
        if (byte < 0x20) continue;
        if (line.length < tb_action_server_line_max) {
            line.text[line.length++] = static_cast<char>(byte);
        } else if (!line.overflow) {
            line.overflow = true;
            procedure(context, tb_action_server_input::overflow, {});
        }
    }
    return bytes.size();
}

std::optional<std::string_view> tb_action_server_line_action(std::string_view line)
{
    if (line.empty()) return std::nullopt;
    switch (line[0]) {
    case '1':
        return "list:devices";
    case '2':
        return "list:services";
    case '8':
        return "status:on";
    case '9':
        return "status:off";
    case '?':
        return "help";
    default:
        return line;
    }
}

std::string_view tb_action_server_overflow_text(tb_action_server_piece& piece)
{
    return format_piece(piece, "buffer overflow! limit is %i characters.\n", overflow_limit);
}

std::string_view tb_action_server_dashes(tb_action_server_piece& piece)
{
    return put_piece(piece, dashes_line, false);
}

std::string_view tb_action_server_device_header(tb_action_server_piece& piece)
{
    return format_piece(piece, "%-4s%-16.16s%-18.18s%-26.26s%-16.16s\n", "", "id", "ip address", "name", "version");
}

std::string_view tb_action_server_device_row(tb_action_server_piece& piece, int row, const tb_device_entry& entry)
{
    const std::string id = tb_id_text(entry.id);
    std::array<char, INET_ADDRSTRLEN> address{};
    const in_addr in{htonl(entry.address)};
    if (!inet_ntop(AF_INET, &in, address.data(), address.size())) address[0] = '\0';
    std::array<char, 32> name{};
    tb_device_get_name(entry.id, name);
    const std::string_view name_text = tb_text(name);
    return format_piece(piece, "%-4i#%-15.*s%-18.18s%-26.*s%03i-%02i.%02i.%02i\n", row, column(id, 15), id.data(),
                        address.data(), column(name_text, 26), name_text.data(), entry.version[0], entry.version[1],
                        entry.version[2], entry.version[3]);
}

std::string_view tb_action_server_service_header(tb_action_server_piece& piece)
{
    return format_piece(piece, "%-4s%-16.16s%-18.18s%-26.26s%-14.14s\n", "", "id", "alias", "name", "type");
}

std::string_view tb_action_server_service_row(tb_action_server_piece& piece, int row, const tb_service_record& record)
{
    const std::string id = tb_id_text(record.id);
    std::array<char, tb_service_alias_size> alias{};
    std::array<char, tb_service_name_size> name{};
    std::array<char, tb_service_type_size> type{};
    tb_service_get_alias(record.id, alias);
    tb_service_get_name(record.id, name, true);
    tb_service_get_type(record.id, type);
    const std::string_view alias_text = tb_text(alias), name_text = tb_text(name), type_text = tb_text(type);
    return format_piece(piece, "%-4i#%-15.*s$%-17.*s%-26.*s%-14.*s\n", row, column(id, 15), id.data(),
                        column(alias_text, 17), alias_text.data(), column(name_text, 26), name_text.data(),
                        column(type_text, 14), type_text.data());
}

std::string_view tb_action_server_greeting(tb_action_server_piece& piece, std::size_t index, tb_id device)
{
    switch (index) {
    case 0:
        return format_piece(piece, "Welcome to Halvo Tamber device #%s\n", tb_id_text(device).c_str());
    case 1:
        return tb_action_server_dashes(piece);
    case 2:
        return put_piece(piece, "? = help\n", false);
    case 3:
        return put_piece(piece, "1 = list:devices\n", false);
    case 4:
        return put_piece(piece, "2 = list:services\n", false);
    case 5:
        return put_piece(piece, "8 = status:on\n", false);
    case 6:
        return put_piece(piece, "9 = status:off\n", false);
    case 7:
        return put_piece(piece, "\n", false);
    default:
        return {};
    }
}

void tb_action_server_test_set_binding(std::uint32_t address, std::array<std::uint16_t, 3> ports, int send_buffer)
{
    console_binding = {address, ports, send_buffer};
}

std::array<std::uint16_t, 3> tb_action_server_test_bound_ports()
{
    std::array<std::uint16_t, 3> ports{};
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (::getsockname(tb_action_server.listener.get(), reinterpret_cast<sockaddr*>(&address), &size) == 0)
        ports[0] = ntohs(address.sin_port);
    ports[1] = tb_action_server.clients[tb_action_server_tcp_clients].own_port;
    ports[2] = tb_action_server.clients[tb_action_server_tcp_clients + 1].own_port;
    return ports;
}

std::size_t tb_action_server_test_pending(int client)
{
    if (client < 0 || client >= tb_action_server_clients) return 0;
    return pending_length(tb_action_server.clients[static_cast<std::size_t>(client)]);
}
