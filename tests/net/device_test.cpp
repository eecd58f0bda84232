#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "net/net_fixture.hpp"
#include "net/tb_service.hpp"

namespace {

using tb_test::fake_now;
using tb_test::make_packet;
using tb_test::packet_bytes;
using tb_test::peer_device;

constexpr std::uint32_t own_address = 0x0AD50001; // 10.213.0.1
constexpr std::uint32_t peer_address = 0x0AD50002;

struct sent_packet {
    std::uint32_t at; // ms since the test's start
    packet_bytes bytes;

    std::uint16_t opcode() const { return get_u16be(bytes, tb_off_opcode); }
    tb_id destination() const { return get_id(bytes, tb_off_destination); }
};

struct answer_fields {
    std::uint32_t address = peer_address;
    std::string name = "kitchen-amp";
    std::string url;
    std::string locale;
    std::vector<tb_id> ids;
    std::uint32_t nonce = 0x55667788;

    answer_fields& list(std::vector<tb_id> v) { ids = std::move(v); return *this; }
    answer_fields& boot(std::uint32_t v) { nonce = v; return *this; }
    answer_fields& from(std::uint32_t v) { address = v; return *this; }
    answer_fields& web(std::string v) { url = std::move(v); return *this; }
    answer_fields& lang(std::string v) { locale = std::move(v); return *this; }
};

// A device answer as a peer builds it, independently of the server's code.
packet_bytes device_answer(tb_id source, const answer_fields& f)
{
    auto p = make_packet(tb_op_device_answer, tb_id_broadcast(), source, 356 + 8 * f.ids.size(), 0, f.nonce);
    put_u32be(p, 36, f.address);
    put_u8(p, 40, 1);
    put_u8(p, 41, 2);
    put_u8(p, 42, 3);
    put_u8(p, 43, 4);
    put_text(p, 44, 32, f.name);
    put_u8(p, 76 + 10, 1); // time record valid
    put_text(p, 88, 256, f.url);
    put_text(p, 344, 8, f.locale);
    put_u32be(p, 352, static_cast<std::uint32_t>(f.ids.size()));
    for (std::size_t i = 0; i < f.ids.size(); ++i) put_id(p, 356 + 8 * i, f.ids[i]);
    return p;
}

tb_id service_of(tb_id device, std::uint8_t service_class, std::uint8_t index)
{
    device.bytes[0] = service_class;
    device.bytes[7] = index;
    return device;
}

class DeviceTest : public tb_test::NetFixture {
protected:
    void SetUp() override
    {
        NetFixture::SetUp();
        start = fake_now;
        own = tb_device_own_id();
    }

    std::uint32_t elapsed() const { return fake_now - start; }

    // Runs ms of 3 ms ticks and keeps every packet queued on the way, before
    // the network task would send (and drop) it.
    void run(std::uint32_t ms)
    {
        for (std::uint32_t t = 0; t < ms; t += 3) {
            fake_now += 3;
            tb_core_task(fake_now);
            for (auto& p : take()) sent.push_back({elapsed(), std::move(p)});
        }
    }

    // Packets of one opcode sent since the last call.
    std::vector<sent_packet> sent_with(std::uint16_t opcode)
    {
        std::vector<sent_packet> matching;
        for (auto& p : take()) sent.push_back({elapsed(), std::move(p)});
        for (auto& p : sent)
            if (p.opcode() == opcode) matching.push_back(p);
        sent.clear();
        return matching;
    }

    // Runs until the server announces itself; returns the time it took.
    std::uint32_t run_until_announcement(std::uint32_t limit_ms)
    {
        const std::uint32_t from = elapsed();
        (void)sent_with(tb_op_device_answer);
        for (std::uint32_t t = 0; t < limit_ms; t += 3) {
            run(3);
            for (const auto& p : sent)
                if (p.opcode() == tb_op_device_answer && p.destination() == tb_id_broadcast()) {
                    const std::uint32_t at = p.at;
                    sent.clear();
                    return at - from;
                }
        }
        return limit_ms + 1;
    }

    std::uint32_t start = 0;
    std::vector<sent_packet> sent;
    tb_id own{};
    const tb_id peer = peer_device(0x42);
};

TEST_F(DeviceTest, AnnouncesItselfInTheFirstTickThenEveryTenSeconds)
{
    run(3);
    auto answers = sent_with(tb_op_device_answer);
    ASSERT_EQ(answers.size(), 1u);
    const packet_bytes& p = answers[0].bytes;
    EXPECT_EQ(answers[0].destination(), tb_id_broadcast());
    EXPECT_EQ(get_id(p, tb_off_source), own);
    EXPECT_EQ(get_u32be(p, tb_off_nonce), 0x11223344u);
    EXPECT_NE(get_u32be(p, tb_off_sequence), 0u);
    EXPECT_EQ(p.size(), 356u);
    EXPECT_EQ(get_u16be(p, tb_off_length), 356u);
    EXPECT_EQ(get_u32be(p, 36), own_address);
    EXPECT_EQ((std::vector<std::uint8_t>(p.begin() + 40, p.begin() + 44)),
              (std::vector<std::uint8_t>{138, 2, 4, 9}));
    EXPECT_EQ(get_text(p, 44, 32), tb_id_text(own));
    EXPECT_EQ(get_u8(p, 76 + 10), 1u); // time valid
    EXPECT_GE(get_u16le(p, 76 + 8), 2022u);
    EXPECT_EQ(get_text(p, 88, 256), "http://10.213.0.1/tamber/");
    EXPECT_EQ(get_text(p, 344, 8), "");
    EXPECT_EQ(get_u32be(p, 352), 0u);

    run(30020);
    std::vector<std::uint32_t> times{answers[0].at};
    for (const auto& a : sent_with(tb_op_device_answer)) times.push_back(a.at);
    ASSERT_EQ(times.size(), 4u);
    EXPECT_EQ(times[0], 3u);
    for (std::size_t i = 1; i < times.size(); ++i) {
        EXPECT_GE(times[i] - times[i - 1], 10000u);
        EXPECT_LE(times[i] - times[i - 1], 10003u); // the next 3 ms tick
    }
}

TEST_F(DeviceTest, RenamingAnnouncesTheNewNameWithinNineHundredMs)
{
    run(1000);
    for (const char* name : {"tamber-nas", "tamber-nas-2", "a", "cellar"}) {
        tb_device_set_name(own, name);
        EXPECT_LE(run_until_announcement(10000), 903u) << name;
        std::array<char, 32> stored{};
        tb_device_get_name(own, stored);
        EXPECT_EQ(tb_text(stored), name);
    }
    // The same name again changes nothing: the regular period goes on.
    run(1000);
    tb_device_set_name(own, "cellar");
    EXPECT_GT(run_until_announcement(10000), 8000u);
}

TEST_F(DeviceTest, NameIsCutToThirtyOneCharacters)
{
    const std::string long_name(40, 'n');
    tb_device_set_name(own, long_name);
    std::array<char, 32> stored{};
    tb_device_get_name(own, stored);
    EXPECT_EQ(tb_text(stored), long_name.substr(0, 31));
    run(1000);
    const auto answers = sent_with(tb_op_device_answer);
    ASSERT_FALSE(answers.empty());
    EXPECT_EQ(get_text(answers.back().bytes, 44, 32), long_name.substr(0, 31));
}

TEST_F(DeviceTest, NamesOfOtherDevicesAreNotSet)
{
    receive(device_answer(peer, {}));
    (void)take();
    struct name_case {
        tb_id id;
        std::string message;
    } cases[] = {
        {peer, "trying to set name of external device"},
        {peer_device(0x77), "trying to set name of unknown device"},
    };
    for (const auto& c : cases) {
        tb_device_set_name(c.id, "hijacked");
        const auto logs = take(tb_op_syslog);
        ASSERT_EQ(logs.size(), 1u) << c.message;
        EXPECT_EQ(syslog_text(logs[0]),
                  "E #" + tb_id_text(own) + " #" + tb_id_text(c.id) + " tb_device_set_name:" + c.message);
    }
    std::array<char, 32> name{};
    tb_device_get_name(peer, name);
    EXPECT_EQ(tb_text(name), "kitchen-amp");
}

TEST_F(DeviceTest, GetNameOfUnknownDeviceIsItsIdText)
{
    std::array<char, 32> name{};
    tb_device_get_name(peer_device(0x99), name);
    EXPECT_EQ(tb_text(name), tb_id_text(peer_device(0x99)));
}

TEST_F(DeviceTest, AnswersDeviceRequestsOfOtherDevices)
{
    run(30);
    (void)sent_with(tb_op_device_answer);

    receive(make_packet(tb_op_device_request, own, peer, 36, 0));
    auto answers = sent_with(tb_op_device_answer);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].destination(), peer);

    receive(make_packet(tb_op_device_request, tb_id_broadcast(), own, 36, 0));
    EXPECT_TRUE(sent_with(tb_op_device_answer).empty());

    // Three copies of a repeated request are handled once; an unrepeated
    // request received twice is handled twice.
    const packet_bytes repeated = make_packet(tb_op_device_request, own, peer, 36, 41);
    for (int copy = 0; copy < 3; ++copy) receive(repeated);
    EXPECT_EQ(sent_with(tb_op_device_answer).size(), 1u);
    const packet_bytes unrepeated = make_packet(tb_op_device_request, own, peer, 36, 0);
    receive(unrepeated);
    receive(unrepeated);
    EXPECT_EQ(sent_with(tb_op_device_answer).size(), 2u);
}

TEST_F(DeviceTest, DeviceAnswerRegistersTheDeviceAndItsServices)
{
    const tb_id room = service_of(peer, tb_class_room, 0);
    const tb_id room2 = service_of(peer, tb_class_room, 1);
    receive(device_answer(peer, answer_fields{}.list({room, room2})));

    const tb_device_entry* entry = tb_device_get_data(service_of(peer, tb_class_room, 5));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->id, peer);
    EXPECT_EQ(entry->address, peer_address);
    EXPECT_EQ(entry->nonce, 0x55667788u);
    EXPECT_EQ(entry->version, (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(tb_text(entry->name), "kitchen-amp");
    EXPECT_EQ(tb_device_get_ip_addr(room), peer_address);
    for (tb_id id : {room, room2}) {
        const tb_service_record* record = tb_service_get_data(id);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->local, 0u);
    }
    // Remote services are fetched.
    run(30);
    EXPECT_EQ(sent_with(tb_op_service_request).size(), 2u);
}

TEST_F(DeviceTest, PacketFromUnknownDeviceRegistersItWithoutAddress)
{
    receive(make_packet(tb_op_device_request, own, peer, 36, 9));
    const tb_device_entry* entry = tb_device_get_data(peer);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->address, 0u);
    EXPECT_EQ(tb_device_get_ip_addr(peer), 0u);
    receive(device_answer(peer, {}));
    EXPECT_EQ(tb_device_get_ip_addr(peer), peer_address);
}

TEST_F(DeviceTest, AddressThatIsNoUnicastAddressIsNotUsed)
{
    struct address_case {
        std::uint32_t claimed;
        std::uint32_t stored;
    } cases[] = {
        {0xEC0D0842, 0}, // the protocol's group
        {0xFFFFFFFF, 0},
        {0x00000000, 0},
        {0xE0000001, 0},
        {0x0AD50002, 0x0AD50002},
        {0xC0A80105, 0xC0A80105},
    };
    for (const auto& c : cases) {
        receive(device_answer(peer, answer_fields{}.from(c.claimed)));
        EXPECT_EQ(tb_device_get_ip_addr(peer), c.stored) << std::hex << c.claimed;
    }
}

TEST_F(DeviceTest, NewBootNonceBringsTheAnnouncementForward)
{
    run(2000);
    receive(device_answer(peer, answer_fields{}.boot(1)));
    EXPECT_LE(run_until_announcement(10000), 903u);

    run(1000);
    receive(device_answer(peer, answer_fields{}.boot(1))); // known nonce: nothing early
    EXPECT_GT(run_until_announcement(10000), 5000u);

    run(1000);
    receive(device_answer(peer, answer_fields{}.boot(2))); // the peer restarted
    EXPECT_LE(run_until_announcement(10000), 903u);
}

TEST_F(DeviceTest, SilentDeviceIsAskedThreeTimesThenForgottenWithItsServices)
{
    const tb_id room = service_of(peer, tb_class_room, 0);
    receive(device_answer(peer, answer_fields{}.list({room})));
    const std::uint32_t answered = elapsed();
    ASSERT_NE(tb_service_get_data(room), nullptr);

    std::vector<std::uint32_t> requests;
    std::uint32_t forgotten = 0;
    for (int step = 0; step < 2000 && forgotten == 0; ++step) {
        run(9);
        for (const auto& p : sent_with(tb_op_device_request)) {
            EXPECT_EQ(p.destination(), peer);
            requests.push_back(p.at - answered);
        }
        if (!tb_device_get_data(peer)) forgotten = elapsed() - answered;
    }
    ASSERT_EQ(requests.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_GE(requests[i], 12000 + 1000 * i) << i;
        EXPECT_LE(requests[i], 13020 + 1000 * i) << i;
    }
    EXPECT_GE(forgotten, 15000u);
    EXPECT_LE(forgotten, 16020u);
    EXPECT_EQ(tb_service_get_data(room), nullptr);
    EXPECT_EQ(tb_device_get_ip_addr(peer), 0u);

    // A new answer registers it again.
    receive(device_answer(peer, answer_fields{}.list({room})));
    EXPECT_NE(tb_device_get_data(peer), nullptr);
    EXPECT_NE(tb_service_get_data(room), nullptr);
}

TEST_F(DeviceTest, AnswerAfterARequestKeepsTheDevice)
{
    receive(device_answer(peer, {}));
    run(12600);
    EXPECT_EQ(sent_with(tb_op_device_request).size(), 1u);
    receive(device_answer(peer, {}));
    run(10000);
    EXPECT_NE(tb_device_get_data(peer), nullptr);
    EXPECT_TRUE(sent_with(tb_op_device_request).empty());
}

TEST_F(DeviceTest, ServiceListIsReadOnlyAsFarAsItWasReceived)
{
    // A large answer first leaves ids of this peer in the receive buffer.
    std::vector<tb_id> many;
    for (std::uint8_t i = 0; i < 30; ++i) many.push_back(service_of(peer, tb_class_room, i));
    packet_bytes big = device_answer(peer, answer_fields{}.list(many));
    // Sent by another device so that these ids are not taken.
    put_id(big, tb_off_source, peer_device(0x44));
    receive(big);
    ASSERT_EQ(tb_service_get_data(many[0]), nullptr);

    // Now a short answer that claims 30 ids but carries 2.
    packet_bytes shorter = device_answer(peer, answer_fields{}.list({many[0], many[1]}));
    put_u32be(shorter, 352, 30);
    receive(shorter);
    EXPECT_NE(tb_service_get_data(many[0]), nullptr);
    EXPECT_NE(tb_service_get_data(many[1]), nullptr);
    for (std::size_t i = 2; i < many.size(); ++i) EXPECT_EQ(tb_service_get_data(many[i]), nullptr) << i;
}

TEST_F(DeviceTest, MalformedAnswersAndListsAreHarmless)
{
    const tb_id room = service_of(peer, tb_class_room, 0);
    packet_bytes truncated = device_answer(peer, answer_fields{}.list({room}));
    truncated.resize(355);
    put_u16be(truncated, tb_off_length, 355);
    receive(truncated);
    EXPECT_EQ(tb_device_get_data(peer), nullptr);

    packet_bytes huge_count = device_answer(peer, answer_fields{}.list({room}));
    put_u32be(huge_count, 352, 0xFFFFFFFF);
    receive(huge_count);
    EXPECT_NE(tb_device_get_data(peer), nullptr);

    // Ids that are not the sender's own services create no record.
    tb_id other_device_room = service_of(peer_device(0x50), tb_class_room, 0);
    const tb_id classless = service_of(peer, tb_class_none, 3);
    const tb_id broadcast_class = service_of(peer, tb_class_broadcast, 3);
    const tb_id room3 = service_of(peer, tb_class_room, 3);
    receive(
        device_answer(peer, answer_fields{}.list({other_device_room, classless, broadcast_class, room3})));
    EXPECT_EQ(tb_service_get_data(other_device_room), nullptr);
    EXPECT_EQ(tb_service_get_data(classless), nullptr);
    EXPECT_EQ(tb_service_get_data(broadcast_class), nullptr);
    EXPECT_NE(tb_service_get_data(room3), nullptr);

    // Unterminated texts are cut to their fields.
    packet_bytes unterminated = device_answer(peer, {});
    std::fill(unterminated.begin() + 44, unterminated.begin() + 76, 'x');
    std::fill(unterminated.begin() + 344, unterminated.begin() + 352, 'y');
    receive(unterminated);
    EXPECT_EQ(tb_text(tb_device_get_data(peer)->name), std::string(31, 'x'));
    EXPECT_EQ(tb_device_own_locale(), std::string(7, 'y'));

    // Answers from no real device are ignored.
    for (tb_id source : {tb_id_unknown(), tb_id_broadcast()}) {
        receive(device_answer(source, answer_fields{}.list({service_of(source, tb_class_room, 1)})));
        EXPECT_EQ(tb_service_get_data(service_of(source, tb_class_room, 1)), nullptr);
    }
    EXPECT_EQ(tb_device_get_data(tb_id_unknown()), nullptr);
}

TEST_F(DeviceTest, LocaleIsAdoptedWhenNoneIsConfigured)
{
    receive(device_answer(peer, answer_fields{}.web("http://10.213.0.9/").lang("de")));
    EXPECT_EQ(tb_device_own_locale(), "de");
    EXPECT_EQ(tb_device_own_url(), "http://10.213.0.1/tamber/"); // configured, kept
    receive(device_answer(peer, answer_fields{}.lang("en")));
    EXPECT_EQ(tb_device_own_locale(), "en");
    receive(device_answer(peer, answer_fields{}.lang("")));
    EXPECT_EQ(tb_device_own_locale(), "en");
}

TEST_F(DeviceTest, ConfiguredLocaleAndUrlAreKept)
{
    tb_device_record record = tb_test::test_device_record();
    record.url = {};
    tb_copy_text(record.locale, "fr");
    tb_network_config config;
    config.address = own_address;
    tb_core_init(config, record);
    receive(device_answer(peer, answer_fields{}.web("http://10.213.0.9/").lang("de")));
    EXPECT_EQ(tb_device_own_locale(), "fr");
    EXPECT_EQ(tb_device_own_url(), "http://10.213.0.9/");
}

TEST_F(DeviceTest, FullTableRefusesFurtherDevicesAndTheirServices)
{
    // peer_device(1) would be this server itself.
    for (int i = 2; i <= tb_device_capacity; ++i)
        receive(device_answer(peer_device(static_cast<std::uint8_t>(i)), {}));
    int used = 0;
    for (tb_device_entry* e = tb_device_get_next(nullptr); e; e = tb_device_get_next(e)) ++used;
    EXPECT_EQ(used, tb_device_capacity);
    (void)take();

    const tb_id extra = peer_device(0xEE);
    const tb_id room = service_of(extra, tb_class_room, 0);
    receive(device_answer(extra, answer_fields{}.list({room})));
    EXPECT_EQ(tb_device_get_data(extra), nullptr);
    EXPECT_EQ(tb_service_get_data(room), nullptr);
    const auto logs = take(tb_op_syslog);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(syslog_text(logs[0]),
              "E #" + tb_id_text(own) + " #" + tb_id_text(own) +
                  " handle_device_answer:unable to add new device");
}

TEST_F(DeviceTest, OwnEntryComesFirstAndIsNeverAged)
{
    const tb_device_entry* first = tb_device_get_next(nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->id, own);
    EXPECT_EQ(first->local, 1u);
    EXPECT_EQ(first->address, own_address);
    run(20000);
    EXPECT_EQ(tb_device_get_next(nullptr), first);
    EXPECT_TRUE(sent_with(tb_op_device_request).empty());
}

TEST_F(DeviceTest, ManyLocalServicesAreAnnouncedInTurn)
{
    std::set<std::string> local;
    const std::pair<tb_service_class, const char*> classes[] = {
        {tb_class_user, "user"},
        {tb_class_source, "source"},
        {tb_class_proxy, "proxy"},
        {tb_class_timer, "timer"}};
    for (const auto& [service_class, name] : classes)
        for (int i = 0; i < 36 && local.size() < 130; ++i)
            local.insert(tb_id_text(tb_service_register_class(service_class, name)));
    ASSERT_EQ(local.size(), 130u);

    run(3);
    run(10010);
    const auto answers = sent_with(tb_op_device_answer);
    ASSERT_EQ(answers.size(), 2u);
    std::set<std::string> announced;
    for (const auto& a : answers) {
        const std::uint32_t n = get_u32be(a.bytes, 352);
        EXPECT_LE(n, 120u);
        EXPECT_LE(a.bytes.size(), tb_packet_max_size);
        EXPECT_EQ(a.bytes.size(), 356 + 8 * n);
        for (std::uint32_t i = 0; i < n; ++i) announced.insert(tb_id_text(get_id(a.bytes, 356 + 8 * i)));
    }
    EXPECT_EQ(announced, local);
}

} // namespace
