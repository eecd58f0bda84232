#include "control/tb_action_server.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "net/net_fixture.hpp"
#include "net/tb_action.hpp"
#include "net/tb_service.hpp"
#include "net/tb_status.hpp"

namespace {

using tb_test::packet_bytes;

// ---------------------------------------------------------------------------
// Line assembly and shortcuts, without sockets.

struct assembled {
    std::vector<std::string> lines;
    int overflows = 0;
};

void collect(void* context, tb_action_server_input input, std::string_view line)
{
    auto& out = *static_cast<assembled*>(context);
    if (input == tb_action_server_input::overflow)
        ++out.overflows;
    else
        out.lines.emplace_back(line);
}

assembled assemble_all(tb_action_server_line& line, std::string_view text)
{
    assembled out;
    std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    while (!bytes.empty()) bytes = bytes.subspan(tb_action_server_assemble(line, bytes, collect, &out));
    return out;
}

TEST(ConsoleLine, AssemblesLinesAtCarriageReturn)
{
    const std::string high = "\xC3\xA4\x7F";
    const struct {
        std::string input;
        std::vector<std::string> lines;
    } cases[] = {
        {"abc\r", {"abc"}},
        {"abc\r\n", {"abc"}},
        {"abc\n", {}},
        {"abc\ndef\r", {"abcdef"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"\r", {""}},
        {"\r\r", {"", ""}},
        {std::string("a\x01\tb\0c\x1f\r", 8), {"abc"}},
        {high + "\r", {high}},
        {"no end", {}},
    };
    for (const auto& c : cases) {
        tb_action_server_line line;
        const auto out = assemble_all(line, c.input);
        EXPECT_EQ(out.lines, c.lines) << c.input;
        EXPECT_EQ(out.overflows, 0) << c.input;
    }
}

TEST(ConsoleLine, KeepsAnUnfinishedLineForTheNextRead)
{
    tb_action_server_line line;
    EXPECT_TRUE(assemble_all(line, "list:dev").lines.empty());
    EXPECT_EQ(assemble_all(line, "ices\r").lines, std::vector<std::string>{"list:devices"});
}

TEST(ConsoleLine, ConsumesOneLineAtATime)
{
    tb_action_server_line line;
    assembled out;
    const std::string text = "a\rbb\rc";
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    EXPECT_EQ(tb_action_server_assemble(line, bytes, collect, &out), 2u);
    EXPECT_EQ(tb_action_server_assemble(line, bytes.subspan(2), collect, &out), 3u);
    EXPECT_EQ(tb_action_server_assemble(line, bytes.subspan(5), collect, &out), 1u);
    EXPECT_EQ(out.lines, (std::vector<std::string>{"a", "bb"}));
}

TEST(ConsoleLine, ReportsOverflowOncePerLineAndKeeps1023Characters)
{
    const struct {
        std::size_t length;
        int overflows;
    } cases[] = {{1022, 0}, {1023, 0}, {1024, 1}, {1500, 1}, {100000, 1}};
    for (const auto& c : cases) {
        tb_action_server_line line;
        std::string text;
        for (std::size_t i = 0; i < c.length; ++i) text += static_cast<char>('a' + i % 26);
        const auto out = assemble_all(line, text + "\r");
        ASSERT_EQ(out.lines.size(), 1u);
        EXPECT_EQ(out.overflows, c.overflows) << c.length;
        EXPECT_EQ(out.lines[0], text.substr(0, 1023)) << c.length;
    }
    // The flag belongs to one line: the next long line reports again.
    tb_action_server_line line;
    const auto out = assemble_all(line, std::string(1100, 'x') + "\r" + std::string(1100, 'y') + "\rshort\r");
    EXPECT_EQ(out.overflows, 2);
    ASSERT_EQ(out.lines.size(), 3u);
    EXPECT_EQ(out.lines[2], "short");
}

TEST(ConsoleLine, FirstCharacterSelectsTheShortcut)
{
    const struct {
        std::string_view line;
        std::optional<std::string_view> action;
    } cases[] = {
        {"", std::nullopt},
        {"1", "list:devices"},
        {"12", "list:devices"},
        {"2", "list:services"},
        {"21", "list:services"},
        {"8", "status:on"},
        {"9", "status:off"},
        {"?", "help"},
        {"?anything", "help"},
        {"help:ego", "help:ego"},
        {" 1", " 1"},
        {"3", "3"},
        {"#R0254420000011:room:off", "#R0254420000011:room:off"},
    };
    for (const auto& c : cases) EXPECT_EQ(tb_action_server_line_action(c.line), c.action) << c.line;
}

// ---------------------------------------------------------------------------
// Texts and formatting.

TEST(ConsoleText, HelpPageHas61LinesOf79Characters)
{
    const auto page = tb_action_server_help_page();
    ASSERT_EQ(page.size(), 61u);
    for (std::size_t i = 0; i < page.size(); ++i) {
        EXPECT_EQ(page[i].size(), 79u) << "line " << i + 1;
        EXPECT_EQ(page[i].find_first_of("\r\n"), std::string_view::npos) << "line " << i + 1;
    }
    EXPECT_TRUE(page[0].starts_with("Tamber actions (please read the Halvo Tamber manual"));
    EXPECT_EQ(page[1], std::string(79, '-'));
    EXPECT_TRUE(page[60].starts_with(" +- :optical                         +- :favorite"));
    EXPECT_FALSE(tb_action_server_credit().empty());
    EXPECT_EQ(tb_action_server_credit().find('\n'), std::string_view::npos);
}

TEST(ConsoleText, GreetingPieces)
{
    tb_action_server_piece piece;
    const std::array<std::uint8_t, 6> mac = {0x02, 0x54, 0x42, 0xD5, 0x00, 0x01};
    const tb_id device = tb_id_make_id(mac, 0, 0);
    std::string greeting;
    std::size_t pieces = 0;
    for (std::string_view text; !(text = tb_action_server_greeting(piece, pieces, device)).empty(); ++pieces)
        greeting += text;
    EXPECT_EQ(pieces, 8u);
    EXPECT_EQ(greeting, "Welcome to Halvo Tamber device #0025442D500010\n" + std::string(79, '-') +
                            "\n? = help\n1 = list:devices\n2 = list:services\n8 = status:on\n9 = status:off\n\n");
    EXPECT_EQ(tb_action_server_overflow_text(piece), "buffer overflow! limit is 1024 characters.\n");
}

class ConsoleFormat : public tb_test::NetFixture {};

TEST_F(ConsoleFormat, DeviceListColumns)
{
    tb_action_server_piece piece;
    EXPECT_EQ(tb_action_server_device_header(piece),
              "    id              ip address        name                      version         \n");
    tb_device_entry entry;
    entry.used = 1;
    entry.id = tb_test::peer_device(0x42);
    entry.address = 0x0AD50002;
    entry.version = {1, 2, 3, 200};
    tb_device_entry* registered = tb_device_register(entry.id);
    ASSERT_NE(registered, nullptr);
    const std::string long_name = "a name far longer than the twenty-six columns";
    std::copy_n(long_name.begin(), 31, registered->name.begin());
    EXPECT_EQ(tb_action_server_device_row(piece, 7, entry),
              "7   #" + tb_id_text(entry.id) + " 10.213.0.2        a name far longer than the001-02.03.200\n");
}

TEST_F(ConsoleFormat, ServiceListColumns)
{
    tb_action_server_piece piece;
    EXPECT_EQ(tb_action_server_service_header(piece),
              "    id              alias             name                      type          \n");
    const tb_id user = tb_service_register_class(tb_class_user, "user");
    tb_service_set_alias(user, "an_alias_longer_than_seventeen");
    tb_service_set_name(user, "01:Kitchen");
    tb_service_set_type(user, "SYN.00.user");
    const auto* record = tb_service_get_data(user);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(tb_action_server_service_row(piece, 12, *record),
              "12  #" + tb_id_text(user) + " $an_alias_longer_t01:Kitchen                SYN.00.user   \n");
}

// ---------------------------------------------------------------------------
// The console on loopback sockets, with the LAN loop closed by hand.

class console_client {
public:
    explicit console_client(std::uint16_t port, int receive_buffer = 0)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (receive_buffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    console_client(const console_client&) = delete;
    console_client& operator=(const console_client&) = delete;
    ~console_client() { close(); }

    bool connected() const { return connected_; }
    void close()
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // Closes with a reset instead of an orderly shutdown.
    void reset()
    {
        const linger abort{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        close();
    }
    ssize_t try_send(std::string_view text)
    {
        return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    void send(std::string_view text)
    {
        ASSERT_EQ(::send(fd_, text.data(), text.size(), MSG_NOSIGNAL), ssize_t(text.size()));
    }

    // Everything readable now; eof tells whether the server closed.
    std::string drain(int wait_ms = 20)
    {
        std::string out;
        std::array<char, 65536> buffer{};
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, wait_ms) <= 0) break;
            const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n == 0) eof = true;
            if (n <= 0) break;
            out.append(buffer.data(), static_cast<std::size_t>(n));
        }
        return out;
    }

    bool eof = false;

private:
    int fd_ = -1;
    bool connected_ = false;
};

std::vector<std::string> split_lines(std::string_view text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string_view::npos; start = end + 1)
        lines.emplace_back(text.substr(start, end - start));
    if (start < text.size()) lines.emplace_back(text.substr(start));
    return lines;
}

class ConsoleServer : public tb_test::NetFixture {
protected:
    void SetUp() override
    {
        NetFixture::SetUp();
        tb_action_server_test_set_binding(INADDR_LOOPBACK, {0, 0, 0}, 8192);
        auto* state = tb_task_add_state<tb_action_server_state>(tb_action_server_task, tb_device_own_id());
        ASSERT_NE(state, nullptr);
        state->help_page = tb_action_server_help_page();
        port = tb_action_server_test_bound_ports()[0];
        ASSERT_NE(port, 0);
    }

    void TearDown() override
    {
        tb_action_server_test_set_binding(INADDR_ANY, {11244, 11244, 11245});
        NetFixture::TearDown();
    }

    static tb_id client_id(int index)
    {
        const tb_id own = tb_device_own_id();
        return tb_id_make_id(std::span<const std::uint8_t, 6>(own.bytes.data() + 1, 6), tb_class_console,
                             static_cast<std::uint8_t>(index));
    }

    // Runs ticks and hands every packet the server sent back to it, as the
    // multicast loopback does; returns the action texts that went out.
    std::vector<std::string> settle(int rounds = 8)
    {
        std::vector<std::string> actions;
        for (int i = 0; i < rounds; ++i) {
            run_ms(9);
            for (const auto& packet : take()) {
                if (get_u16be(packet, tb_off_opcode) == tb_op_action)
                    actions.emplace_back(get_text(packet, tb_action_off_text, packet.size()));
                receive(packet);
            }
        }
        return actions;
    }

    static packet_bytes status_answer(tb_id about, std::uint32_t kind, std::string_view text)
    {
        auto packet = tb_test::make_packet(tb_op_status_answer, tb_id_broadcast(), about,
                                           tb_status_answer_base + text.size());
        put_id(packet, tb_status_off_id, about);
        put_u32be(packet, tb_status_off_kind, kind);
        put_text(packet, tb_status_off_text, text.size() + 1, text);
        return packet;
    }

    std::string greeting() const
    {
        tb_action_server_piece piece;
        std::string text;
        for (std::size_t i = 0; i < 8; ++i) text += tb_action_server_greeting(piece, i, tb_device_own_id());
        return text;
    }

    std::uint16_t port = 0;
};

TEST_F(ConsoleServer, GreetsAndGreetsAgainOnAnEmptyLine)
{
    console_client client(port);
    ASSERT_TRUE(client.connected());
    settle(1);
    EXPECT_EQ(client.drain(), greeting());
    client.send("\r\n");
    settle(1);
    EXPECT_EQ(client.drain(), greeting());
    client.send("\n");
    settle(1);
    EXPECT_EQ(client.drain(), "");
}

TEST_F(ConsoleServer, ShortcutsAndLinesBecomeActionsOfTheClient)
{
    console_client client(port);
    settle(1);
    client.drain();
    client.send("12\r9\r\n?\rroom:off\r");
    // One line per tick; every action goes to the client's own id.
    std::vector<std::string> actions;
    for (int i = 0; i < 8; ++i) {
        run_ms(3);
        for (const auto& packet : take(tb_op_action)) {
            EXPECT_EQ(get_id(packet, tb_action_off_target), client_id(0));
            EXPECT_EQ(get_id(packet, tb_action_off_sender), client_id(0));
            actions.emplace_back(get_text(packet, tb_action_off_text, packet.size()));
        }
    }
    EXPECT_EQ(actions, (std::vector<std::string>{"list:devices", "status:off", "help", "room:off"}));
}

TEST_F(ConsoleServer, OverlongLineReportsOnceAndRunsItsFirst1023Characters)
{
    console_client client(port);
    settle(1);
    client.drain();
    const std::string line = "#" + tb_id_text(client_id(5)) + ":" + std::string(1500 - 16, 'x');
    client.send(line + "\r");
    std::vector<std::string> actions;
    for (int i = 0; i < 4; ++i) {
        run_ms(3);
        for (const auto& packet : take(tb_op_action))
            actions.emplace_back(get_text(packet, tb_action_off_text, packet.size()));
    }
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_EQ(actions[0], line.substr(16, 1023 - 16));
    EXPECT_EQ(client.drain(), "buffer overflow! limit is 1024 characters.\n");
}

TEST_F(ConsoleServer, HelpPageAndCredit)
{
    console_client client(port);
    settle(1);
    client.drain();
    client.send("?\r");
    settle();
    const auto lines = split_lines(client.drain());
    ASSERT_EQ(lines.size(), 62u);
    const auto page = tb_action_server_help_page();
    for (std::size_t i = 0; i < page.size(); ++i) EXPECT_EQ(lines[i], page[i]);
    EXPECT_EQ(lines[61], "");

    client.send("help:ego\r");
    settle();
    EXPECT_EQ(client.drain(), std::string(tb_action_server_credit()) + "\n\n");
}

TEST_F(ConsoleServer, ListsSendOneRowPerTick)
{
    tb_device_register(tb_test::peer_device(0x42));
    tb_device_register(tb_test::peer_device(0x43));
    console_client client(port);
    settle(1);
    client.drain();
    client.send("1\r");
    std::vector<packet_bytes> actions;
    for (int i = 0; i < 4 && actions.empty(); ++i) {
        run_ms(3);
        actions = take(tb_op_action);
    }
    ASSERT_EQ(actions.size(), 1u);
    // Close the loop for the one action and watch the rows arrive.
    receive(actions[0]);
    std::vector<std::string> rows;
    for (int tick = 0; tick < 5; ++tick) {
        tb_test::fake_now += 3;
        tb_core_task(tb_test::fake_now);
        auto got = split_lines(client.drain());
        // The header leaves with the first row, then one row per tick.
        if (tick == 0) {
            ASSERT_EQ(got.size(), 3u);
            EXPECT_TRUE(got[0].starts_with("    id              ip address"));
            EXPECT_EQ(got[1], std::string(79, '-'));
            got.erase(got.begin(), got.begin() + 2);
        }
        EXPECT_LE(got.size(), 1u) << "tick " << tick;
        rows.insert(rows.end(), got.begin(), got.end());
    }
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_TRUE(rows[0].starts_with("1   #" + tb_id_text(tb_device_own_id())));
    EXPECT_TRUE(rows[1].starts_with("2   #" + tb_id_text(tb_test::peer_device(0x42)) + " 0.0.0.0 "));
    EXPECT_TRUE(rows[2].starts_with("3   #" + tb_id_text(tb_test::peer_device(0x43))));
    EXPECT_EQ(rows[3], "");

    // A new list starts again from the header.
    client.send("2\r");
    settle();
    const auto services = split_lines(client.drain());
    ASSERT_GE(services.size(), 3u);
    EXPECT_TRUE(services[0].starts_with("    id              alias"));
    EXPECT_EQ(services.back(), "");
}

TEST_F(ConsoleServer, StatusFeedShowsRepliesToAllAndStatusOnlyWhenOn)
{
    console_client watcher(port);
    console_client other(port);
    settle(1);
    watcher.drain();
    other.drain();
    const tb_id room = tb_test::peer_device(0x42);
    const tb_id room_service = tb_id_make_id(std::span<const std::uint8_t, 6>(room.bytes.data() + 1, 6), 1, 0);

    receive(status_answer(room_service, 0, "$kitchen:volume:10"));
    receive(status_answer(room_service, 1, "$kitchen:$x:[room:off]:ok"));
    settle(1);
    EXPECT_EQ(watcher.drain(), "$kitchen:$x:[room:off]:ok\n");
    EXPECT_EQ(other.drain(), "$kitchen:$x:[room:off]:ok\n");

    watcher.send("8\r");
    bool requested = false;
    for (int i = 0; i < 6; ++i) {
        run_ms(3);
        for (const auto& packet : take()) {
            requested |= get_u16be(packet, tb_off_opcode) == tb_op_status_request &&
                         get_id(packet, tb_off_destination) == tb_id_broadcast();
            receive(packet);
        }
    }
    EXPECT_TRUE(requested);
    receive(status_answer(room_service, 0, "$kitchen:volume:11"));
    settle(1);
    EXPECT_EQ(watcher.drain(), "$kitchen:volume:11\n");
    EXPECT_EQ(other.drain(), "");

    watcher.send("9\r");
    settle();
    const std::string ok = watcher.drain();
    EXPECT_NE(ok.find("[status\\:off]:ok\n"), std::string::npos) << ok;
    EXPECT_EQ(other.drain(), ok) << "replies reach every client";
    receive(status_answer(room_service, 0, "$kitchen:volume:12"));
    settle(1);
    EXPECT_EQ(watcher.drain(), "");
}

TEST_F(ConsoleServer, NinthClientProbesAndOnlyAnsweringClientsStay)
{
    std::vector<std::unique_ptr<console_client>> clients;
    for (int i = 0; i < 8; ++i) {
        clients.push_back(std::make_unique<console_client>(port));
        settle(1);
        EXPECT_EQ(clients.back()->drain(), greeting()) << i;
    }
    console_client ninth(port);
    settle(1);
    for (auto& client : clients) EXPECT_EQ(client->drain(), "keep_alive\n");
    EXPECT_EQ(ninth.drain(), "");
    for (int i = 0; i < 4; ++i) clients[static_cast<std::size_t>(i)]->send("\r");
    run_ms(3100);
    (void)take();
    for (int i = 0; i < 8; ++i) {
        auto& client = *clients[static_cast<std::size_t>(i)];
        client.drain();
        EXPECT_EQ(client.eof, i >= 4) << i;
    }
    EXPECT_EQ(ninth.drain(), greeting());
    EXPECT_FALSE(ninth.eof);
}

TEST_F(ConsoleServer, NinthClientIsClosedWhenEveryoneAnswers)
{
    std::vector<std::unique_ptr<console_client>> clients;
    for (int i = 0; i < 8; ++i) clients.push_back(std::make_unique<console_client>(port));
    settle(4);
    for (auto& client : clients) client->drain();
    console_client ninth(port);
    settle(1);
    for (auto& client : clients) {
        EXPECT_EQ(client->drain(), "keep_alive\n");
        client->send("\r");
    }
    run_ms(3100);
    EXPECT_EQ(ninth.drain(), "");
    EXPECT_TRUE(ninth.eof);
    for (auto& client : clients) {
        client->drain();
        EXPECT_FALSE(client->eof);
    }
}

TEST_F(ConsoleServer, VanishingClientsFreeTheirRecords)
{
    for (int round = 0; round < 3; ++round) {
        std::vector<std::unique_ptr<console_client>> clients;
        for (int i = 0; i < 8; ++i) clients.push_back(std::make_unique<console_client>(port));
        settle(4);
        for (std::size_t i = 0; i < clients.size(); ++i) {
            clients[i]->send("1\rhalf a li");
            if (i % 2) clients[i]->reset(); else clients[i]->close();
        }
        settle(2);
    }
    // All eight records are free again: eight more clients are greeted
    // without any keep-alive probe.
    std::vector<std::unique_ptr<console_client>> clients;
    for (int i = 0; i < 8; ++i) clients.push_back(std::make_unique<console_client>(port));
    settle(4);
    for (auto& client : clients) EXPECT_EQ(client->drain(), greeting());
}

TEST_F(ConsoleServer, SlowReaderGetsWholeLinesOnlyAndNeverBlocks)
{
    console_client slow(port, 2048);
    console_client fast(port);
    settle(1);
    slow.drain();
    fast.drain();
    // Far more help pages than the socket buffers hold.
    for (int i = 0; i < 60; ++i) tb_action_send(client_id(0), "help");
    for (const auto& packet : take()) receive(packet);
    EXPECT_GT(tb_action_server_test_pending(0), 0u);
    EXPECT_LE(tb_action_server_test_pending(0), tb_action_server_pending_size);

    // Meanwhile the other client is served at once.
    fast.send("help:ego\r");
    settle(2);
    EXPECT_EQ(fast.drain(), std::string(tb_action_server_credit()) + "\n\n");

    std::string received;
    for (int i = 0; i < 400; ++i) {
        received += slow.drain();
        run_ms(3);
        (void)take();
        if (tb_action_server_test_pending(0) == 0 && i > 10) break;
    }
    received += slow.drain();
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.back(), '\n');
    const auto page = tb_action_server_help_page();
    const std::set<std::string_view> known(page.begin(), page.end());
    std::size_t help_lines = 0;
    for (const auto& line : split_lines(received)) {
        EXPECT_TRUE(line.empty() || known.contains(line)) << "spliced line: " << line;
        help_lines += !line.empty();
    }
    // Whole pages were dropped, not parts of lines.
    EXPECT_GT(help_lines, 0u);
    EXPECT_LT(help_lines, 60u * 61u);
}

TEST_F(ConsoleServer, ArbitraryInputKeepsTheServerRunning)
{
    console_client client(port);
    settle(1);
    client.drain();
    std::string junk;
    std::uint32_t seed = 12345;
    for (int i = 0; i < 50000; ++i) {
        seed = seed * 1103515245u + 12345u;
        junk += static_cast<char>(seed >> 16);
    }
    // The server reads only in its ticks: feed it while ticking.
    std::string_view rest = junk;
    for (int i = 0; i < 20000 && !rest.empty(); ++i) {
        const ssize_t n = client.try_send(rest);
        if (n > 0) rest.remove_prefix(static_cast<std::size_t>(n));
        run_ms(3);
        for (const auto& packet : take()) receive(packet);
        client.drain(0);
    }
    EXPECT_TRUE(rest.empty());
    client.send("\rhelp:ego\r");
    std::string got;
    for (int i = 0; i < 20000 && got.find(tb_action_server_credit()) == std::string::npos; ++i) {
        run_ms(3);
        for (const auto& packet : take()) receive(packet);
        got += client.drain(0);
    }
    EXPECT_NE(got.find(tb_action_server_credit()), std::string::npos);
}

} // namespace
