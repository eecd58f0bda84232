#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/json.hpp"
#include "core/tb_start.hpp"
#include "net/manifest_fixture.hpp"
#include "net/tb_service.hpp"
#include "server/manifest_mask.hpp"

namespace {

const std::array<std::uint8_t, 6> mac{2, 0, 0, 0, 0, 7};

tb_id id_of(std::uint8_t service_class, std::uint8_t index) { return tb_id_make_id(mac, service_class, index); }

TEST(ManifestMask, MaskForTheSlotCount)
{
    const struct {
        std::string_view mask;
        std::uint8_t service_class, index;
        int slots;
        std::string expected;
    } cases[] = {
        {"0000000000", tb_class_user, 3, 12, "000100000000"},
        {"0000000000", tb_class_user, 11, 12, "000000000001"},
        {"1000000000", tb_class_user, 0, 12, "100000000000"},
        {"0000000000", tb_class_source, 35, 12, "000000000000"}, // index beyond the mask
        {"1111111111", tb_class_room, 0, 8, "11111111"},
        {"1111111111", tb_class_room, 4, 12, "111111111111"},
        {"0000000000", tb_class_room, 2, 12, "001000000011"}, // new positions "1", own index "1"
        {"01", tb_class_user, 1, 2, "01"},
        {"", tb_class_user, 1, 3, "010"},
        {std::string_view("0000000000000000000000000000000000000000"), tb_class_user, 0, 35,
         std::string(35, '0')}, // read as 35 characters
        {"0010000000", tb_class_user, 2, 1, "0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(manifest_mask_text(c.mask, id_of(c.service_class, c.index), c.slots), c.expected)
            << c.mask << " class " << int(c.service_class) << " index " << int(c.index) << " slots " << c.slots;
}

TEST(ManifestMask, ZoneForTheSlotCount)
{
    const struct {
        std::string zone;
        int slots;
        std::string expected;
    } cases[] = {
        {"1000000000", 12, "1" + std::string(29, '0')},
        {"1000000000", 11, "1" + std::string(29, '0')},
        {"1000000000", 10, "1000000000"},
        {"1" + std::string(29, '0'), 8, "1000000000"},
        {"01" + std::string(28, '1'), 12, "01" + std::string(28, '1')},
        {"", 12, std::string(30, '0')},
        {"", 4, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(manifest_zone_text(c.zone, c.slots), c.expected) << c.zone << " " << c.slots;
}

TEST(ManifestMask, AdaptsTheServiceObject)
{
    const struct {
        std::string document;
        std::uint8_t service_class;
        int slots;
        bool changed;
        std::string expected;
    } cases[] = {
        {R"({"service":{"mask":"0000000000","name":"U"},"setup":{}})", tb_class_user, 12, true,
         R"({"service":{"mask":"000100000000","name":"U"},"setup":{}})"},
        {R"({"service":{"mask":"0001000000"}})", tb_class_user, 10, false, R"({"service":{"mask":"0001000000"}})"},
        {R"({"service":{"mask":"1111111111","zone":"1000000000"}})", tb_class_room, 8, true,
         R"({"service":{"mask":"11111111","zone":"1000000000"}})"},
        {R"({"service":{"mask":"1111111111","zone":"1000000000"}})", tb_class_room, 12, true,
         R"({"service":{"mask":"111111111111","zone":"1)" + std::string(29, '0') + R"("}})"},
        {R"({"state":{}})", tb_class_source, 4, true, R"({"state":{},"service":{"mask":"0001"}})"},
        {R"({"service":{"mask":7}})", tb_class_user, 4, true, R"({"service":{"mask":"0001"}})"},
    };
    for (const auto& c : cases) {
        const JsonPtr document = json_decode(c.document);
        ASSERT_TRUE(document) << c.document;
        EXPECT_EQ(manifest_mask_adapt(document.get(), id_of(c.service_class, 3), c.slots), c.changed) << c.document;
        EXPECT_EQ(json_encode(document.get()), c.expected) << c.document;
    }
}

// Stored manifests of registered services in a directory.
class ManifestMaskFiles : public tb_test::ManifestFixture {
protected:
    std::filesystem::path directory;
    std::string saved_directory;
    tb_id user{}, room{}, source{}, other{};

    void SetUp() override
    {
        ManifestFixture::SetUp();
        directory = std::filesystem::temp_directory_path() / ("tamber-mask-test-" + std::to_string(::getpid()));
        std::filesystem::remove_all(directory);
        std::filesystem::create_directories(directory);
        saved_directory = tb_start_config().manifest;
        tb_start_config().manifest = directory.string();

        user = tb_service_register_class(tb_class_user, "user");
        user = tb_service_register_class(tb_class_user, "user"); // index 1
        const tb_id peer = tb_test::peer_device();
        room = tb_test::peer_service_id(tb_class_room, 0);
        source = tb_test::peer_service_id(tb_class_source, 2);
        other = tb_test::peer_service_id(tb_class_knx, 0);
        tb_test::list_peer_services(peer, {room, source, other});
    }

    void TearDown() override
    {
        tb_start_config().manifest = saved_directory;
        std::filesystem::remove_all(directory);
        ManifestFixture::TearDown();
    }

    std::filesystem::path file(tb_id id) const { return directory / (tb_id_text(id) + ".kst"); }
    void store(tb_id id, const std::string& text) const { std::ofstream(file(id)) << text; }
    std::string stored(tb_id id) const
    {
        std::ifstream in(file(id));
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

TEST_F(ManifestMaskFiles, TwelveAndEightSlots)
{
    const std::string zone30 = "1" + std::string(29, '0');
    const struct {
        int slots;
        std::string user, room, source;
    } cases[] = {
        {12, R"({"service":{"mask":"010000000000"}})",
         R"({"service":{"mask":"111111111111","zone":")" + zone30 + R"("}})", R"({"service":{"mask":"001000000000"}})"},
        // Cut masks keep what they had: no own index is added.
        {8, R"({"service":{"mask":"00000000"}})", R"({"service":{"mask":"11111111","zone":"1000000000"}})",
         R"({"service":{"mask":"00000000"}})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.slots);
        store(user, R"({"service":{"mask":"0000000000"}})");
        store(room, R"({"service":{"mask":"1111111111","zone":"1000000000"}})");
        store(source, R"({"service":{"mask":"0000000000"}})");
        store(other, R"({"service":{"mask":"0000000000"}})");
        update_manifest_mask(c.slots);
        EXPECT_EQ(stored(user), c.user);
        EXPECT_EQ(stored(room), c.room);
        EXPECT_EQ(stored(source), c.source);
        EXPECT_EQ(stored(other), R"({"service":{"mask":"0000000000"}})") << "other classes are left alone";
    }
}

TEST_F(ManifestMaskFiles, OnlyForOneToThirtyFiveSlots)
{
    const std::string original = R"({"service":{"mask":"0000000000"}})";
    for (const int slots : {0, -1, 36, 37}) {
        store(user, original);
        update_manifest_mask(slots);
        EXPECT_EQ(stored(user), original) << slots;
    }
    update_manifest_mask(35);
    EXPECT_EQ(stored(user), R"({"service":{"mask":"01)" + std::string(33, '0') + R"("}})");
}

TEST_F(ManifestMaskFiles, UnreadableFilesAreSkipped)
{
    const struct {
        tb_id id;
        std::string text;
    } cases[] = {{user, "not json"}, {room, "[1,2]"}, {source, ""}};
    for (const auto& c : cases) store(c.id, c.text);
    update_manifest_mask(12);
    for (const auto& c : cases) EXPECT_EQ(stored(c.id), c.text);

    // A file that does not exist stays missing; a fitting one stays untouched.
    std::filesystem::remove(file(user));
    const auto fitting = R"({"service":{"mask":"11111111","zone":"1000000000"}})";
    store(room, fitting);
    const auto before = std::filesystem::last_write_time(file(room));
    update_manifest_mask(8);
    EXPECT_FALSE(std::filesystem::exists(file(user)));
    EXPECT_EQ(stored(room), fitting);
    EXPECT_EQ(std::filesystem::last_write_time(file(room)), before);
}

} // namespace
