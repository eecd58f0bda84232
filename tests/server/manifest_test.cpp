#include <gtest/gtest.h>

#include <string>

#include "core/json.hpp"
#include "net/manifest_fixture.hpp"
#include "net/tb_device.hpp"
#include "server/manifest.hpp"

namespace {

using tb_test::sent_packets;

// The usual commit handler of a service module.
void commit_handler(void *context, tb_id) {
    auto &object = *static_cast<manifest_object *>(context);
    manifest_load(object);
    manifest_save(object, false);
}

class ManifestTest : public tb_test::ManifestFixture {
  protected:
    manifest_object object;
    tb_id user{};

    void start_user(std::string_view name_format = "User %02i") {
        user = tb_service_register_class(tb_class_user, "user");
        manifest_init(object, user, "SYN.00", name_format, 0);
        tb_manifest_add_handler(commit_handler, &object, user, tb_manifest_key_commit);
    }

    std::string published() const {
        const auto &doc =
            tb_service_get_data(object.id)->manifest.transfer[tb_manifest_key_update].published;
        return doc.empty() ? std::string("<none>") : std::string(doc.data(), doc.size() - 1);
    }

    std::string encoded() const { return json_encode(object.document.get()); }

    static std::string member(const JsonNode *node, std::string_view name) {
        const auto text = json_get_string(node, name);
        return text ? std::string(*text) : std::string("<missing>");
    }

    JsonNode *service() const { return json_find_member(object.document.get(), "service"); }
};

TEST_F(ManifestTest, FirstLoadBuildsTheDefaultsAndPublishesThem) {
    start_user();
    tb_manifest_local_commit(user, {});
    const std::string id_text = tb_id_text(user);
    EXPECT_EQ(encoded(),
              "{\"service\":{\"type\":\"SYN.00.user\",\"name\":\"User 01\",\"alias\":\"" + id_text +
                  "\",\"password\":\"\",\"mask\":\"1000000000\",\"zone\":\"\",\"limit\":\"65536\"},"
                  "\"setup\":{},\"state\":{}}");
    EXPECT_EQ(published(), encoded());
    const tb_service_record *record = tb_service_get_data(user);
    EXPECT_EQ(tb_text(record->type), "SYN.00.user");
    EXPECT_EQ(tb_text(record->name), "User 01");
    EXPECT_EQ(tb_text(record->alias), id_text);
    EXPECT_EQ(tb_text(record->mask), "1000000000");
    EXPECT_EQ(object.limit, 65536u);
    ASSERT_NE(object.setup, nullptr);
    EXPECT_EQ(object.setup, json_find_member(object.document.get(), "setup"));
    const sent_packets sent = pump(150);
    EXPECT_EQ(sent.with(tb_op_manifest_update).size(), 1u) << "published at once";
}

TEST_F(ManifestTest, StoredNameIsKeptAndTypeMovesToTheEnd) {
    start_user();
    tb_manifest_local_commit(user,
                             "{\"service\":{\"type\":\"old\",\"name\":\"Kitchen\",\"mask\":\"01\"},"
                             "\"setup\":{\"user\":{\"reset\":\"x\"}},\"extra\":[1]}");
    EXPECT_EQ(member(service(), "name"), "Kitchen");
    EXPECT_EQ(tb_text(tb_service_get_data(user)->name), "Kitchen");
    EXPECT_EQ(tb_text(tb_service_get_data(user)->mask), "01");
    EXPECT_EQ(member(service(), "type"), "SYN.00.user");
    EXPECT_EQ(member(json_find_member(object.setup, "user"), "reset"), "x");
    EXPECT_NE(json_find_member(object.document.get(), "extra"), nullptr) << "other members stay";

    tb_manifest_local_commit(user, published());
    const JsonNode *last = service()->value.last;
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->key, "type");
}

TEST_F(ManifestTest, BrokenMembersAndDocumentsFallBackToDefaults) {
    start_user();
    struct broken_case {
        const char *what;
        const char *document;
        const char *name;
    };
    const broken_case cases[] = {
        {"name is a number", "{\"service\":{\"name\":5}}", "User 01"},
        {"name is an object", "{\"service\":{\"name\":{\"a\":1}}}", "User 01"},
        {"service is an array", "{\"service\":[1,2]}", "User 01"},
        {"document is an array", "[1]", "User 01"},
        {"document is cut", "{\"service\":{\"name\":\"Bath\"", "User 01"},
        {"two names", "{\"service\":{\"name\":\"A\",\"name\":\"B\"}}", "A"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        tb_manifest_local_commit(user, c.document);
        ASSERT_TRUE(object.document);
        EXPECT_EQ(member(service(), "name"), c.name);
        EXPECT_EQ(tb_text(tb_service_get_data(user)->name), c.name);
        EXPECT_EQ(member(service(), "mask"), "1000000000");
        EXPECT_NE(object.setup, nullptr);
        EXPECT_NE(object.state, nullptr);
    }
    tb_manifest_local_commit(user, "{\"setup\":\"text\",\"state\":7}");
    EXPECT_EQ(json_encode(object.setup), "{}");
    EXPECT_EQ(json_encode(object.state), "{}");
}

TEST_F(ManifestTest, UnusableLimitsAreReplaced) {
    start_user();
    const std::pair<const char *, std::uint32_t> cases[] = {{"0", 65536},
                                                            {"abc", 65536},
                                                            {"-5", 65536},
                                                            {"99999999999", tb_manifest_max_limit},
                                                            {"200000", 200000}};
    for (const auto &[text, expected] : cases) {
        SCOPED_TRACE(text);
        tb_manifest_local_commit(user, std::string("{\"service\":{\"limit\":\"") + text + "\"}}");
        EXPECT_EQ(object.limit, expected);
        EXPECT_EQ(tb_manifest_get_limit(user), expected);
        EXPECT_EQ(member(service(), "limit"), std::to_string(expected));
    }
}

TEST_F(ManifestTest, SizeLimitRefusesADocumentAtTheLimit) {
    start_user();
    tb_manifest_local_commit(user, {});
    const std::string before = published();
    (void)take();
    // Pad setup so that the encoding has exactly the wanted size.
    const auto pad_to = [&](std::size_t size) {
        json_replace_string(object.setup, "pad", "");
        const std::size_t base = encoded().size();
        json_replace_string(object.setup, "pad", std::string(size - base, 'p'));
        ASSERT_EQ(encoded().size(), size);
    };
    pad_to(65535);
    manifest_save(object, false);
    EXPECT_TRUE(take_sent().logged("manifest_save:manifest size limit exceeded"));
    EXPECT_EQ(published(), before);

    pad_to(65534);
    manifest_save(object, false);
    EXPECT_FALSE(take_sent().logged("manifest size limit exceeded"));
    EXPECT_EQ(published(), encoded());
}

TEST_F(ManifestTest, LocalSaveCommitsAtOnce) {
    start_user();
    tb_manifest_local_commit(user, {});
    json_replace_string(object.setup, "volume", "12");
    manifest_save(object, true);
    std::string_view committed;
    ASSERT_TRUE(tb_manifest_read_commit(user, committed));
    EXPECT_NE(committed.find("\"volume\":\"12\""), std::string_view::npos);
    EXPECT_EQ(member(object.setup, "volume"), "12") << "reloaded by the commit handler";
}

TEST_F(ManifestTest, RenamingThroughTheRegistryRewritesAndPublishes) {
    start_user();
    tb_manifest_local_commit(user, {});
    pump(200);
    tb_service_set_name(user, "Living room");
    const sent_packets sent = pump(200);
    EXPECT_EQ(member(service(), "name"), "Living room");
    EXPECT_NE(published().find("Living room"), std::string::npos);
    EXPECT_EQ(sent.with(tb_op_manifest_update).size(), 1u);
    // Setting the same name again changes nothing.
    tb_service_set_name(user, "Living room");
    EXPECT_TRUE(pump(200).with(tb_op_manifest_update).empty());
}

TEST_F(ManifestTest, DefaultsFollowTheClassAndIndex) {
    struct default_case {
        std::uint8_t service_class;
        std::uint8_t index;
        const char *mask;
        const char *zone;
    };
    const default_case cases[] = {
        {tb_class_room, 3, "1111111111", "1000000000"},
        {tb_class_user, 0, "1000000000", ""},
        {tb_class_source, 4, "0000100000", ""},
        {tb_class_user, 10, "00000000001", ""},
        {tb_class_user, 12, "0000000000", ""},
        {tb_class_user, 35, "0000000000", ""},
        {tb_class_proxy, 0, "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.service_class) + "/" + std::to_string(c.index));
        manifest_object o;
        manifest_init(o, tb_service_make_id(c.service_class, c.index), "SYN.00", "Name %i", 0);
        EXPECT_EQ(tb_text(o.default_mask), c.mask);
        EXPECT_EQ(tb_text(o.default_zone), c.zone);
        EXPECT_EQ(tb_text(o.default_name), "Name " + std::to_string(c.index + 1));
    }
}

TEST_F(ManifestTest, NameFormats) {
    const tb_id id = tb_service_make_id(tb_class_timer, 1);
    const std::pair<const char *, std::string> cases[] = {
        {"#", tb_id_text(id)},        {"Timer %02i", "Timer 02"}, {"%i. Timer", "2. Timer"},
        {"100%% %s %i", "100% %s 2"}, {"%i %i", "2 %i"},          {"plain", "plain"},
    };
    for (const auto &[format, expected] : cases) {
        manifest_object o;
        manifest_init(o, id, "SYN.00", format, 0);
        EXPECT_EQ(tb_text(o.default_name), expected) << format;
    }
}

TEST_F(ManifestTest, TypeUsesTheClassPartOfTheMagic) {
    start_user();
    EXPECT_EQ(tb_text(object.type), "SYN.00.user");
    manifest_object o;
    const tb_id knx = tb_service_register_class(tb_class_knx, "knxgatewaylong");
    manifest_init(o, knx, "SYN.00", "KNX %02i", 0);
    EXPECT_EQ(tb_text(o.type), std::string("SYN.00.knxgatewaylong").substr(0, 15));
}

TEST_F(ManifestTest, LocaleFollowsTheDeviceRecord) {
    EXPECT_STREQ(locale(0), "User listening to %s");
    auto record = tb_test::test_device_record();
    tb_copy_text(record.locale, "de_DE");
    tb_device_init(record);
    EXPECT_STREQ(locale(0), "Benutzer hört %s");
    EXPECT_STREQ(locale(10), "Lautstärke");
    EXPECT_STREQ(locale(42), "Passwort ist nicht korrekt");
    EXPECT_STREQ(locale(43), "");
    EXPECT_STREQ(locale(-1), "");
}

TEST(ManifestLocale, EveryTextExistsInBothLanguagesAsUtf8) {
    for (int i = 0; i < locale_count; ++i) {
        for (bool german : {false, true}) {
            const std::string text = locale_text(i, german);
            EXPECT_FALSE(text.empty()) << i;
            JsonPtr node = json_mkstring(text);
            EXPECT_EQ(node->value.string, text) << "well-formed UTF-8: " << i;
        }
    }
    EXPECT_STREQ(locale_text(40, false), "Subscribe to Premium+ to get unlimited skips.");
    EXPECT_STREQ(locale_text(21, true), "Favorit endgültig löschen");
}

TEST(ManifestHelpers, DefaultStringCopiesCutsOrAdds) {
    JsonPtr o = json_decode("{\"a\":\"Grüße\",\"n\":3}");
    std::array<char, 6> small{};
    json_default_string(o.get(), "a", small);
    EXPECT_STREQ(small.data(), "Grü") << "cut without splitting a character";

    std::array<char, 16> buffer{};
    tb_copy_text(buffer, "dflt");
    json_default_string(o.get(), "n", buffer);
    EXPECT_STREQ(buffer.data(), "dflt");
    EXPECT_EQ(json_encode(o.get()), "{\"a\":\"Grüße\",\"n\":\"dflt\"}");
    json_default_string(o.get(), "new", buffer);
    EXPECT_EQ(*json_get_string(o.get(), "new"), "dflt");
    EXPECT_EQ(json_default_string(nullptr, "x", buffer), nullptr);
}

TEST(ManifestHelpers, IntegersAreReadWithoutOverflow) {
    JsonPtr o = json_decode("{\"big\":\"99999999999\",\"neg\":\"-12abc\",\"none\":\"x\"}");
    int value = 5;
    json_default_int(o.get(), "big", value);
    EXPECT_EQ(value, INT_MAX);
    json_default_int(o.get(), "neg", value);
    EXPECT_EQ(value, -12);
    json_default_int(o.get(), "none", value);
    EXPECT_EQ(value, 0);
    value = 42;
    json_default_int(o.get(), "added", value);
    EXPECT_EQ(*json_get_string(o.get(), "added"), "42");
    json_replace_int(o.get(), "big", -7);
    EXPECT_EQ(*json_get_string(o.get(), "big"), "-7");
    EXPECT_EQ(manifest_atoi("  +15x"), 15);
    EXPECT_EQ(manifest_atoi("-99999999999"), INT_MIN);
}

TEST(ManifestHelpers, ReplaceAndDefaultMembers) {
    JsonPtr o = json_decode("{\"m\":1,\"k\":\"v\",\"m\":2}");
    JsonNode *m = json_default_member(o.get(), "m");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(json_encode(o.get()), "{\"k\":\"v\",\"m\":{}}");
    EXPECT_EQ(json_default_member(o.get(), "m"), m);
    json_replace_member(o.get(), "k", json_mknumber(3));
    EXPECT_EQ(json_encode(o.get()), "{\"m\":{},\"k\":3}");
    json_replace_member(o.get(), "k", nullptr);
    EXPECT_EQ(json_encode(o.get()), "{\"m\":{}}");
    json_replace_string(o.get(), "m", "s");
    EXPECT_EQ(json_encode(o.get()), "{\"m\":\"s\"}");
}

TEST(ManifestHelpers, Readers) {
    JsonPtr o = json_decode("{\"s\":\"text\",\"n\":2.5,\"b\":true,\"o\":{\"x\":[1]}}");
    std::array<char, 8> buffer{};
    json_string(o.get(), "s", buffer);
    EXPECT_STREQ(buffer.data(), "text");
    json_string(o.get(), "n", buffer);
    EXPECT_STREQ(buffer.data(), "");
    EXPECT_EQ(json_number(o.get(), "n"), 2.5);
    EXPECT_EQ(json_number(o.get(), "s"), 0.0);
    EXPECT_TRUE(json_bool(o.get(), "b"));
    EXPECT_FALSE(json_bool(o.get(), "n"));
    EXPECT_EQ(json_object(o.get(), "o"), "{\"x\":[1]}");
    EXPECT_EQ(json_object(o.get(), "s"), "json error");
}

} // namespace
