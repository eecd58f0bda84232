#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "net/net_fixture.hpp"
#include "net/tb_service.hpp"

namespace {

using tb_test::packet_bytes;

constexpr std::uint32_t peer_nonce = 0x55667788;

// One call of a service-event procedure, as seen by the recorder below.
struct event_call {
    tb_id id;
    std::uint32_t bits;
};

void record_event(void *context, tb_service_record &record, std::uint32_t bits) {
    static_cast<std::vector<event_call> *>(context)->push_back({record.id, bits});
}

std::string text_at(const packet_bytes &packet, std::size_t off, std::size_t size) {
    return std::string(get_text(packet, off, size));
}

class ServiceTest : public tb_test::NetFixture {
  protected:
    tb_id peer = tb_test::peer_device();

    static tb_id peer_service(std::uint8_t service_class, std::uint8_t index,
                              tb_id device = tb_test::peer_device()) {
        std::array<std::uint8_t, 6> mac{};
        std::copy_n(device.bytes.begin() + 1, 6, mac.begin());
        return tb_id_make_id(mac, service_class, index);
    }

    // A device answer listing ids, handed straight to the registry.
    static packet_bytes device_answer(tb_id source, const std::vector<tb_id> &ids,
                                      std::uint32_t nonce = peer_nonce, std::int64_t claimed = -1) {
        auto packet = tb_test::make_packet(tb_op_device_answer, tb_id_broadcast(), source,
                                           tb_device_answer_base + 8 * ids.size(), 0, nonce);
        put_u32be(packet, 352,
                  claimed < 0 ? static_cast<std::uint32_t>(ids.size())
                              : static_cast<std::uint32_t>(claimed));
        for (std::size_t k = 0; k < ids.size(); ++k)
            put_id(packet, tb_device_answer_base + 8 * k, ids[k]);
        return packet;
    }

    static void list_services(tb_id source, const std::vector<tb_id> &ids,
                              std::uint32_t nonce = peer_nonce) {
        const auto packet = device_answer(source, ids, nonce);
        tb_service_set_device_answer(tb_packet{packet});
    }

    struct answer_texts {
        std::string type{}, name{}, info{}, mask{}, zone{}, alias{}, magic{}, flag{}, cover{},
            stream{};
    };

    static packet_bytes service_answer(tb_id service, tb_id joined, const answer_texts &t,
                                       std::uint32_t nonce = peer_nonce, std::uint32_t stamp = 0) {
        auto packet =
            tb_test::make_packet(tb_op_service_answer, tb_id_broadcast(),
                                 tb_id_get_device_id(service), tb_service_answer_size, 0, nonce);
        put_id(packet, 36, service);
        put_id(packet, 44, joined);
        put_u32be(packet, 52, stamp);
        put_text(packet, 56, 16, t.type);
        put_text(packet, 72, 64, t.name);
        put_text(packet, 136, 256, t.info);
        put_text(packet, 392, 36, t.mask);
        put_text(packet, 428, 32, t.zone);
        put_text(packet, 460, 32, t.alias);
        put_text(packet, 492, 32, t.magic);
        put_text(packet, 524, 16, t.flag);
        put_text(packet, 540, 256, t.cover);
        put_text(packet, 796, 16, t.stream);
        return packet;
    }

    static packet_bytes join_packet(tb_id service, tb_id joined, std::size_t size = 52) {
        auto packet = tb_test::make_packet(tb_op_service_join, tb_id_broadcast(),
                                           tb_test::peer_device(), size);
        put_id(packet, 36, service);
        put_id(packet, 44, joined);
        return packet;
    }

    static packet_bytes leave_packet(tb_id service, std::size_t size = 44) {
        auto packet = tb_test::make_packet(tb_op_service_leave, tb_id_broadcast(),
                                           tb_test::peer_device(), size);
        put_id(packet, 36, service);
        return packet;
    }

    static std::vector<std::string> syslog_lines() {
        std::vector<std::string> lines;
        for (const auto &packet : take(tb_op_syslog))
            lines.push_back(syslog_text(packet));
        return lines;
    }

    static bool logged(const std::vector<std::string> &lines, const std::string &text) {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string &l) { return l.find(text) != std::string::npos; });
    }

    // Runs enough ticks for every record to be visited once.
    static void visit_all() { run_ms(3 * 1100); }
};

TEST_F(ServiceTest, RegisterClassTakesTheNextFreeIndexWithItsMagic) {
    for (int i = 0; i < 3; ++i) {
        const tb_id id = tb_service_register_class(tb_class_user, "user");
        EXPECT_EQ(tb_id_get_service_index(id), i);
        EXPECT_TRUE(tb_id_compare_device(id, tb_device_own_id()));
        std::array<char, tb_service_magic_size> magic{};
        tb_service_get_magic(id, magic);
        EXPECT_EQ(tb_text(magic), "user." + std::to_string(i + 1));
        ASSERT_NE(tb_service_get_data(id), nullptr);
        EXPECT_TRUE(tb_service_get_data(id)->local);
    }
    tb_service_unregister_id(tb_service_make_id(tb_class_user, 1));
    EXPECT_EQ(tb_id_get_service_index(tb_service_register_class(tb_class_user, "user")), 1);
    EXPECT_EQ(tb_id_get_service_index(tb_service_register_class(tb_class_user, "user")), 3);
}

TEST_F(ServiceTest, RegisterClassRefusesAThirtySeventhServiceAndCutsLongMagics) {
    const std::string long_name(40, 'k');
    for (int i = 0; i < 36; ++i)
        tb_service_register_class(tb_class_knx, long_name);
    (void)take();
    EXPECT_TRUE(tb_id_is_unknown(tb_service_register_class(tb_class_knx, long_name)));
    EXPECT_TRUE(logged(syslog_lines(), "unable to register new service class"));
    const auto *record = tb_service_get_data(tb_service_make_id(tb_class_knx, 0));
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(tb_text(record->magic), std::string(31, 'k'));
}

TEST_F(ServiceTest, UnregisterUnknownIdWarns) {
    tb_service_unregister_id(tb_service_make_id(tb_class_proxy, 3));
    EXPECT_TRUE(logged(syslog_lines(), "trying to unregister unknown service"));
}

struct setter_case {
    const char *what;
    bool (*set)(tb_id, std::string_view);
    std::size_t field_size;
    std::uint32_t bit;
};

const setter_case setter_cases[] = {
    {"type", tb_service_set_type, tb_service_type_size, tb_event_type},
    {"name", tb_service_set_name, tb_service_name_size, tb_event_name},
    {"info", tb_service_set_info, tb_service_info_size, tb_event_info},
    {"mask", tb_service_set_mask, tb_service_mask_size, tb_event_mask},
    {"alias", tb_service_set_alias, tb_service_alias_size, tb_event_alias},
    {"password", tb_service_set_password, tb_service_password_size, tb_event_password},
    {"stream", tb_service_set_stream, tb_service_stream_size, tb_event_stream},
    {"cover", tb_service_set_cover, tb_service_cover_size, tb_event_cover},
    {"zone", tb_service_set_zone, tb_service_zone_size, tb_event_zone},
};

TEST_F(ServiceTest, SettersReportChangesOnceAndCutToTheField) {
    const tb_id id = tb_service_register_class(tb_class_user, "user");
    std::vector<event_call> events;
    tb_service_add_proc(record_event, &events, id);
    run_ms(3);
    events.clear();
    for (const auto &c : setter_cases) {
        SCOPED_TRACE(c.what);
        const std::string long_text(c.field_size + 10, 'x');
        EXPECT_TRUE(c.set(id, long_text));
        EXPECT_TRUE(tb_service_get_data(id)->dirty);
        EXPECT_FALSE(c.set(id, long_text)) << "the same value is no change";
        EXPECT_FALSE(c.set(id, std::string(c.field_size - 1, 'x')))
            << "stored cut to field size minus one";
        run_ms(3);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].bits & c.bit, c.bit);
        events.clear();
    }
}

TEST_F(ServiceTest, SettersRefuseRemoteAndUnknownServices) {
    const tb_id remote = peer_service(tb_class_room, 0);
    list_services(peer, {remote});
    const tb_id unknown = tb_service_make_id(tb_class_timer, 7);
    (void)take();
    for (const auto &c : setter_cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(c.set(remote, "x"));
        EXPECT_FALSE(c.set(unknown, "x"));
        const auto lines = syslog_lines();
        EXPECT_TRUE(logged(lines, std::string("trying to set ") + c.what + " of external service"));
        EXPECT_TRUE(logged(lines, std::string("trying to set ") + c.what + " of unknown service"));
    }
    EXPECT_FALSE(tb_service_set_flag(remote, 0, true));
    EXPECT_TRUE(logged(syslog_lines(), "trying to set flag of external service"));
    EXPECT_FALSE(tb_service_set_magic(tb_service_register_class(tb_class_user, "user"), "x"));
    EXPECT_TRUE(logged(syslog_lines(), "trying to change magic of service"));
}

TEST_F(ServiceTest, FlagsFillFifteenPositionsAndIgnoreOthers) {
    const tb_id id = tb_service_register_class(tb_class_user, "user");
    EXPECT_TRUE(tb_service_set_flag(id, 3, true));
    EXPECT_EQ(tb_text(tb_service_get_data(id)->flag), "000100000000000");
    EXPECT_TRUE(tb_service_get_flag(id, 3));
    EXPECT_FALSE(tb_service_get_flag(id, 2));
    EXPECT_FALSE(tb_service_set_flag(id, 3, true));
    EXPECT_FALSE(tb_service_set_flag(id, 15, true));
    EXPECT_FALSE(tb_service_set_flag(id, -1, true));
    EXPECT_FALSE(tb_service_get_flag(id, 15));
    EXPECT_TRUE(tb_service_set_flag(id, 3, false));
    EXPECT_EQ(tb_text(tb_service_get_data(id)->flag), "000000000000000");
}

TEST_F(ServiceTest, GettersFallBackForUnknownIdsAndEmptyTexts) {
    const tb_id id = tb_service_register_class(tb_class_user, "user");
    const tb_id missing = tb_service_make_id(tb_class_user, 9);
    std::array<char, tb_service_type_size> type{};
    std::array<char, tb_service_name_size> name{};
    std::array<char, tb_service_alias_size> alias{};
    std::array<char, tb_service_magic_size> magic{};
    std::array<char, tb_service_stream_size> stream{};
    std::array<char, tb_service_info_size> info{};

    tb_service_get_type(id, type);
    EXPECT_EQ(tb_text(type), "type not set");
    tb_service_get_type(missing, type);
    EXPECT_EQ(tb_text(type), "unknown type");
    tb_service_get_name(missing, name, false);
    EXPECT_EQ(tb_text(name), "Unknown Service");
    tb_service_get_name(id, name, false);
    EXPECT_EQ(tb_text(name), tb_id_text(id));
    tb_service_set_name(id, "01:Kitchen");
    tb_service_get_name(id, name, false);
    EXPECT_EQ(tb_text(name), "Kitchen");
    tb_service_get_name(id, name, true);
    EXPECT_EQ(tb_text(name), "01:Kitchen");
    tb_service_set_name(id, "Kitchen:left");
    tb_service_get_name(id, name, false);
    EXPECT_EQ(tb_text(name), "Kitchen:left");

    tb_service_get_alias(tb_id_unknown(), alias);
    EXPECT_EQ(tb_text(alias), "unknown");
    tb_service_get_alias(missing, alias);
    EXPECT_EQ(tb_text(alias), tb_id_text(missing));
    tb_service_get_alias(id, alias);
    EXPECT_EQ(tb_text(alias), tb_id_text(id));
    tb_service_get_magic(tb_id_unknown(), magic);
    EXPECT_EQ(tb_text(magic), "unknown");
    tb_service_get_stream(id, stream);
    EXPECT_EQ(tb_text(stream), "unknown");
    tb_service_get_info(missing, info);
    EXPECT_EQ(tb_text(info), "");
    EXPECT_TRUE(tb_id_is_unknown(tb_service_get_join_id(missing)));
}

TEST_F(ServiceTest, CoverIsAbsoluteOrJoinedToTheWebBaseUrlWithoutOverrun) {
    const tb_id id = tb_service_register_class(tb_class_source, "server");
    std::array<char, tb_service_cover_url_size> cover{};
    tb_service_get_cover(tb_service_make_id(tb_class_source, 9), cover);
    EXPECT_EQ(tb_text(cover), "");

    tb_service_set_cover(id, "img/radio.png");
    tb_service_get_cover(id, cover);
    EXPECT_EQ(tb_text(cover), std::string(tb_device_own_url()) + "img/radio.png");

    tb_service_set_cover(id, "http://example.invalid/a.jpg");
    tb_service_get_cover(id, cover);
    EXPECT_EQ(tb_text(cover), "http://example.invalid/a.jpg");

    const std::string long_cover(300, 'c');
    tb_service_set_cover(id, long_cover);
    tb_service_get_cover(id, cover);
    EXPECT_EQ(tb_text(cover), std::string(tb_device_own_url()) + std::string(255, 'c'));
}

TEST_F(ServiceTest, DirtyLocalRecordIsAnnouncedOnceWithItsTexts) {
    const tb_id id = tb_service_register_class(tb_class_user, "user");
    tb_service_set_name(id, "Anna");
    tb_service_set_alias(id, "anna");
    tb_service_set_password(id, "secret");
    visit_all();
    auto answers = take(tb_op_service_answer);
    ASSERT_EQ(answers.size(), 1u);
    const auto &a = answers[0];
    EXPECT_EQ(a.size(), tb_service_answer_size);
    EXPECT_EQ(get_id(a, tb_off_destination), tb_id_broadcast());
    EXPECT_EQ(get_id(a, 36), id);
    EXPECT_EQ(text_at(a, 72, 64), "Anna");
    EXPECT_EQ(text_at(a, 460, 32), "anna");
    EXPECT_EQ(text_at(a, 492, 32), "user.1");
    EXPECT_EQ(std::string(a.begin(), a.end()).find("secret"), std::string::npos)
        << "password never announced";

    EXPECT_FALSE(tb_service_set_name(id, "Anna"));
    visit_all();
    EXPECT_TRUE(take(tb_op_service_answer).empty());
}

TEST_F(ServiceTest, ServiceRequestForALocalRecordIsAnsweredToTheAsker) {
    const tb_id id = tb_service_register_class(tb_class_user, "user");
    const tb_id remote = peer_service(tb_class_room, 0);
    list_services(peer, {remote});
    visit_all();
    (void)take();
    receive(tb_test::make_packet(tb_op_service_request, id, peer, 36));
    receive(tb_test::make_packet(tb_op_service_request, remote, peer, 36));
    const auto answers = take(tb_op_service_answer);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(get_id(answers[0], tb_off_destination), peer);
    EXPECT_EQ(get_id(answers[0], 36), id);
}

TEST_F(ServiceTest, ListedRemoteServiceIsFetchedOnceAndFilledFromItsAnswer) {
    const tb_id room = peer_service(tb_class_room, 0);
    std::vector<event_call> events;
    tb_service_add_proc(record_event, &events, tb_id_broadcast());
    list_services(peer, {room});
    visit_all();
    auto requests = take(tb_op_service_request);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(get_id(requests[0], tb_off_destination), room);
    list_services(peer, {room});
    visit_all();
    EXPECT_EQ(take(tb_op_service_request).size(), 1u) << "fetched again until answered";

    events.clear();
    const tb_id user = tb_service_register_class(tb_class_user, "user");
    run_ms(3);
    events.clear();
    answer_texts t{.type = "AMP.01.room",
                   .name = "02:Kitchen",
                   .mask = "0011",
                   .zone = "0100",
                   .alias = "kitchen",
                   .magic = "room.1",
                   .flag = "100000000000000",
                   .cover = "img/k.png",
                   .stream = "radio"};
    receive(service_answer(room, user, t, peer_nonce, 0xABCD));
    ASSERT_TRUE(events.empty()) << "reported in the tick after the answer";
    run_ms(3);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, room);
    EXPECT_EQ(events[0].bits, tb_event_joined | tb_event_type | tb_event_name | tb_event_mask |
                                  tb_event_zone | tb_event_alias | tb_event_magic | tb_event_flag |
                                  tb_event_cover | tb_event_stream);
    const auto *record = tb_service_get_data(room);
    EXPECT_EQ(tb_text(record->name), "02:Kitchen");
    EXPECT_EQ(record->joined, user);
    EXPECT_EQ(record->announced_stamp, 0xABCDu);
    EXPECT_FALSE(record->dirty);

    list_services(peer, {room});
    visit_all();
    EXPECT_TRUE(take(tb_op_service_request).empty()) << "same nonce: nothing to fetch";
    list_services(peer, {room}, peer_nonce + 1);
    visit_all();
    EXPECT_EQ(take(tb_op_service_request).size(), 1u) << "restarted owner is fetched again";
}

TEST_F(ServiceTest, ServiceAnswerTextsAreCutAndShortAnswersDropped) {
    const tb_id room = peer_service(tb_class_room, 0);
    list_services(peer, {room});
    auto packet = service_answer(room, tb_id_unknown(), {.name = "Hall"});
    std::fill(packet.begin() + 56, packet.begin() + 72, 'T');   // type without NUL
    std::fill(packet.begin() + 796, packet.begin() + 812, 'S'); // stream without NUL, last field
    auto short_packet = packet;
    short_packet.resize(811);
    put_u16be(short_packet, tb_off_length, 811);
    receive(short_packet);
    EXPECT_EQ(tb_text(tb_service_get_data(room)->name), "");
    receive(packet);
    const auto *record = tb_service_get_data(room);
    EXPECT_EQ(tb_text(record->name), "Hall");
    EXPECT_EQ(tb_text(record->type), std::string(15, 'T'));
    EXPECT_EQ(tb_text(record->stream), std::string(15, 'S'));
}

TEST_F(ServiceTest, AnswerForUnlistedServiceIsIgnored) {
    const tb_id room = peer_service(tb_class_room, 4);
    receive(service_answer(room, tb_id_unknown(), {.name = "Ghost"}));
    EXPECT_EQ(tb_service_get_data(room), nullptr);
}

TEST_F(ServiceTest, AnswerAboutALocalRecordOnlyTakesItsJoinOnANewNonce) {
    const tb_id user = tb_service_register_class(tb_class_user, "user");
    const tb_id source = tb_service_register_class(tb_class_source, "server");
    tb_service_set_name(user, "Mine");
    receive(service_answer(user, source, {.name = "Theirs"}, 7));
    const auto *record = tb_service_get_data(user);
    EXPECT_EQ(tb_text(record->name), "Mine");
    EXPECT_EQ(record->joined, source);
    EXPECT_EQ(record->announced_nonce, 7u);
    receive(service_answer(user, tb_id_unknown(), {.name = "Theirs"}, 7));
    EXPECT_EQ(record->joined, source) << "same nonce: joins come from join packets only";
}

TEST_F(ServiceTest, DeviceAnswerListRotatesThroughMoreThanFitInOneDatagram) {
    std::set<tb_id, decltype([](tb_id a, tb_id b) { return a.bytes < b.bytes; })> local;
    for (std::uint8_t c : {tb_class_room, tb_class_user, tb_class_source, tb_class_proxy})
        for (int i = 0; i < 36; ++i)
            local.insert(tb_service_register_class(c, "c"));
    ASSERT_EQ(local.size(), 144u);

    std::array<std::uint8_t, tb_packet_max_size> packet{};
    decltype(local) seen;
    for (int answer = 0; answer < 2; ++answer) {
        const auto count = tb_service_get_device_answer(packet, 256);
        ASSERT_EQ(count, tb_device_answer_max_ids);
        EXPECT_EQ(get_u32be(packet, 352), count);
        for (std::size_t k = 0; k < count; ++k)
            seen.insert(get_id(packet, tb_device_answer_base + 8 * k));
    }
    EXPECT_EQ(seen, local) << "two answers announce all 144";

    std::array<std::uint8_t, tb_device_answer_base + 8 * 3> small{};
    EXPECT_EQ(tb_service_get_device_answer(small, 256), 3u);
}

TEST_F(ServiceTest, DeviceAnswerListWithFewServicesIsInTableOrder) {
    const tb_id a = tb_service_register_class(tb_class_user, "user");
    const tb_id b = tb_service_register_class(tb_class_source, "server");
    list_services(peer, {peer_service(tb_class_room, 0)});
    std::array<std::uint8_t, tb_packet_max_size> packet{};
    for (int answer = 0; answer < 2; ++answer) {
        ASSERT_EQ(tb_service_get_device_answer(packet, 256), 2u);
        EXPECT_EQ(get_id(packet, 356), a);
        EXPECT_EQ(get_id(packet, 364), b);
    }
}

TEST_F(ServiceTest, ReceivedDeviceAnswerListIsBoundedAndFiltered) {
    const tb_id other = tb_test::peer_device(0x77);
    const std::vector<tb_id> ids = {
        peer_service(tb_class_room, 0),
        peer_service(tb_class_room, 1, other), // another device's id
        peer_service(tb_class_none, 2),
        peer_service(tb_class_broadcast, 3),
        peer_service(tb_class_user, 4),
    };
    list_services(peer, ids);
    EXPECT_NE(tb_service_get_data(ids[0]), nullptr);
    EXPECT_EQ(tb_service_get_data(ids[1]), nullptr);
    EXPECT_EQ(tb_service_get_data(ids[2]), nullptr);
    EXPECT_EQ(tb_service_get_data(ids[3]), nullptr);
    EXPECT_NE(tb_service_get_data(ids[4]), nullptr);

    // A count claiming more ids than were received reads only those present.
    const tb_id third = peer_service(tb_class_room, 9);
    auto packet = device_answer(peer, {third}, peer_nonce, 100);
    tb_service_set_device_answer(tb_packet{packet});
    EXPECT_NE(tb_service_get_data(third), nullptr);

    const tb_id ignored = peer_service(tb_class_room, 10);
    packet = device_answer(peer, {ignored}, peer_nonce, 257);
    tb_service_set_device_answer(tb_packet{packet});
    EXPECT_EQ(tb_service_get_data(ignored), nullptr) << "a count above 256 ignores the list";

    packet.resize(355);
    tb_service_set_device_answer(tb_packet{packet});
}

TEST_F(ServiceTest, FullTableLogsAndGoesOn) {
    std::vector<tb_id> ids;
    for (int d = 0; d < 30; ++d) {
        const tb_id device = tb_test::peer_device(static_cast<std::uint8_t>(d + 1));
        ids.clear();
        for (std::uint8_t i = 0; i < 36; ++i)
            ids.push_back(peer_service(tb_class_room, i, device));
        list_services(device, ids);
    }
    EXPECT_TRUE(logged(syslog_lines(), "unable to add new service"));
    const tb_id id = tb_service_register_class(tb_class_user, "user");
    EXPECT_FALSE(tb_id_is_unknown(id)) << "the id is returned without a record";
    EXPECT_EQ(tb_service_get_data(id), nullptr);
    EXPECT_TRUE(logged(syslog_lines(), "unable to register new service"));
}

TEST_F(ServiceTest, JoinNeedsBothRecordsAndIsBroadcast) {
    const tb_id room = peer_service(tb_class_room, 0);
    list_services(peer, {room});
    const tb_id user = tb_service_register_class(tb_class_user, "user");
    (void)take();
    tb_service_join(room, user);
    EXPECT_EQ(tb_service_get_join_id(room), user);
    const auto joins = take(tb_op_service_join);
    ASSERT_EQ(joins.size(), 1u);
    EXPECT_EQ(joins[0].size(), 52u);
    EXPECT_EQ(get_id(joins[0], tb_off_destination), tb_id_broadcast());
    EXPECT_NE(get_u32be(joins[0], tb_off_sequence), 0u) << "repeated";
    EXPECT_EQ(get_id(joins[0], 36), room);
    EXPECT_EQ(get_id(joins[0], 44), user);

    tb_service_join(room, tb_service_make_id(tb_class_user, 5));
    EXPECT_EQ(tb_service_get_join_id(room), user);
    EXPECT_TRUE(logged(syslog_lines(), "trying to join with unknown service"));

    receive(join_packet(room, tb_id_unknown(), 51));
    EXPECT_EQ(tb_service_get_join_id(room), user) << "short join dropped";
}

TEST_F(ServiceTest, LeaveIsAppliedByTheClassOfTheLeavingId) {
    // R0 -> U0 -> S0, R1 -> U1, R2 -> S0, R3 -> U0
    const tb_id r[4] = {peer_service(tb_class_room, 0), peer_service(tb_class_room, 1),
                        peer_service(tb_class_room, 2), peer_service(tb_class_room, 3)};
    list_services(peer, {r[0], r[1], r[2], r[3]});
    const tb_id u0 = tb_service_register_class(tb_class_user, "user");
    const tb_id u1 = tb_service_register_class(tb_class_user, "user");
    const tb_id s0 = tb_service_register_class(tb_class_source, "server");
    const std::pair<tb_id, tb_id> joins[] = {
        {r[0], u0}, {r[1], u1}, {r[2], s0}, {r[3], u0}, {u0, s0}};
    const auto setup = [&] {
        for (const auto &[a, b] : joins)
            receive(join_packet(a, b));
    };
    struct leave_case {
        const char *name;
        tb_id leaving;
        std::array<bool, 4> cleared;
    };
    const leave_case cases[] = {
        {"room", r[1], {false, true, false, false}},
        {"user", u0, {true, false, false, true}},
        {"source", s0, {true, false, true, true}},
        {"broadcast", tb_id_broadcast(), {true, true, true, true}},
        {"proxy", tb_service_make_id(tb_class_proxy, 0), {false, false, false, false}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        setup();
        receive(leave_packet(c.leaving));
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(tb_id_is_unknown(tb_service_get_join_id(r[i])),
                      c.cleared[static_cast<std::size_t>(i)])
                << i;
        EXPECT_EQ(tb_service_get_join_id(u0), s0) << "users keep their source";
    }

    setup();
    receive(leave_packet(u0, 43));
    EXPECT_EQ(tb_service_get_join_id(r[0]), u0) << "short leave dropped";
    tb_service_leave(u0);
    EXPECT_TRUE(tb_id_is_unknown(tb_service_get_join_id(r[0])));
    const auto leaves = take(tb_op_service_leave);
    ASSERT_EQ(leaves.size(), 1u);
    EXPECT_EQ(leaves[0].size(), 44u);
    EXPECT_EQ(get_id(leaves[0], 36), u0);
}

TEST_F(ServiceTest, JoinChangesReachEventProceduresOnlyWhenTheyChange) {
    const tb_id room = peer_service(tb_class_room, 0);
    list_services(peer, {room});
    const tb_id user = tb_service_register_class(tb_class_user, "user");
    std::vector<event_call> events;
    tb_service_add_proc(record_event, &events, room);
    run_ms(3);
    events.clear();
    receive(join_packet(room, user));
    receive(join_packet(room, user));
    run_ms(3);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].bits, tb_event_joined);
    receive(leave_packet(tb_service_make_id(tb_class_user, 1)));
    run_ms(3);
    EXPECT_EQ(events.size(), 1u);
}

TEST(ServiceMask, MatchesWhereTheReferenceReachesTheCandidate) {
    struct mask_case {
        const char *candidate;
        const char *reference;
        bool match;
    };
    const mask_case cases[] = {
        {"0010", "0011", true}, {"0100", "0011", false}, {"2", "1", false}, {"2", "3", true},
        {"0001", "001", false}, {"", "111", false},      {"1", "1", true},
    };
    tb_service_record candidate;
    tb_service_record reference;
    for (const auto &c : cases) {
        tb_copy_text(candidate.mask, c.candidate);
        tb_copy_text(reference.mask, c.reference);
        EXPECT_EQ(tb_service_mask(&candidate, &reference), c.match)
            << c.candidate << " vs " << c.reference;
    }
    EXPECT_TRUE(tb_service_mask(nullptr, &reference));
    EXPECT_TRUE(tb_service_mask(&candidate, nullptr));
}

TEST_F(ServiceTest, SortListOrdersByNumberThenNameThenDevice) {
    const char *names[] = {"10:Bath", "Attic", "2:Kitchen", "Attic"};
    tb_id ids[4];
    for (int i = 0; i < 4; ++i) {
        ids[i] = tb_service_register_class(tb_class_user, "user");
        tb_service_set_name(ids[i], names[i]);
    }
    const tb_id remote = peer_service(tb_class_room, 0);
    list_services(peer, {remote});
    tb_service_list list;
    tb_service_sort_list(
        list,
        [](void *, const tb_service_record &r) {
            return tb_id_get_service_class(r.id) == tb_class_user;
        },
        nullptr);
    ASSERT_EQ(list.count, 4);
    std::vector<std::string> sorted;
    for (int i = 0; i < list.count; ++i)
        sorted.emplace_back(tb_text(list.records[static_cast<std::size_t>(i)]->name));
    EXPECT_EQ(sorted, (std::vector<std::string>{"2:Kitchen", "10:Bath", "Attic", "Attic"}));
    EXPECT_EQ(tb_service_get_sorted_id(list, 0), ids[2]);
    EXPECT_TRUE(tb_id_is_unknown(tb_service_get_sorted_id(list, 4)));
    EXPECT_TRUE(tb_id_is_unknown(tb_service_get_sorted_id(list, -1)));

    tb_service_sort_list(list, nullptr, nullptr);
    EXPECT_EQ(list.count, 5);
}

TEST_F(ServiceTest, SortListSurvivesNamesWithoutAConsistentOrder) {
    // Leading numbers and byte order disagree here; sorting must still stay
    // within the list and keep every record.
    const char *names[] = {"05", "0abc", "1x", "3", "003", "", "9:z", "10", "0", ":"};
    for (const char *name : names)
        tb_service_set_name(tb_service_register_class(tb_class_timer, "timer"), name);
    tb_service_list list;
    tb_service_sort_list(list, nullptr, nullptr);
    ASSERT_EQ(list.count, 10);
    std::set<const tb_service_record *> distinct(list.records.begin(), list.records.begin() + 10);
    EXPECT_EQ(distinct.size(), 10u);
}

TEST_F(ServiceTest, MasterVolumeIsTheLoudestRoomOfTheUserOrOfTheSourcesUsers) {
    const tb_id r[3] = {peer_service(tb_class_room, 0), peer_service(tb_class_room, 1),
                        peer_service(tb_class_room, 2)};
    list_services(peer, {r[0], r[1], r[2]});
    const tb_id u0 = tb_service_register_class(tb_class_user, "user");
    const tb_id u1 = tb_service_register_class(tb_class_user, "user");
    const tb_id s0 = tb_service_register_class(tb_class_source, "server");
    tb_service_join(r[0], u0);
    tb_service_join(r[1], u0);
    tb_service_join(r[2], u1);
    tb_service_join(u1, s0);
    tb_service_set_volume(r[0], {20, 1});
    tb_service_set_volume(r[1], {35, 0});
    tb_service_set_volume(r[2], {50, 2});

    tb_volume volume;
    EXPECT_TRUE(tb_service_get_master_volume(u0, volume));
    EXPECT_EQ(volume, (tb_volume{35, 0}));
    EXPECT_TRUE(tb_service_get_master_volume(s0, volume));
    EXPECT_EQ(volume, (tb_volume{50, 2}));
    tb_service_set_volume(r[2], {0, 2});
    EXPECT_FALSE(tb_service_get_master_volume(s0, volume));
    EXPECT_EQ(volume, tb_volume{});
    EXPECT_FALSE(tb_service_get_master_volume(r[0], volume));
}

TEST_F(ServiceTest, VolumeIsStoredOnAnyRecordWithoutAnnouncing) {
    const tb_id room = peer_service(tb_class_room, 0);
    list_services(peer, {room});
    std::vector<event_call> events;
    tb_service_add_proc(record_event, &events, room);
    visit_all();
    (void)take();
    events.clear();
    EXPECT_TRUE(tb_service_set_volume(room, {12, 1}));
    EXPECT_FALSE(tb_service_set_volume(room, {12, 1}));
    EXPECT_FALSE(tb_service_set_volume(peer_service(tb_class_room, 5), {1, 1}));
    tb_volume volume;
    tb_service_get_volume(room, volume);
    EXPECT_EQ(volume, (tb_volume{12, 1}));
    tb_service_get_volume(peer_service(tb_class_room, 5), volume);
    EXPECT_EQ(volume, tb_volume{});
    visit_all();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].bits, tb_event_volume);
    EXPECT_TRUE(take(tb_op_service_request).empty());
}

// Removes every record it is told about; used to check that removals made
// inside a procedure are reported in a later tick.
struct remover {
    std::vector<event_call> calls;
    tb_id victim{};
};

void remove_victim(void *context, tb_service_record &record, std::uint32_t bits) {
    auto *r = static_cast<remover *>(context);
    r->calls.push_back({record.id, bits});
    if (!tb_id_is_unknown(r->victim)) {
        tb_service_unregister_id(r->victim);
        r->victim = tb_id_unknown();
    }
}

TEST_F(ServiceTest, EventProceduresSeeRemovalsAndChangesMadeDuringTheCallLater) {
    const tb_id a = tb_service_register_class(tb_class_user, "user");
    const tb_id b = tb_service_register_class(tb_class_user, "user");
    remover r;
    tb_service_add_proc(remove_victim, &r, tb_id_broadcast());
    run_ms(3);
    ASSERT_EQ(r.calls.size(), 2u);
    EXPECT_EQ(r.calls[0].bits, tb_event_added);
    r.calls.clear();

    r.victim = b;
    tb_service_set_name(a, "A");
    run_ms(3);
    ASSERT_EQ(r.calls.size(), 1u) << "b's removal is not reported in the same tick";
    EXPECT_EQ(r.calls[0].id, a);
    run_ms(3);
    ASSERT_EQ(r.calls.size(), 2u);
    EXPECT_EQ(r.calls[1].id, b);
    EXPECT_EQ(r.calls[1].bits, tb_event_added);
    EXPECT_EQ(tb_service_get_data(b), nullptr);
}

TEST_F(ServiceTest, RemoveDeviceDropsOnlyThatDevicesServices) {
    const tb_id other = tb_test::peer_device(0x77);
    const tb_id mine = peer_service(tb_class_room, 0);
    const tb_id theirs = peer_service(tb_class_room, 0, other);
    list_services(peer, {mine});
    list_services(other, {theirs});
    tb_service_remove_device(peer);
    EXPECT_EQ(tb_service_get_data(mine), nullptr);
    EXPECT_NE(tb_service_get_data(theirs), nullptr);
    EXPECT_EQ(tb_service_get_next(nullptr), tb_service_get_data(theirs));
    EXPECT_EQ(tb_service_get_next(tb_service_get_data(theirs)), nullptr);
}

TEST_F(ServiceTest, ReusedSlotStartsWithAnEmptyManifestState) {
    const tb_id id = tb_service_register_class(tb_class_user, "user");
    auto *record = tb_service_get_data(id);
    auto &update = record->manifest.transfer[tb_manifest_key_update];
    update.published = {'{', '}', '\0'};
    update.published_stamp = 42;
    update.tries = 3;
    record->manifest.owner_nonce = 9;
    tb_service_unregister_id(id);
    const tb_id again = tb_service_register_class(tb_class_user, "user");
    ASSERT_EQ(tb_service_get_data(again), record);
    EXPECT_TRUE(record->manifest.transfer[tb_manifest_key_update].published.empty());
    EXPECT_EQ(record->manifest.transfer[tb_manifest_key_update].tries, 0);
    EXPECT_EQ(record->manifest.owner_nonce, 0u);
    EXPECT_EQ(tb_text(record->name), "");
}

TEST_F(ServiceTest, AnswerCarriesThePublishedManifestStamp) {
    const tb_id id = tb_service_register_class(tb_class_user, "user");
    auto &update = tb_service_get_data(id)->manifest.transfer[tb_manifest_key_update];
    update.published = {'{', '}', '\0'};
    update.published_stamp = 0x01020304;
    receive(tb_test::make_packet(tb_op_service_request, id, peer, 36));
    const auto answers = take(tb_op_service_answer);
    ASSERT_FALSE(answers.empty());
    EXPECT_EQ(get_u32be(answers.back(), 52), 0x01020304u);
}

} // namespace
