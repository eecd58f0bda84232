#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/tb_action_base.hpp"
#include "net/manifest_fixture.hpp"
#include "net/tb_action.hpp"
#include "net/tb_service.hpp"
#include "net/tb_status.hpp"

namespace {

using tb_test::packet_bytes;
using tb_test::sent_packets;

struct action_packet {
    tb_id target, sender, room, user;
    std::string text;
};

struct reply {
    tb_id about;
    std::uint32_t kind = 0;
    std::string text;
};

// Served services on the server: two users, one room and one source with an
// action base each; a peer device with two rooms and two sources.
class ActionBaseTest : public tb_test::ManifestFixture {
protected:
    tb_id user{}, user2{}, room{}, source{};
    tb_id peer{}, peer_room{}, peer_room2{}, s1{}, s2{};
    tb_id console{};

    void SetUp() override
    {
        ManifestFixture::SetUp();
        user = serve(tb_class_user, "user");
        user2 = serve(tb_class_user, "user");
        room = serve(tb_class_room, "room");
        source = serve(tb_class_source, "server");
        console = tb_service_make_id(tb_class_console, 0);
        peer = tb_test::peer_device();
        peer_room = tb_test::peer_service_id(tb_class_room, 0);
        peer_room2 = tb_test::peer_service_id(tb_class_room, 1);
        s1 = tb_test::peer_service_id(tb_class_source, 0);
        s2 = tb_test::peer_service_id(tb_class_source, 1);
        tb_test::list_peer_services(peer, {peer_room, peer_room2, s1, s2});
        run_ms(30);
        (void)take();
    }

    static tb_id serve(std::uint8_t service_class, std::string_view name)
    {
        const tb_id id = tb_service_register_class(service_class, name);
        tb_task_add(tb_action_base_task, id);
        return id;
    }

    // A join as a peer's packet announces it.
    void peer_join(tb_id id, tb_id joined)
    {
        auto packet = tb_test::make_packet(tb_op_service_join, tb_id_broadcast(), peer, 52);
        put_id(packet, 36, id);
        put_id(packet, 44, joined);
        receive(packet);
        run_ms(6); // the registry reports the change
    }

    // Hands an action to the server as a peer's packet and returns what the
    // server sent in reply; the server's own packets are looped back.
    sent_packets act(tb_id target, std::string_view text, tb_id room_id = tb_id_unknown(),
                     tb_id user_id = tb_id_unknown(), tb_id sender = tb_id_unknown())
    {
        if (tb_id_is_unknown(sender)) sender = console;
        auto packet = tb_test::make_packet(tb_op_action, target, peer, tb_action_packet_base + text.size());
        put_id(packet, tb_action_off_target, target);
        put_id(packet, tb_action_off_sender, sender);
        put_id(packet, tb_action_off_room, room_id);
        put_id(packet, tb_action_off_user, user_id);
        put_text(packet, tb_action_off_text, text.size() + 1, text);
        receive(packet);
        sent_packets sent = take_sent();
        for (const auto& p : sent.all)
            if (packet_for_me(tb_packet{p})) receive(p);
        sent.append(pump(30));
        return sent;
    }

    static std::vector<action_packet> actions(const sent_packets& sent)
    {
        std::vector<action_packet> out;
        for (const auto& p : sent.with(tb_op_action))
            out.push_back({get_id(p, tb_action_off_target), get_id(p, tb_action_off_sender),
                           get_id(p, tb_action_off_room), get_id(p, tb_action_off_user),
                           std::string(get_text(p, tb_action_off_text, p.size() - tb_action_off_text))});
        return out;
    }

    static std::vector<reply> replies(const sent_packets& sent)
    {
        std::vector<reply> out;
        for (const auto& p : sent.with(tb_op_status_answer))
            out.push_back({get_id(p, tb_status_off_id), get_u32be(p, tb_status_off_kind),
                           std::string(get_text(p, tb_status_off_text, p.size() - tb_status_off_text))});
        return out;
    }

    // The answer of the action layer about target: "ok", "warning:…" or
    // "error:…"; empty when there was none.
    static std::string answer(const sent_packets& sent, tb_id target)
    {
        for (const auto& r : replies(sent)) {
            if (r.kind != tb_status_kind_reply || r.about != target) continue;
            const std::size_t end = r.text.find("]:");
            if (end != std::string::npos) return r.text.substr(end + 2);
        }
        return {};
    }

    static std::string id_text(tb_id id) { return "#" + tb_id_text(id); }
    static tb_id joined(tb_id id) { return tb_service_get_join_id(id); }
};

TEST_F(ActionBaseTest, SystemOffSwitchesEveryRoomOff)
{
    peer_join(peer_room, user);
    peer_join(peer_room2, s1);
    peer_join(user, s1);
    const auto sent = act(user2, "system:off");
    EXPECT_EQ(answer(sent, user2), "ok");
    EXPECT_TRUE(tb_id_is_unknown(joined(peer_room)));
    EXPECT_TRUE(tb_id_is_unknown(joined(peer_room2)));
    ASSERT_EQ(sent.with(tb_op_service_leave).size(), 1u);
    EXPECT_EQ(get_id(sent.with(tb_op_service_leave)[0], 36), tb_id_broadcast());
    EXPECT_EQ(joined(user), s1) << "users stay with their source";
}

TEST_F(ActionBaseTest, UnhandledModulesAndVerbsAreLeftToTheActionLayer)
{
    for (const char* text : {"debug:x", "system:on", "name:other", "user:dance"}) {
        const auto sent = act(user, text);
        EXPECT_EQ(answer(sent, user), "error:command not found") << text;
    }
}

TEST_F(ActionBaseTest, NameSetAndGet)
{
    EXPECT_EQ(answer(act(user, "name:set:07\\:Kitchen"), user), "ok");
    std::array<char, tb_service_name_size> name{};
    tb_service_get_name(user, name, true);
    EXPECT_EQ(tb_text(name), "07:Kitchen");

    const auto sent = act(user, "name:get");
    const auto all = replies(sent);
    ASSERT_EQ(all.size(), 1u) << "handled without ok, warning or error";
    EXPECT_EQ(all[0].kind, tb_status_kind_reply);
    EXPECT_EQ(all[0].about, user);
    EXPECT_EQ(all[0].text, "$" + tb_id_text(user) + ":name=Kitchen");
}

TEST_F(ActionBaseTest, RoomVerbs)
{
    const struct {
        const char* text;
        std::string expected;
    } refused[] = {
        {"room:on", "error:don't know what service to select"},
        {"room:select", "error:service cannot be selected"},
        {"room:refer", "error:service cannot be referenced"},
    };
    for (const auto& c : refused) EXPECT_EQ(answer(act(room, c.text), room), c.expected) << c.text;
    EXPECT_EQ(answer(act(room, "room:select:" + id_text(peer_room)), room), "error:service cannot be selected");
    EXPECT_EQ(answer(act(room, "room:refer:" + id_text(s1)), room), "error:service cannot be referenced");
    EXPECT_TRUE(tb_id_is_unknown(joined(room)));

    EXPECT_EQ(answer(act(room, "room:select:" + id_text(s1)), room), "ok");
    EXPECT_EQ(joined(room), s1);
    EXPECT_EQ(answer(act(room, "room:select:" + id_text(user)), room), "ok");
    EXPECT_EQ(joined(room), user);

    peer_join(peer_room, s2);
    EXPECT_EQ(answer(act(room, "room:refer:" + id_text(peer_room)), room), "ok");
    EXPECT_EQ(joined(room), s2) << "the room plays what the other plays";
}

TEST_F(ActionBaseTest, RoomOnAfterOffJoinsTheLastService)
{
    act(room, "room:select:" + id_text(s1));
    EXPECT_EQ(answer(act(room, "room:off:" + id_text(s2)), room), "warning:service does not match");
    EXPECT_EQ(joined(room), s1);
    EXPECT_EQ(answer(act(room, "room:off:" + id_text(s1)), room), "ok");
    EXPECT_TRUE(tb_id_is_unknown(joined(room)));
    EXPECT_EQ(answer(act(room, "room:on"), room), "ok");
    EXPECT_EQ(joined(room), s1);

    // A join made elsewhere becomes the last service too.
    peer_join(room, s2);
    act(room, "room:off");
    act(room, "room:on");
    EXPECT_EQ(joined(room), s2);
}

TEST_F(ActionBaseTest, RevertSwitchesBetweenTheLastTwoTargets)
{
    act(user, "user:select:" + id_text(s1));
    act(user, "user:select:" + id_text(s2));
    EXPECT_EQ(answer(act(user, "user:revert"), user), "ok");
    EXPECT_EQ(joined(user), s1);
    EXPECT_EQ(answer(act(user, "user:revert:" + id_text(s1)), user), "ok");
    EXPECT_EQ(joined(user), s2);
    EXPECT_EQ(answer(act(user, "user:revert:" + id_text(s1)), user), "warning:service does not match");
    EXPECT_EQ(joined(user), s2);
}

TEST_F(ActionBaseTest, UserSelectAndRefer)
{
    EXPECT_EQ(answer(act(user, "user:select:" + id_text(peer_room)), user), "error:service cannot be selected");
    EXPECT_EQ(answer(act(user, "user:select:" + id_text(user2)), user), "error:service cannot be selected");
    EXPECT_EQ(answer(act(user, "user:refer:" + id_text(s1)), user), "error:service cannot be referenced");

    // The room plays for user2, user2 listens to s2: the user joins s2.
    peer_join(user2, s2);
    peer_join(peer_room, user2);
    EXPECT_EQ(answer(act(user, "user:refer:" + id_text(peer_room)), user), "ok");
    EXPECT_EQ(joined(user), s2);
    peer_join(peer_room2, s1);
    EXPECT_EQ(answer(act(user, "user:refer:" + id_text(peer_room2)), user), "ok");
    EXPECT_EQ(joined(user), s1);
}

TEST_F(ActionBaseTest, UserReferNeverJoinsTheUserToARoom)
{
    // user2 cross-joined to a room by a stray join packet.
    peer_join(user2, peer_room);
    EXPECT_EQ(answer(act(user, "user:refer:" + id_text(user2)), user), "error:service cannot be referenced");
    EXPECT_TRUE(tb_id_is_unknown(joined(user)));
}

TEST_F(ActionBaseTest, UserVolumeReachesEveryJoinedRoom)
{
    EXPECT_EQ(answer(act(user, "user:volume:plus"), user), "warning:no matching room found");

    peer_join(peer_room, user);
    peer_join(peer_room2, user);
    peer_join(user2, user); // a stray join of another class is no room
    const struct {
        std::string text;
        std::string sent;
    } cases[] = {
        {"user:volume:plus", "room:volume:relative:plus"},
        {"user:volume:minus", "room:volume:relative:minus"},
        {"user:volume:set:-5.00", "room:volume:relative:set:-5.00"},
    };
    for (const auto& c : cases) {
        const auto sent = act(user, c.text, tb_id_unknown(), tb_id_unknown(), s1);
        const auto out = actions(sent);
        ASSERT_EQ(out.size(), 2u) << c.text;
        EXPECT_EQ(out[0].target, peer_room);
        EXPECT_EQ(out[1].target, peer_room2);
        for (const auto& a : out) {
            EXPECT_EQ(a.text, c.sent);
            EXPECT_EQ(a.sender, s1);
            EXPECT_EQ(a.user, user);
        }
        EXPECT_EQ(answer(sent, user), "") << "handled without a reply";
    }
}

TEST_F(ActionBaseTest, UserVolumeValueStaysOneToken)
{
    peer_join(peer_room, user);
    const auto out = actions(act(user, "user:volume:set:5\\;system\\:off"));
    ASSERT_EQ(out.size(), 1u);
    std::array<char, 1024> buffer{};
    tb_action_tokens tokens;
    ASSERT_EQ(tb_action_tokenize(out[0].text, buffer, tokens), 5u) << out[0].text;
    EXPECT_EQ(tokens[4], "5;system:off");
}

TEST_F(ActionBaseTest, ForwardingFollowsTheJoinGraph)
{
    // A user passes other modules to its source.
    EXPECT_EQ(answer(act(user, "source:next"), user), "warning:cannot forward action");
    peer_join(user, s1);
    auto out = actions(act(user, "source:next", peer_room, tb_id_unknown()));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].target, s1);
    EXPECT_EQ(out[0].sender, console);
    EXPECT_EQ(out[0].room, peer_room);
    EXPECT_EQ(out[0].user, user);
    EXPECT_EQ(out[0].text, "source:next");

    // A room passes other modules, and "user" while it plays for a user.
    act(room, "room:select:" + id_text(user));
    const auto sent = act(room, "user:volume:plus");
    out = actions(sent);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].target, user);
    EXPECT_EQ(out[0].room, room);
    EXPECT_EQ(out[0].text, "user:volume:plus");
    EXPECT_EQ(out[1].target, room);
    EXPECT_EQ(out[1].text, "room:volume:relative:plus");
}

TEST_F(ActionBaseTest, UserPassesRoomActionsToItsRooms)
{
    EXPECT_EQ(answer(act(user, "room:mute:on"), user), "warning:no matching room found");
    peer_join(peer_room, user);
    const auto out = actions(act(user, "room:mute:on", peer_room2));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].target, peer_room);
    EXPECT_EQ(out[0].room, peer_room2);
    EXPECT_EQ(out[0].user, user);
    EXPECT_EQ(out[0].text, "room:mute:on");
}

TEST_F(ActionBaseTest, CrossJoinsAreNotForwardedAround)
{
    // Stray joins: a user to a room, a room to a room, a user to a user.
    struct {
        tb_id served, stray;
    } cases[] = {{user, peer_room}, {room, peer_room}, {user, user2}};
    for (const auto& c : cases) {
        peer_join(c.served, c.stray);
        ASSERT_EQ(joined(c.served), c.stray);
        const auto sent = act(c.served, "source:next");
        EXPECT_EQ(answer(sent, c.served), "warning:cannot forward action");
        EXPECT_TRUE(actions(sent).empty() || actions(sent)[0].target != c.stray);
    }
}

TEST_F(ActionBaseTest, StreamActionsJoinTheSendersRoomAndUser)
{
    act(source, "stream:radio", peer_room, tb_id_unknown());
    EXPECT_EQ(joined(peer_room), source);
    act(source, "stream:radio", peer_room2, user);
    EXPECT_EQ(joined(user), source);
    EXPECT_EQ(joined(peer_room2), user);
    act(source, "stream:radio", tb_id_unknown(), user2);
    EXPECT_EQ(joined(user2), source);
    // Ids of the wrong class are not joined.
    act(source, "stream:radio", s1, tb_id_unknown());
    EXPECT_TRUE(tb_id_is_unknown(joined(s1)));
}

TEST(ActionBaseGraph, MayForward)
{
    const std::array<std::uint8_t, 6> mac{2, 0, 0, 0, 0, 9};
    const auto id = [&](std::uint8_t c) { return tb_id_make_id(mac, c, 0); };
    const struct {
        std::uint8_t from, to;
        bool allowed;
    } cases[] = {
        {tb_class_room, tb_class_user, true},    {tb_class_room, tb_class_source, true},
        {tb_class_room, tb_class_room, false},   {tb_class_room, tb_class_none, false},
        {tb_class_user, tb_class_source, true},  {tb_class_user, tb_class_room, false},
        {tb_class_user, tb_class_user, false},   {tb_class_source, tb_class_user, false},
        {tb_class_knx, tb_class_source, false},  {tb_class_user, tb_class_broadcast, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(tb_action_base_may_forward(id(c.from), id(c.to)), c.allowed) << int(c.from) << "->" << int(c.to);
}

} // namespace
