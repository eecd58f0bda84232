#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "core/tb_start.hpp"
#include "net/manifest_fixture.hpp"
#include "net/tb_action.hpp"
#include "net/tb_service.hpp"
#include "net/tb_status.hpp"
#include "server/manifest_server.hpp"
#include "server/user.hpp"

namespace {

using tb_test::packet_bytes;
using tb_test::sent_packets;

struct service_texts {
    std::string name, info, alias, stream;
};

// Users on a server with its manifest store in a fresh directory. The store's
// watcher thread takes tamber_mutex, so the test holds it while it runs.
class UserTest : public tb_test::ManifestFixture {
protected:
    std::filesystem::path directory;
    std::unique_lock<std::mutex> lock{tamber_mutex, std::defer_lock};
    tb_id peer{}, s1{}, s2{};

    void SetUp() override
    {
        ManifestFixture::SetUp();
        lock.lock();
        directory = std::filesystem::temp_directory_path() /
                    ("tamber-user-test-" + std::to_string(::getpid()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(directory);
        std::filesystem::create_directories(directory);
        manifest_server_start(directory.string());
        peer = tb_test::peer_device();
        s1 = tb_test::peer_service_id(tb_class_source, 0);
        s2 = tb_test::peer_service_id(tb_class_source, 1);
        tb_test::list_peer_services(peer, {s1, s2});
    }

    void TearDown() override
    {
        lock.unlock();
        manifest_server_stop();
        std::filesystem::remove_all(directory);
        ManifestFixture::TearDown();
    }

    void store_file(tb_id id, const std::string& text)
    {
        std::ofstream(directory / (tb_id_text(id) + ".kst")) << text;
    }

    // A peer's service answer about one of its services.
    void announce(tb_id id, const service_texts& t)
    {
        auto packet = tb_test::make_packet(tb_op_service_answer, tb_id_broadcast(), peer, tb_service_answer_size);
        put_id(packet, 36, id);
        put_text(packet, 72, 64, t.name);
        put_text(packet, 136, 256, t.info);
        put_text(packet, 460, 32, t.alias);
        put_text(packet, 796, 16, t.stream);
        receive(packet);
    }

    void peer_join(tb_id id, tb_id joined)
    {
        auto packet = tb_test::make_packet(tb_op_service_join, tb_id_broadcast(), peer, 52);
        put_id(packet, 36, id);
        put_id(packet, 44, joined);
        receive(packet);
    }

    static std::string text_of(tb_id id, void (*getter)(tb_id, std::array<char, 256>&))
    {
        std::array<char, 256> buffer{};
        getter(id, buffer);
        return std::string(tb_text(buffer));
    }
    static std::string info(tb_id id) { return text_of(id, tb_service_get_info); }

    static std::vector<std::string> statuses(const sent_packets& sent, tb_id about)
    {
        std::vector<std::string> out;
        for (const auto& p : sent.with(tb_op_status_answer))
            if (get_id(p, tb_status_off_id) == about && get_u32be(p, tb_status_off_kind) == tb_status_kind_status)
                out.emplace_back(get_text(p, tb_status_off_text, p.size() - tb_status_off_text));
        return out;
    }

    static std::vector<std::string> actions_to(const sent_packets& sent, tb_id target)
    {
        std::vector<std::string> out;
        for (const auto& p : sent.with(tb_op_action))
            if (get_id(p, tb_action_off_target) == target && get_id(p, tb_action_off_sender) == target)
                out.emplace_back(get_text(p, tb_action_off_text, p.size() - tb_action_off_text));
        return out;
    }

    static std::string status_line(tb_id user, std::string_view name, std::string_view source,
                                   std::string_view stream, std::string_view source_info)
    {
        return "$" + tb_id_text(user) + ":status:name=" + std::string(name) + ":source=$" + std::string(source) +
               ":stream=" + std::string(stream) + ":info=" + std::string(source_info);
    }
};

TEST_F(UserTest, TwoSlotsGiveTwoUsersWithTheirDefaults)
{
    const tb_id u0 = user_main("SYN.00", "User %02i");
    const tb_id u1 = user_main("SYN.00", "User %02i");
    ASSERT_EQ(u0, tb_service_make_id(tb_class_user, 0));
    ASSERT_EQ(u1, tb_service_make_id(tb_class_user, 1));
    const struct {
        tb_id id;
        const char *name, *magic, *mask;
    } cases[] = {{u0, "User 01", "user.1", "1000000000"}, {u1, "User 02", "user.2", "0100000000"}};
    for (const auto& c : cases) {
        const tb_service_record* record = tb_service_get_data(c.id);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(tb_text(record->name), c.name);
        EXPECT_EQ(tb_text(record->magic), c.magic);
        EXPECT_EQ(tb_text(record->mask), c.mask);
        EXPECT_EQ(tb_text(record->type), "SYN.00.user");
        EXPECT_EQ(tb_text(record->alias), tb_id_text(c.id));
        EXPECT_EQ(user_reset_action(c.id), user_default_reset);
        // The completed document is published with the reset member.
        const auto& published = record->manifest.transfer[tb_manifest_key_update].published;
        ASSERT_FALSE(published.empty());
        const JsonPtr document = json_decode(std::string_view(published.data(), published.size() - 1));
        const JsonNode* user = json_find_member(json_find_member(document.get(), "setup"), "user");
        EXPECT_EQ(json_get_string(user, "reset").value_or("<missing>"), user_default_reset);
    }
    EXPECT_EQ(info(u0), "Source not selected");
}

TEST_F(UserTest, ResetIsSentOnceAfterOneSecond)
{
    const tb_id u0 = user_main("SYN.00", "User %02i");
    sent_packets early = pump(900);
    EXPECT_TRUE(actions_to(early, u0).empty());
    const sent_packets later = pump(3000);
    EXPECT_EQ(actions_to(later, u0), (std::vector<std::string>{"user:select:@server.?", "stream:radio"}));
}

TEST_F(UserTest, StoredResetActionIsUsed)
{
    const struct {
        std::string stored;
        std::vector<std::string> sent;
    } cases[] = {
        {"", {}},
        {"user:select:#" + tb_id_text(s2), {"user:select:#" + tb_id_text(s2)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        TearDown();
        SetUp();
        store_file(tb_service_make_id(tb_class_user, 0),
                   "{\"service\":{\"name\":\"Anna\"},\"setup\":{\"user\":{\"reset\":\"" + c.stored + "\"}}}");
        const tb_id u0 = user_main("SYN.00", "User %02i");
        EXPECT_EQ(user_reset_action(u0), c.stored);
        std::array<char, tb_service_name_size> name{};
        tb_service_get_name(u0, name, true);
        EXPECT_EQ(tb_text(name), "Anna");
        EXPECT_EQ(actions_to(pump(1500), u0), c.sent);
    }
}

TEST_F(UserTest, CommittedResetReplacesTheDefault)
{
    const tb_id u0 = user_main("SYN.00", "User %02i");
    tb_manifest_local_commit(u0, "{\"setup\":{\"user\":{\"reset\":\"user:select:@server.2\"}}}");
    EXPECT_EQ(user_reset_action(u0), "user:select:@server.2");
    tb_manifest_local_commit(u0, "{\"setup\":{\"user\":{}}}");
    EXPECT_EQ(user_reset_action(u0), user_default_reset) << "a missing member gets the default";
}

TEST_F(UserTest, InfoAndStatusFollowTheJoinedSource)
{
    announce(s1, {"Radio", "Halvo Radio live", "radio1", "radio"});
    const tb_id u0 = user_main("SYN.00", "User %02i");
    sent_packets sent = pump(300);
    ASSERT_FALSE(statuses(sent, u0).empty());
    EXPECT_EQ(statuses(sent, u0).back(), status_line(u0, "User 01", "unknown", "unknown", ""));

    peer_join(u0, s1);
    sent = pump(300);
    EXPECT_EQ(info(u0), "User listening to Radio");
    EXPECT_EQ(statuses(sent, u0), std::vector<std::string>{status_line(u0, "User 01", "radio1", "radio",
                                                                       "Halvo Radio live")});

    // Renaming the source updates the info; its info, alias and stream the status.
    announce(s1, {"01:Jazz", "Halvo Radio live", "radio1", "radio"});
    sent = pump(300);
    EXPECT_EQ(info(u0), "User listening to Jazz");
    EXPECT_TRUE(statuses(sent, u0).empty()) << "nothing the status shows has changed";
    announce(s1, {"01:Jazz", "Jazz\\24: live", "radio1", "podcast"});
    sent = pump(300);
    EXPECT_EQ(statuses(sent, u0), std::vector<std::string>{status_line(u0, "User 01", "radio1", "podcast",
                                                                       "Jazz\\\\24\\: live")});

    // Another source's changes do not concern the user.
    announce(s2, {"Other", "x", "y", "z"});
    EXPECT_TRUE(statuses(pump(300), u0).empty());

    peer_join(u0, s2);
    sent = pump(300);
    EXPECT_EQ(info(u0), "User listening to Other");
    EXPECT_EQ(statuses(sent, u0), std::vector<std::string>{status_line(u0, "User 01", "y", "z", "x")});

    // An answer from an owner that restarted carries the join it knows: none.
    auto packet = tb_test::make_packet(tb_op_service_answer, tb_id_broadcast(), peer, tb_service_answer_size, 0,
                                       0x01020304);
    put_id(packet, 36, u0);
    receive(packet);
    sent = pump(300);
    EXPECT_EQ(info(u0), "Source not selected");
    EXPECT_EQ(statuses(sent, u0), std::vector<std::string>{status_line(u0, "User 01", "unknown", "unknown", "")});
}

TEST_F(UserTest, StatusIsSentAgainWhenRequested)
{
    const tb_id u0 = user_main("SYN.00", "User %02i");
    pump(300);
    EXPECT_TRUE(statuses(pump(300), u0).empty());
    receive(tb_test::make_packet(tb_op_status_request, u0, peer, tb_packet_header_size));
    EXPECT_EQ(statuses(pump(300), u0).size(), 1u);
}

TEST_F(UserTest, RenamingTheUserUpdatesItsStatus)
{
    const tb_id u0 = user_main("SYN.00", "User %02i");
    pump(300);
    tb_service_set_name(u0, "02:Anna");
    EXPECT_EQ(statuses(pump(300), u0), std::vector<std::string>{status_line(u0, "Anna", "unknown", "unknown", "")});
}

TEST_F(UserTest, ServicesStopAtTheFirstFailedRegistration)
{
    // 30 user indexes are taken already.
    for (int i = 0; i < 30; ++i) ASSERT_FALSE(tb_id_is_unknown(tb_service_register_class(tb_class_user, "user")));
    (void)take();
    start_services("max");
    EXPECT_EQ(tb_start_config().user_count, 32);
    int users = 0;
    for (auto* record = tb_service_get_next(nullptr); record; record = tb_service_get_next(record))
        users += tb_id_get_service_class(record->id) == tb_class_user;
    EXPECT_EQ(users, 36);
    const sent_packets sent = take_sent();
    EXPECT_EQ(sent.count_log("unable to register new service class"), 1);
    EXPECT_TRUE(tb_id_is_unknown(user_main("SYN.00", "User %02i")));
}

} // namespace
