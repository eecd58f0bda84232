#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "net/net_fixture.hpp"
#include "net/tb_action.hpp"
#include "net/tb_service.hpp"
#include "net/tb_status.hpp"

namespace {

using tb_test::packet_bytes;

// ---------------------------------------------------------------------------
// The grammar alone: pieces and tokens.

std::vector<std::string> split(std::string_view text)
{
    std::vector<std::string> pieces;
    tb_action_split(text, [&](std::string_view piece) { pieces.emplace_back(piece); });
    return pieces;
}

std::vector<std::string> tokenize(std::string_view command, std::size_t buffer_size = 1024)
{
    std::vector<char> buffer(buffer_size);
    tb_action_tokens tokens;
    const std::size_t n = tb_action_tokenize(command, buffer, tokens);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(tokens[i].data()[tokens[i].size()], '\0') << "token " << i << " not terminated";
        out.emplace_back(tokens[i]);
    }
    for (std::size_t i = n; i < tokens.size(); ++i) EXPECT_TRUE(tokens[i].empty());
    return out;
}

TEST(ActionGrammar, SplitsPiecesAtUnescapedSemicolons)
{
    const struct {
        std::string_view text;
        std::vector<std::string> pieces;
    } cases[] = {
        {"user:select:@server.?;stream:radio", {"user:select:@server.?", "stream:radio"}},
        {"a\\;b;c", {"a;b", "c"}},
        {"a\\:b;c", {"a\\:b", "c"}},
        {"a\\\\;b", {"a\\\\", "b"}},
        {"a;", {"a", ""}},
        {"a\\", {"a"}},
        {"", {""}},
    };
    for (const auto& c : cases) EXPECT_EQ(split(c.text), c.pieces) << c.text;
}

TEST(ActionGrammar, CutsPiecesLongerThanTheBuffer)
{
    const std::string text = std::string(1500, 'a') + ";b";
    const auto pieces = split(text);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0], std::string(tb_action_text_max, 'a'));
    EXPECT_EQ(pieces[1], "b");
}

TEST(ActionGrammar, TokensHonourBackslashesAndStopAtEight)
{
    const struct {
        std::string_view command;
        std::vector<std::string> tokens;
    } cases[] = {
        {"a\\:b:c", {"a:b", "c"}},
        {"room:volume:set:12", {"room", "volume", "set", "12"}},
        {"a\\\\b", {"a\\b"}},
        {"x:", {"x", ""}},
        {"x\\", {"x"}},
        {"", {}},
        {"1:2:3:4:5:6:7:8:9:10", {"1", "2", "3", "4", "5", "6", "7", "8"}},
    };
    for (const auto& c : cases) EXPECT_EQ(tokenize(c.command), c.tokens) << c.command;
}

TEST(ActionGrammar, TokensAreCutToTheBufferAndStayTerminated)
{
    EXPECT_EQ(tokenize("abcdef:gh", 4), std::vector<std::string>{"abc"});
    EXPECT_EQ(tokenize("ab:cd:ef", 6), (std::vector<std::string>{"ab", "cd"}));
    EXPECT_EQ(tokenize("abc", 1), std::vector<std::string>{""});
}

// ---------------------------------------------------------------------------
// Sending, receiving and replies through the LAN core.

struct sent_action {
    tb_id destination;
    std::uint32_t sequence;
    std::size_t length;
    tb_action_ids ids;
    std::string text;
};

struct reply {
    tb_id about;
    std::uint32_t kind;
    std::string text;
};

struct action_call {
    tb_action_ids ids;
    std::vector<std::string> tokens;
};

class ActionTest : public tb_test::NetFixture {
protected:
    void SetUp() override
    {
        NetFixture::SetUp();
        user = tb_service_register_class(tb_class_user, "user");
        tb_service_set_alias(user, "anna");
        kitchen = tb_service_register_class(tb_class_room, "room");
        tb_service_set_alias(kitchen, "kitchen");
        run_ms(30);
        (void)take();
    }

    static std::vector<sent_action> take_actions(const std::vector<packet_bytes>& packets)
    {
        std::vector<sent_action> out;
        for (const auto& p : packets) {
            if (get_u16be(p, tb_off_opcode) != tb_op_action) continue;
            out.push_back({get_id(p, tb_off_destination),
                           get_u32be(p, tb_off_sequence),
                           get_u16be(p, tb_off_length),
                           {get_id(p, tb_action_off_target), get_id(p, tb_action_off_sender),
                            get_id(p, tb_action_off_room), get_id(p, tb_action_off_user)},
                           std::string(get_text(p, tb_action_off_text, p.size() - tb_action_off_text))});
        }
        return out;
    }

    static std::vector<reply> take_replies(const std::vector<packet_bytes>& packets)
    {
        std::vector<reply> out;
        for (const auto& p : packets) {
            if (get_u16be(p, tb_off_opcode) != tb_op_status_answer) continue;
            out.push_back({get_id(p, tb_status_off_id), get_u32be(p, tb_status_off_kind),
                           std::string(get_text(p, tb_status_off_text, p.size() - tb_status_off_text))});
        }
        return out;
    }

    // An action packet as a peer sends it.
    packet_bytes action(tb_id target, tb_id sender, std::string_view text)
    {
        auto p = tb_test::make_packet(tb_op_action, target, tb_test::peer_device(),
                                      tb_action_packet_base + text.size(), ++sequence);
        put_id(p, tb_action_off_target, target);
        put_id(p, tb_action_off_sender, sender);
        put_text(p, tb_action_off_text, text.size() + 1, text);
        return p;
    }

    // A remote service learnt the way the registry learns it: listed in its
    // device's answer, then described by a service answer.
    void add_remote(tb_id device, tb_id id, std::string_view magic, std::string_view alias = "",
                    std::string_view mask = "", std::string_view zone = "")
    {
        remote_ids.push_back(id);
        const std::size_t n = remote_ids.size();
        auto answer = tb_test::make_packet(tb_op_device_answer, tb_id_broadcast(), device,
                                           tb_device_answer_base + 8 * n, ++sequence);
        put_u32be(answer, 36, 0x0AD50002);
        put_u32be(answer, 352, static_cast<std::uint32_t>(n));
        for (std::size_t i = 0; i < n; ++i) put_id(answer, tb_device_answer_base + 8 * i, remote_ids[i]);
        receive(answer);

        auto service = tb_test::make_packet(tb_op_service_answer, tb_id_broadcast(), device,
                                            tb_service_answer_size, ++sequence);
        put_id(service, 36, id);
        put_text(service, 392, tb_service_mask_size, mask);
        put_text(service, 428, tb_service_zone_size, zone);
        put_text(service, 460, tb_service_alias_size, alias);
        put_text(service, 492, tb_service_magic_size, magic);
        receive(service);
        ASSERT_NE(tb_service_get_data(id), nullptr);
        (void)take();
    }

    static void record(void* context, std::span<const tb_id, 4> ids, const tb_action_tokens& tokens)
    {
        auto* calls = static_cast<std::vector<action_call>*>(context);
        action_call call{{ids[0], ids[1], ids[2], ids[3]}, {}};
        for (const auto& token : tokens) call.tokens.emplace_back(token);
        calls->push_back(call);
    }

    std::string alias_head(tb_id id)
    {
        std::array<char, tb_service_alias_size> alias{};
        tb_service_get_alias(id, alias);
        return std::string("$") + alias.data();
    }

    tb_id user{};
    tb_id kitchen{};
    std::uint32_t sequence = 100;
    std::vector<tb_id> remote_ids;
};

TEST_F(ActionTest, TwoPiecesWithoutTargetGoToTheGivenId)
{
    tb_action_send(user, "user:select:@server.?;stream:radio");
    const auto sent = take_actions(take());
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].text, "user:select:@server.?");
    EXPECT_EQ(sent[1].text, "stream:radio");
    for (const auto& a : sent) {
        EXPECT_EQ(a.destination, user);
        EXPECT_EQ(a.ids, (tb_action_ids{user, user, tb_id_unknown(), tb_id_unknown()}));
        EXPECT_NE(a.sequence, 0u);
        EXPECT_EQ(a.length, tb_action_packet_base + a.text.size());
    }
}

TEST_F(ActionTest, AliasAndIdTargetsReplaceOnlyTheTarget)
{
    const tb_id room_id = tb_service_make_id(tb_class_room, 3);
    const tb_action_ids ids{user, user, kitchen, user};
    tb_action_send_ex(ids, "$kitchen:volume:up;mute:on;#" + tb_id_text(room_id) + ":room:off;again");
    const auto sent = take_actions(take());
    ASSERT_EQ(sent.size(), 4u);
    const std::pair<tb_id, std::string> expected[] = {
        {kitchen, "volume:up"}, {kitchen, "mute:on"}, {room_id, "room:off"}, {room_id, "again"}};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(sent[i].destination, expected[i].first) << i;
        EXPECT_EQ(sent[i].ids, (tb_action_ids{expected[i].first, user, kitchen, user})) << i;
        EXPECT_EQ(sent[i].text, expected[i].second) << i;
    }
}

TEST_F(ActionTest, EmptyPiecesWithoutTargetAreSkipped)
{
    tb_action_send(user, "a;;b;");
    const auto sent = take_actions(take());
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].text, "a");
    EXPECT_EQ(sent[1].text, "b");
}

TEST_F(ActionTest, TextEndsAtAnEmbeddedNul)
{
    tb_action_send(user, std::string_view("a:b\0c;d", 7));
    const auto sent = take_actions(take());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].text, "a:b");
    EXPECT_EQ(sent[0].length, tb_action_packet_base + 3);
}

TEST_F(ActionTest, UnknownAliasRepliesUnknownDestinationWithoutPacket)
{
    tb_action_send(user, "$nosuch:x");
    const auto packets = take();
    EXPECT_TRUE(take_actions(packets).empty());
    const auto replies = take_replies(packets);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].about, tb_id_unknown());
    EXPECT_EQ(replies[0].kind, 1u);
    EXPECT_EQ(replies[0].text, "$unknown:$anna:[x]:error:unknown destination");
}

TEST_F(ActionTest, BareDeviceIdIsNoDestination)
{
    const tb_id device = tb_test::peer_device();
    tb_action_send(user, "#" + tb_id_text(device) + ":a\\:b");
    const auto packets = take();
    EXPECT_TRUE(take_actions(packets).empty());
    const auto replies = take_replies(packets);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].about, device);
    EXPECT_EQ(replies[0].text, "$" + tb_id_text(device) + ":$anna:[a\\\\\\:b]:error:unknown destination");
}

TEST_F(ActionTest, ZoneTargetsEveryMemberInRegistryOrder)
{
    const tb_id hall = tb_service_register_class(tb_class_room, "room");
    const tb_id bath = tb_service_register_class(tb_class_room, "room");
    const tb_id attic = tb_service_register_class(tb_class_room, "room");
    tb_service_set_zone(kitchen, "01");
    tb_service_set_zone(hall, "0");
    tb_service_set_zone(bath, "11");
    tb_service_set_zone(attic, "10");
    run_ms(30);
    (void)take();

    const auto targets = [&](std::string_view text) {
        tb_action_send(user, text);
        std::vector<tb_id> out;
        for (const auto& a : take_actions(take())) out.push_back(a.destination);
        return out;
    };
    EXPECT_EQ(targets("@zone.2:room:off"), (std::vector<tb_id>{kitchen, bath}));
    EXPECT_EQ(targets("@zone.1:room:off"), (std::vector<tb_id>{bath, attic}));
    EXPECT_EQ(targets("@zone.0:room:off"), (std::vector<tb_id>{kitchen, hall, bath, attic}));
    EXPECT_EQ(targets("@zone.-4:room:off"), (std::vector<tb_id>{kitchen, hall, bath, attic}));
    // The zone stays the target of pieces that follow without one.
    EXPECT_EQ(targets("@zone.2:room:off;mute:on"), (std::vector<tb_id>{kitchen, bath, kitchen, bath}));
    // A target after a zone ends it.
    EXPECT_EQ(targets("@zone.2:a;$anna:b;c"), (std::vector<tb_id>{kitchen, bath, user, user}));
}

TEST_F(ActionTest, ZoneWithoutMembersRepliesAWarning)
{
    tb_service_set_zone(kitchen, "01");
    run_ms(30);
    (void)take();
    // Position 3 lies beyond every zone text: no member, no read past it.
    for (const char* text : {"@zone.3:room:off", "@zone.31:room:off", "@zone.99999999999999:room:off"}) {
        tb_action_send(user, text);
        const auto packets = take();
        EXPECT_TRUE(take_actions(packets).empty()) << text;
        const auto replies = take_replies(packets);
        ASSERT_EQ(replies.size(), 1u) << text;
        EXPECT_EQ(replies[0].about, user);
        EXPECT_EQ(replies[0].kind, 1u);
        EXPECT_EQ(replies[0].text, "$anna:$anna:[room\\:off]:warning:no zone member found");
    }
}

TEST_F(ActionTest, MagicNamesPreferTheSendersDevice)
{
    const tb_id peer = tb_test::peer_device(0x42);
    const tb_id remote_user = tb_id_make_id(std::array<std::uint8_t, 6>{2, 0, 0, 0, 0, 0x42}, tb_class_user, 0);
    add_remote(peer, remote_user, "user.1");
    const tb_id remote_room = tb_id_make_id(std::array<std::uint8_t, 6>{2, 0, 0, 0, 0, 0x42}, tb_class_room, 0);
    add_remote(peer, remote_room, "room.1");
    const tb_id stranger = tb_id_make_id(std::array<std::uint8_t, 6>{2, 0, 0, 0, 0, 0x77}, tb_class_room, 0);

    EXPECT_EQ(tb_action_get_id_ex(tb_action_ids{kitchen, remote_room, {}, {}}, "@user"), remote_user);
    EXPECT_EQ(tb_action_get_id_ex(tb_action_ids{kitchen, kitchen, {}, {}}, "@user"), user);
    EXPECT_EQ(tb_action_get_id_ex(tb_action_ids{kitchen, kitchen, {}, {}}, "@user.1"), user);
    // No "user.1" on the sender's device: the first on any device.
    EXPECT_EQ(tb_action_get_id_ex(tb_action_ids{kitchen, stranger, {}, {}}, "@user"), user);
    EXPECT_EQ(tb_action_get_id_ex(tb_action_ids{kitchen, tb_id_unknown(), {}, {}}, "@user"), user);
    EXPECT_EQ(tb_action_get_id_ex(tb_action_ids{kitchen, kitchen, {}, {}}, "@user.2"), tb_id_unknown());

    tb_action_send_ex(tb_action_ids{kitchen, remote_room, kitchen, tb_id_unknown()}, "@user:user:select");
    const auto sent = take_actions(take());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].destination, remote_user);
    EXPECT_EQ(sent[0].ids, (tb_action_ids{remote_user, remote_room, kitchen, tb_id_unknown()}));
}

TEST_F(ActionTest, WildcardLookupsFollowTheReferenceMask)
{
    const tb_id first = tb_service_register_class(tb_class_source, "server");
    const tb_id second = tb_service_register_class(tb_class_source, "server");
    tb_service_set_mask(first, "10");
    tb_service_set_mask(second, "01");
    tb_service_set_alias(first, "src.a");
    tb_service_set_alias(second, "src.b");
    tb_service_set_mask(user, "01");
    run_ms(30);

    EXPECT_EQ(tb_magic_get_id("server.?", user, user), second);
    EXPECT_EQ(tb_alias_get_id("src.?", user), second);
    tb_service_set_mask(user, "11");
    EXPECT_EQ(tb_magic_get_id("server.?", user, user), first);
    EXPECT_EQ(tb_alias_get_id("src.?", user), first);
    tb_service_set_mask(user, "00");
    EXPECT_EQ(tb_magic_get_id("server.?", user, user), tb_id_unknown());
    // Without a reference record every mask matches.
    EXPECT_EQ(tb_alias_get_id("src.?", tb_id_unknown()), first);
    EXPECT_EQ(tb_alias_get_id("src.b", tb_id_unknown()), second);
    EXPECT_EQ(tb_alias_get_id("", tb_id_unknown()), tb_id_unknown());
}

TEST_F(ActionTest, MagicNameGetsItsNumberFirstAndIsThenCut)
{
    const std::string name29(29, 'n');
    const std::string name30(30, 'm');
    const tb_id a = tb_service_register_class(tb_class_proxy, name29); // magic: 29 + ".1"
    const tb_id b = tb_service_register_class(tb_class_timer, name30); // magic: 30 + "." (cut)
    EXPECT_EQ(tb_magic_get_id(name29, tb_id_unknown(), tb_id_unknown()), a);
    EXPECT_EQ(tb_magic_get_id(name30, tb_id_unknown(), tb_id_unknown()), b);
    EXPECT_EQ(tb_magic_get_id(std::string(40, 'm'), tb_id_unknown(), tb_id_unknown()), tb_id_unknown());
    EXPECT_EQ(tb_action_get_id(user, "@" + name29), a);
}

TEST_F(ActionTest, TargetTextsOtherThanTheThreeKindsNameNothing)
{
    EXPECT_EQ(tb_action_get_id(user, "kitchen"), tb_id_unknown());
    EXPECT_EQ(tb_action_get_id(user, ""), tb_id_unknown());
    EXPECT_EQ(tb_action_get_id(user, "$kitchen"), kitchen);
    EXPECT_EQ(tb_action_get_id(user, "#" + tb_id_text(kitchen)), kitchen);
    EXPECT_EQ(tb_action_get_id(user, "#R"), tb_id_sscan("R"));
}

TEST_F(ActionTest, LongPiecesAreCutToTheTextLimit)
{
    tb_action_send(user, std::string(1500, 'a'));
    const auto sent = take_actions(take());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].text, std::string(tb_action_text_max, 'a'));
    EXPECT_EQ(sent[0].length, tb_action_packet_base + tb_action_text_max);
}

TEST_F(ActionTest, ReceivedActionsReachTheProceduresOfTheirTarget)
{
    std::vector<action_call> calls, others;
    tb_action_add_proc(record, &calls, kitchen);
    tb_action_add_proc(record, &others, user);
    tb_action_add_proc(
        [](void*, std::span<const tb_id, 4>, const tb_action_tokens&) { tb_action_ok(); }, nullptr, kitchen);

    const tb_id sender = tb_service_make_id(tb_class_menu, 4);
    receive(action(kitchen, sender, "1:2:3:4:5\\:x:6:7:8:9:10"));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(others.empty());
    EXPECT_EQ(calls[0].ids, (tb_action_ids{kitchen, sender, tb_id_unknown(), tb_id_unknown()}));
    EXPECT_EQ(calls[0].tokens, (std::vector<std::string>{"1", "2", "3", "4", "5:x", "6", "7", "8"}));

    const auto replies = take_replies(take());
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].about, kitchen);
    EXPECT_EQ(replies[0].kind, 1u);
    EXPECT_EQ(replies[0].text, "$kitchen:$" + tb_id_text(sender) + ":[1\\:2\\:3\\:4\\:5\\\\\\:x\\:6\\:7\\:8\\:9\\:10]:ok");
}

TEST_F(ActionTest, UnhandledActionsGetCommandNotFoundExceptOnBroadcast)
{
    std::vector<action_call> watcher;
    tb_action_add_proc(record, &watcher, tb_id_broadcast());
    tb_action_add_proc(record, &watcher, kitchen);

    receive(action(kitchen, user, "room:off"));
    auto replies = take_replies(take());
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].text, "$kitchen:$anna:[room\\:off]:error:command not found");

    receive(action(tb_id_broadcast(), user, "room:off"));
    EXPECT_TRUE(take_replies(take()).empty());
    EXPECT_EQ(watcher.size(), 2u);

    // An empty text has no token: no call, no reply.
    receive(action(kitchen, user, ""));
    EXPECT_TRUE(take_replies(take()).empty());
    EXPECT_EQ(watcher.size(), 2u);
}

TEST_F(ActionTest, RepliesCarryMessagesVerbatim)
{
    const auto warn = [](void*, std::span<const tb_id, 4>, const tb_action_tokens& tokens) {
        if (tokens[0] == "w") tb_action_warning(tokens[1]);
        else tb_action_error(tokens[1]);
    };
    tb_action_add_proc(warn, nullptr, kitchen);
    receive(action(kitchen, user, "w:%s%n%x"));
    receive(action(kitchen, user, "e:a\\\\b\\:c"));
    const auto replies = take_replies(take());
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].text, "$kitchen:$anna:[w\\:%s%n%x]:warning:%s%n%x");
    EXPECT_EQ(replies[1].text, "$kitchen:$anna:[e\\:a\\\\\\\\b\\\\\\:c]:error:a\\\\b\\:c");
}

TEST_F(ActionTest, MalformedActionPacketsAreBoundedOrDropped)
{
    std::vector<action_call> calls;
    tb_action_add_proc(record, &calls, kitchen);
    const auto proc_handles = [](void*, std::span<const tb_id, 4>, const tb_action_tokens&) { tb_action_handled(); };
    tb_action_add_proc(proc_handles, nullptr, kitchen);

    auto too_short = action(kitchen, user, "");
    too_short.resize(tb_action_packet_base - 1);
    put_u16be(too_short, tb_off_length, static_cast<std::uint16_t>(too_short.size()));
    receive(too_short);
    EXPECT_TRUE(calls.empty());

    auto open_text = action(kitchen, user, "abc:de");
    open_text.pop_back(); // no NUL: the text ends with the datagram
    put_u16be(open_text, tb_off_length, static_cast<std::uint16_t>(open_text.size()));
    receive(open_text);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].tokens[0], "abc");
    EXPECT_EQ(calls[0].tokens[1], "de");

    auto huge = action(kitchen, user, "");
    huge.resize(tb_packet_max_size);
    std::fill(huge.begin() + tb_action_off_text, huge.end(), 'q');
    put_u16be(huge, tb_off_length, static_cast<std::uint16_t>(huge.size()));
    receive(huge);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].tokens[0], std::string(tb_action_text_max, 'q'));
    EXPECT_EQ(tb_action_text().size(), tb_action_text_max);
    EXPECT_TRUE(take_replies(take()).empty());
}

TEST_F(ActionTest, ForwardResendsTheReceivedTextUnlessItWouldLoop)
{
    static tb_action_ids forward_to;
    const auto forward = [](void*, std::span<const tb_id, 4>, const tb_action_tokens&) {
        tb_action_forward(forward_to);
    };
    tb_action_add_proc(forward, nullptr, kitchen);

    forward_to = {user, kitchen, kitchen, user};
    receive(action(kitchen, user, "#X;y\\:z"));
    auto packets = take();
    EXPECT_TRUE(take_replies(packets).empty());
    auto sent = take_actions(packets);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].destination, user);
    EXPECT_EQ(sent[0].ids, forward_to);
    EXPECT_EQ(sent[0].text, "#X;y\\:z");

    forward_to = {user, user, kitchen, user};
    receive(action(kitchen, user, "a"));
    packets = take();
    ASSERT_EQ(packets.size(), 1u); // the log only: no packet, no reply
    ASSERT_EQ(get_u16be(packets[0], tb_off_opcode), tb_op_syslog);
    EXPECT_TRUE(syslog_text(packets[0]).starts_with("E "));
    EXPECT_NE(syslog_text(packets[0]).find("tb_action_forward:action feedback"), std::string::npos);

    forward_to = {tb_id_broadcast(), kitchen, kitchen, user};
    receive(action(kitchen, user, "a"));
    EXPECT_TRUE(take().empty());
}

TEST_F(ActionTest, HandledReportsThePreviousFlag)
{
    static std::vector<bool> seen;
    seen.clear();
    tb_action_add_proc(
        [](void*, std::span<const tb_id, 4>, const tb_action_tokens&) {
            seen.push_back(tb_action_handled());
            seen.push_back(tb_action_handled());
        },
        nullptr, kitchen);
    receive(action(kitchen, user, "a"));
    EXPECT_EQ(seen, (std::vector<bool>{false, true}));
    EXPECT_TRUE(take_replies(take()).empty());
}

TEST_F(ActionTest, EscapeDoublesSpecialCharactersWithinItsBuffer)
{
    EXPECT_EQ(tb_action_escape("a:b\\c"), "a\\:b\\\\c");
    EXPECT_EQ(tb_action_escape(""), "");
    const std::string colons(1023, ':');
    EXPECT_EQ(tb_action_escape(colons).size(), 2046u);
    const std::string many(5000, ':');
    const auto escaped = tb_action_escape(many);
    EXPECT_LE(escaped.size(), 2 * (tb_action_text_max + 1));
    EXPECT_EQ(escaped.size() % 2, 0u); // never half an escape
}

TEST_F(ActionTest, TableFullIsReported)
{
    std::vector<action_call> calls;
    for (int i = 0; i < tb_action_capacity; ++i) tb_action_add_proc(record, &calls, user);
    (void)take();
    std::vector<action_call> late;
    tb_action_add_proc(record, &late, kitchen);
    const auto logs = take(tb_op_syslog);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_NE(syslog_text(logs[0]).find("tb_action_add_proc:unable to add new handler"), std::string::npos);
    receive(action(kitchen, user, "a"));
    EXPECT_TRUE(late.empty());
}

} // namespace
