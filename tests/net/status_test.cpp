#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "net/net_fixture.hpp"
#include "net/tb_service.hpp"
#include "net/tb_status.hpp"

namespace {

using tb_test::packet_bytes;

struct status_call {
    tb_id id;
    bool has_text;
    std::string text;
    std::uint32_t flags;
};

struct recorder {
    std::vector<status_call> calls;
    static void proc(void* context, tb_id id, const char* text, std::uint32_t flags)
    {
        static_cast<recorder*>(context)->calls.push_back({id, text != nullptr, text ? text : "", flags});
    }
};

struct sent_status {
    tb_id destination;
    std::uint32_t sequence;
    std::size_t length;
    tb_id id;
    std::uint32_t kind;
    std::uint16_t volume;
    std::uint16_t volume_flag;
    std::string text;
};

sent_status decode_status(const packet_bytes& p)
{
    return {get_id(p, tb_off_destination),     get_u32be(p, tb_off_sequence),
            get_u16be(p, tb_off_length),       get_id(p, tb_status_off_id),
            get_u32be(p, tb_status_off_kind),  get_u16be(p, tb_status_off_volume),
            get_u16be(p, tb_status_off_volume_flag),
            std::string(get_text(p, tb_status_off_text, p.size() - tb_status_off_text))};
}

class StatusTest : public tb_test::NetFixture {
protected:
    void SetUp() override
    {
        NetFixture::SetUp();
        user = tb_service_register_class(tb_class_user, "user");
        tb_service_set_alias(user, "anna");
        run_ms(30);
        (void)take();
    }

    std::vector<sent_status> take_status()
    {
        std::vector<sent_status> out;
        for (const auto& p : take(tb_op_status_answer)) out.push_back(decode_status(p));
        return out;
    }

    // A status answer as another device sends it.
    static packet_bytes answer(tb_id about, std::uint32_t kind, std::string_view text, std::uint16_t volume = 0,
                               std::uint16_t flag = 0)
    {
        auto p = tb_test::make_packet(tb_op_status_answer, tb_id_broadcast(), tb_test::peer_device(),
                                      tb_status_answer_base + text.size());
        put_id(p, tb_status_off_id, about);
        put_u32be(p, tb_status_off_kind, kind);
        put_u16be(p, tb_status_off_volume, volume);
        put_u16be(p, tb_status_off_volume_flag, flag);
        put_text(p, tb_status_off_text, text.size() + 1, text);
        return p;
    }

    tb_id user{};
};

TEST_F(StatusTest, FieldsAreEscapedAndSentUnrepeatedToEveryDevice)
{
    tb_status_start(user);
    tb_status_printf("%s", "a:b\\c");
    tb_status_printf("n=%d", 5);
    EXPECT_TRUE(tb_status_send(nullptr, tb_status_kind_status));

    const auto sent = take_status();
    ASSERT_EQ(sent.size(), 1u);
    const std::string expected = "$anna:a\\:b\\\\c:n=5";
    EXPECT_EQ(sent[0].text, expected);
    EXPECT_EQ(sent[0].destination, tb_id_broadcast());
    EXPECT_EQ(sent[0].sequence, 0u);
    EXPECT_EQ(sent[0].length, tb_status_answer_base + expected.size());
    EXPECT_EQ(sent[0].id, user);
    EXPECT_EQ(sent[0].kind, 0u);
    EXPECT_EQ(sent[0].volume, 0u);
    EXPECT_EQ(sent[0].volume_flag, 0u);
}

TEST_F(StatusTest, HeadIsTheIdTextWithoutAliasAndUnknownForTheUnknownId)
{
    const tb_id bare = tb_service_make_id(tb_class_room, 7);
    tb_status_start(bare);
    EXPECT_EQ(tb_status_text(), "$" + tb_id_text(bare));
    tb_status_start(tb_id_unknown());
    EXPECT_EQ(tb_status_text(), "$unknown");
}

TEST_F(StatusTest, VolumeAndFlagTravelWithTheAnswer)
{
    tb_status_volume(300, 258);
    tb_status_start(user);
    tb_status_send(nullptr, tb_status_kind_reply);
    const auto sent = take_status();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].kind, 1u);
    EXPECT_EQ(sent[0].volume, 300u);
    EXPECT_EQ(sent[0].volume_flag, 2u);
}

TEST_F(StatusTest, CacheSuppressesAnUnchangedStringUntilCleared)
{
    tb_status_cache cache{};
    const auto publish = [&](const char* state) {
        tb_status_start(user);
        tb_status_printf("%s", state);
        return tb_status_send(&cache, 0);
    };
    EXPECT_TRUE(publish("play"));
    EXPECT_FALSE(publish("play"));
    EXPECT_TRUE(publish("stop"));
    tb_status_clear(&cache);
    EXPECT_TRUE(publish("stop"));

    const auto sent = take_status();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].text, "$anna:play");
    EXPECT_EQ(sent[1].text, "$anna:stop");
    EXPECT_EQ(sent[2].text, "$anna:stop");
}

TEST_F(StatusTest, StringEndsWithTheLastPieceThatFitted)
{
    tb_status_start(user); // "$anna": 5 characters
    const std::string filler(998, 'a');
    tb_status_printf("%s", filler.c_str()); // 1004
    tb_status_printf("%s", std::string(18, 'b').c_str()); // ":" fits, the text would make 1023
    EXPECT_EQ(tb_status_text().size(), 1005u);
    EXPECT_EQ(tb_status_text().back(), ':');
    tb_status_printf("%s", std::string(16, 'c').c_str()); // 1006 + 16: exactly 1022
    EXPECT_EQ(tb_status_text().size(), 1022u);
    EXPECT_TRUE(tb_status_text().ends_with(":" + std::string(16, 'c')));

    tb_status_start(user);
    tb_status_printf("%s", std::string(1016, 'd').c_str()); // 5 + 1 + 1016 = 1022
    EXPECT_EQ(tb_status_text().size(), 1022u);
    tb_status_printf("x"); // nothing more fits
    EXPECT_EQ(tb_status_text().size(), 1022u);
    tb_status_send(nullptr, 0);
    const auto sent = take_status();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].text.size(), 1022u);
    EXPECT_EQ(sent[0].length, tb_status_answer_base + 1022);
}

TEST_F(StatusTest, EscapingThatDoublesALongFieldNeverOverruns)
{
    tb_status_start(user);
    tb_status_printf("%s", std::string(1023, ':').c_str()); // escapes to 2046 characters
    EXPECT_EQ(tb_status_text(), "$anna:");

    tb_status_start(user);
    tb_status_printf("%s", std::string(500, '\\').c_str()); // 1000 escaped characters fit
    EXPECT_EQ(tb_status_text().size(), 6u + 1000u);
}

TEST_F(StatusTest, RequestsFlagTheMatchingProceduresAndBroadcastWatchers)
{
    recorder own, other, watcher;
    const tb_id second = tb_service_make_id(tb_class_user, 1);
    tb_status_add_proc(recorder::proc, &own, user);
    tb_status_add_proc(recorder::proc, &other, second);
    tb_status_add_proc(recorder::proc, &watcher, tb_id_broadcast());

    receive(tb_test::make_packet(tb_op_status_request, user, tb_test::peer_device(), 36, 1));
    run_ms(30);
    ASSERT_EQ(own.calls.size(), 1u);
    EXPECT_EQ(own.calls[0].flags, tb_status_publish | tb_status_requested);
    EXPECT_FALSE(own.calls[0].has_text);
    EXPECT_EQ(own.calls[0].id, user);
    EXPECT_TRUE(other.calls.empty());
    ASSERT_EQ(watcher.calls.size(), 1u);
    EXPECT_EQ(watcher.calls[0].id, tb_id_broadcast());

    receive(tb_test::make_packet(tb_op_status_request, tb_id_broadcast(), tb_test::peer_device(), 36, 2));
    run_ms(30);
    EXPECT_EQ(own.calls.size(), 2u);
    ASSERT_EQ(other.calls.size(), 1u);
    EXPECT_EQ(other.calls[0].flags, 3u);
    EXPECT_EQ(watcher.calls.size(), 2u);

    tb_status_update(second, false);
    run_ms(30);
    ASSERT_EQ(other.calls.size(), 2u);
    EXPECT_EQ(other.calls[1].flags, tb_status_publish);
    EXPECT_EQ(own.calls.size(), 2u);
}

TEST_F(StatusTest, FlagsAreDeliveredOnceAndMayBeRaisedAgainFromTheProcedure)
{
    struct self_flagging {
        tb_id id;
        int calls = 0;
        static void proc(void* context, tb_id, const char*, std::uint32_t)
        {
            auto* self = static_cast<self_flagging*>(context);
            if (++self->calls == 1) tb_status_update(self->id, false);
        }
    } state{user};
    tb_status_add_proc(self_flagging::proc, &state, user);
    tb_status_update(user, true);
    run_ms(30);
    EXPECT_EQ(state.calls, 2);
}

TEST_F(StatusTest, RequestQueuesARepeatedHeaderOnlyPacket)
{
    tb_status_request(user);
    const auto sent = take(tb_op_status_request);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].size(), tb_packet_header_size);
    EXPECT_EQ(get_id(sent[0], tb_off_destination), user);
    EXPECT_NE(get_u32be(sent[0], tb_off_sequence), 0u);
}

TEST_F(StatusTest, AnswersReachWatchersWithKindFlagAndStoreTheVolume)
{
    recorder own, watcher, other;
    tb_status_add_proc(recorder::proc, &own, user);
    tb_status_add_proc(recorder::proc, &watcher, tb_id_broadcast());
    tb_status_add_proc(recorder::proc, &other, tb_service_make_id(tb_class_user, 1));

    receive(answer(user, 0, "$anna:play", 30, 2));
    receive(answer(user, 1, "$anna:$x:[a]:ok"));
    ASSERT_EQ(own.calls.size(), 2u);
    EXPECT_EQ(own.calls[0].flags, tb_status_answer);
    EXPECT_EQ(own.calls[0].text, "$anna:play");
    EXPECT_EQ(own.calls[0].id, user);
    EXPECT_EQ(own.calls[1].flags, tb_status_reply);
    EXPECT_EQ(watcher.calls.size(), 2u);
    EXPECT_EQ(watcher.calls[0].id, user);
    EXPECT_TRUE(other.calls.empty());

    tb_volume volume;
    tb_service_get_volume(user, volume);
    EXPECT_EQ(volume.volume, 0); // the second answer carried 0 and 0
    receive(answer(user, 0, "$anna:play", 30, 2));
    tb_service_get_volume(user, volume);
    EXPECT_EQ(volume.volume, 30);
    EXPECT_EQ(volume.flag, 2);
}

TEST_F(StatusTest, MalformedAnswersAreBoundedOrDropped)
{
    recorder watcher;
    tb_status_add_proc(recorder::proc, &watcher, tb_id_broadcast());

    // Shorter than id, kind, volume, flag and a NUL: dropped.
    auto short_packet = answer(user, 0, "");
    short_packet.resize(tb_status_answer_base - 1);
    put_u16be(short_packet, tb_off_length, static_cast<std::uint16_t>(short_packet.size()));
    receive(short_packet);
    EXPECT_TRUE(watcher.calls.empty());

    // No NUL: the text ends with the datagram.
    auto open_text = answer(user, 0, "abcdefgh");
    open_text.pop_back();
    put_u16be(open_text, tb_off_length, static_cast<std::uint16_t>(open_text.size()));
    receive(open_text);
    ASSERT_EQ(watcher.calls.size(), 1u);
    EXPECT_EQ(watcher.calls[0].text, "abcdefgh");

    // A full datagram of text without NUL: cut to 1023 characters.
    auto huge = answer(user, 0, "");
    huge.resize(tb_packet_max_size);
    std::fill(huge.begin() + tb_status_off_text, huge.end(), 'z');
    put_u16be(huge, tb_off_length, static_cast<std::uint16_t>(huge.size()));
    receive(huge);
    ASSERT_EQ(watcher.calls.size(), 2u);
    EXPECT_EQ(watcher.calls[1].text, std::string(tb_status_wire_max, 'z'));
}

TEST_F(StatusTest, TableFullIsReportedAndTheProcedureIgnored)
{
    recorder sink;
    for (int i = 0; i < tb_status_capacity; ++i) tb_status_add_proc(recorder::proc, &sink, user);
    (void)take();
    recorder late;
    tb_status_add_proc(recorder::proc, &late, user);
    const auto logs = take(tb_op_syslog);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_NE(syslog_text(logs[0]).find("F #"), std::string::npos);
    EXPECT_NE(syslog_text(logs[0]).find("tb_status_add_proc:unable to add new handler"), std::string::npos);
    receive(answer(user, 0, "x"));
    EXPECT_TRUE(late.calls.empty());
    EXPECT_EQ(sink.calls.size(), static_cast<std::size_t>(tb_status_capacity));
}

} // namespace
