#include "core/json.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

struct ValidityCase {
    std::string text;
    bool valid;
};

void expect_validity(const std::vector<ValidityCase> &cases) {
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        EXPECT_EQ(json_validate(c.text), c.valid);
        JsonPtr node = json_decode(c.text);
        EXPECT_EQ(node != nullptr, c.valid);
    }
}

std::string roundtrip(std::string_view text) {
    JsonPtr node = json_decode(text);
    return node ? json_encode(node.get()) : "<invalid>";
}

std::string nested(int depth, std::string_view open, std::string_view inner,
                   std::string_view close) {
    std::string text;
    for (int i = 0; i < depth; ++i)
        text += open;
    text += inner;
    for (int i = 0; i < depth; ++i)
        text += close;
    return text;
}

TEST(JsonGrammar, AcceptsAndRejects) {
    expect_validity({
        {" {} ", true},
        {"\t\r\n[ ]\n", true},
        {"{}x", false},
        {"", false},
        {"   ", false},
        {"[1,]", false},
        {"[,1]", false},
        {"[1 2]", false},
        {"[1]]", false},
        {"[] []", false},
        {"{\"a\":1,}", false},
        {"{\"a\" 1}", false},
        {"{\"a\":}", false},
        {"{1:2}", false},
        {"{'a':1}", false},
        {"{\"a\":1}}", false},
        {"{\"a\":{\"b\":[null,true,false,\"\",0]}}", true},
        {"true", true},
        {"false", true},
        {"null", true},
        {"tru", false},
        {"nul", false},
        {"nulll", false},
        {"True", false},
        {"0", true},
        {"-0", true},
        {"01", false},
        {"-01", false},
        {"[01]", false},
        {"-0.5e+3", true},
        {"1E5", true},
        {"1e-5", true},
        {"1.", false},
        {".5", false},
        {"1e", false},
        {"1e+", false},
        {"-", false},
        {"+1", false},
        {"0x10", false},
        {"NaN", false},
        {"Infinity", false},
        {"\"abc", false},
        {"\"\\x\"", false},
        {"\"\\u12\"", false},
        {"\"\\u12G4\"", false},
        {"\"\\uABCD\\uabcd\"", true},
        {"\"\\/\"", true},
        {"\"\\u0000\"", false},
        {"\"\\uD83D\\uDE00\"", true},
        {"\"\\uD83D\"", false},
        {"\"\\uD83Dx\"", false},
        {"\"\\uD83D\\u0041\"", false},
        {"\"\\uD83D\\uD83D\"", false},
        {"\"\\uDE00\"", false},
        {"\"a\tb\"", false},
        {"\"\x1f\"", false},
        {"\"\x7f\"", true},
        {"[\v]", false},
        {"\f1", false},
        {"\xEF\xBB\xBF{}", false},
        {"1\0"s, false},
        {"\0 1"s, false},
        {"[1,\0 2]"s, false},
        {"\"a\0b\""s, false},
        {"\"", false},
        {"\"\\", false},
        {"\"\\u", false},
    });
}

TEST(JsonGrammar, Utf8Sequences) {
    const std::vector<std::string> good = {
        "\x7F",
        "\xC2\x80",
        "\xDF\xBF",
        "\xE0\xA0\x80",
        "\xE1\x80\x80",
        "\xED\x9F\xBF",
        "\xEE\x80\x80",
        "\xEF\xBF\xBF",
        "\xF0\x90\x80\x80",
        "\xF3\xBF\xBF\xBF",
        "\xF4\x8F\xBF\xBF",
        "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC",
    };
    const std::vector<std::string> bad = {
        "\x80",
        "\xBF",
        "\xC0\x80",
        "\xC1\xBF",
        "\xC2",
        "\xC2\x41",
        "\xC2\xC0",
        "\xE0\x9F\xBF",
        "\xE1\x80",
        "\xED\xA0\x80",
        "\xED\xBF\xBF",
        "\xF0\x8F\xBF\xBF",
        "\xF0\x90\x80",
        "\xF4\x90\x80\x80",
        "\xF5\x80\x80\x80",
        "\xF8\x88\x80\x80\x80",
        "\xFE",
        "\xFF",
    };
    for (const auto &bytes : good) {
        SCOPED_TRACE(testing::PrintToString(bytes));
        const std::string text = "\"" + bytes + "\"";
        EXPECT_TRUE(json_validate(text));
        JsonPtr node = json_decode(text);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->value.string, bytes);
        EXPECT_EQ(json_encode(node.get()), text);
    }
    for (const auto &bytes : bad) {
        SCOPED_TRACE(testing::PrintToString(bytes));
        EXPECT_FALSE(json_validate("\"" + bytes + "\""));
        EXPECT_EQ(json_decode("\"" + bytes + "\""), nullptr);
        // Cut off at the end of the input: no read past the view.
        EXPECT_FALSE(json_validate("\"" + bytes));
    }
}

TEST(JsonDecode, StringEscapes) {
    const struct {
        std::string text;
        std::string expected;
    } cases[] = {
        {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
        {R"("\u0041\u00e9\u00E9")", "A\xC3\xA9\xC3\xA9"},
        {R"("\u20AC")", "\xE2\x82\xAC"},
        {R"("\u0001")", "\x01"},
        {R"("\uD83D\uDE00")", "\xF0\x9F\x98\x80"},
        {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
        {R"("\uD800\uDC00")", "\xF0\x90\x80\x80"},
        {R"("\uDBFF\uDFFF")", "\xF4\x8F\xBF\xBF"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        JsonPtr node = json_decode(c.text);
        ASSERT_NE(node, nullptr);
        ASSERT_EQ(node->tag, JsonTag::string);
        EXPECT_EQ(node->value.string, c.expected);
    }
}

TEST(JsonDepth, LimitAppliesToDecodeAndValidate) {
    const struct {
        std::string text;
        bool valid;
    } cases[] = {
        {nested(json_max_depth, "[", "1", "]"), true},
        {nested(json_max_depth + 1, "[", "1", "]"), false},
        {nested(json_max_depth, "[", "", "]"), true},
        {nested(json_max_depth + 1, "[", "", "]"), false},
        {nested(json_max_depth, "{\"a\":", "null", "}"), true},
        {nested(json_max_depth + 1, "{\"a\":", "null", "}"), false},
        {nested(json_max_depth / 2, "[{\"k\":", "0", "}]"), true},
        {nested(json_max_depth / 2, "[{\"k\":", "[]", "}]"), false},
        {std::string(100000, '['), false},
        {nested(100000, "[", "", "]"), false},
        {nested(100000, "{\"a\":", "1", "}"), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40) + "... size " + std::to_string(c.text.size()));
        EXPECT_EQ(json_validate(c.text), c.valid);
        JsonPtr node = json_decode(c.text);
        EXPECT_EQ(node != nullptr, c.valid);
    }
}

TEST(JsonDepth, SiblingsDoNotCount) {
    std::string text = "[";
    for (int i = 0; i < 1000; ++i)
        text += nested(json_max_depth - 1, "[", "", "]") + ",";
    text += "0]";
    EXPECT_TRUE(json_validate(text));
    EXPECT_NE(json_decode(text), nullptr);
}

TEST(JsonNumbers, Decode) {
    const struct {
        const char *text;
        double expected;
    } cases[] = {
        {"0", 0.0},
        {"0.1", 0.1},
        {"-0.5e+3", -500.0},
        {"1E2", 100.0},
        {"2e-3", 0.002},
        {"123456789012345678901234567890", 1.2345678901234568e29},
        {"1e308", 1e308},
        {"4.9e-324", 4.9e-324},
        {"1e999", HUGE_VAL},
        {"-1e999", -HUGE_VAL},
        {"123456789e301", HUGE_VAL},
        {"1e-999", 0.0},
        {"0.0000001e-400", 0.0},
        {"1000000000e-1000", 0.0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        JsonPtr node = json_decode(c.text);
        ASSERT_NE(node, nullptr);
        ASSERT_EQ(node->tag, JsonTag::number);
        EXPECT_EQ(node->value.number, c.expected);
    }
    JsonPtr minus_zero = json_decode("-0");
    ASSERT_NE(minus_zero, nullptr);
    EXPECT_TRUE(std::signbit(minus_zero->value.number));
}

TEST(JsonNumbers, Write) {
    const struct {
        double x;
        const char *expected;
    } cases[] = {
        {0.1, "0.1"},
        {-500.0, "-500"},
        {0.0, "0"},
        {-0.0, "-0"},
        {0.1 + 0.2, "0.3"},
        {1.0 / 3.0, "0.3333333333333333"},
        {123456789012.0, "123456789012"},
        {1e21, "1e+21"},
        {1.5e-7, "1.5e-07"},
        {1e308, "1e+308"},
        {std::numeric_limits<double>::infinity(), "null"},
        {-std::numeric_limits<double>::infinity(), "null"},
        {std::numeric_limits<double>::quiet_NaN(), "null"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        JsonPtr node = json_mknumber(c.x);
        EXPECT_EQ(json_encode(node.get()), c.expected);
    }
}

TEST(JsonNumbers, WriteIgnoresProcessLocale) {
    const char *old = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = old != nullptr ? old : "C";
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr)
        GTEST_SKIP() << "no German locale installed";
    JsonPtr node = json_decode("[0.5,-1.25e3]");
    const std::string text = node ? json_encode(node.get()) : "";
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(text, "[0.5,-1250]");
}

TEST(JsonWrite, StringEscapes) {
    JsonPtr object = json_mkobject();
    json_append_member(object.get(), "k\"\t",
                       json_mkstring("\"\\\b\t\n\f\r\x01\x1F/\x7F \xC3\xA9"));
    EXPECT_EQ(json_encode(object.get()), R"({"k\"\t":"\"\\\b\t\n\f\r\u0001\u001F/)"
                                         "\x7F \xC3\xA9\"}");
}

TEST(JsonWrite, ScalarsAndNone) {
    EXPECT_EQ(json_encode(json_mknull().get()), "null");
    EXPECT_EQ(json_encode(json_mkbool(true).get()), "true");
    EXPECT_EQ(json_encode(json_mkbool(false).get()), "false");
    EXPECT_EQ(json_encode(json_mkarray().get()), "[]");
    EXPECT_EQ(json_encode(json_mkobject().get()), "{}");
    EXPECT_EQ(json_encode(nullptr), "");
}

TEST(JsonWrite, RoundTrips) {
    const char *documents[] = {
        "[]",
        "{}",
        "null",
        "\"\"",
        "[1,2,3]",
        R"({"a":[1,2,{"b":null}],"c":"x\ny","d":true,"e":false,"f":{},"g":[]})",
        R"({"a":1,"a":2})",
        R"({"":""})",
        R"(["\u0001\u001F","\"\\/"])",
        "[\"\xF0\x9F\x98\x80\"]",
        "[-0.5,1e+21,0.3333333333333333,1.5e-07]",
    };
    for (const char *text : documents) {
        SCOPED_TRACE(text);
        EXPECT_EQ(roundtrip(text), text);
    }
    EXPECT_EQ(roundtrip(" { \"a\" : [ 1 , 2 ] , \"b\" : \"\\u00e9\\/\" } "),
              "{\"a\":[1,2],\"b\":\"\xC3\xA9/\"}");
    EXPECT_EQ(roundtrip("[1e999]"), "[null]");
}

TEST(JsonWrite, EncodesSubtreeWithoutKeyOrSiblings) {
    JsonPtr root = json_decode(R"({"a":[1],"b":{"c":2},"d":3})");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(json_encode(json_find_member(root.get(), "b")), R"({"c":2})");
    EXPECT_EQ(json_encode(json_find_member(root.get(), "a")), "[1]");
}

TEST(JsonWrite, Stringify) {
    JsonPtr root = json_decode(R"({"a":[1,{"b":null}],"c":{},"d":"x"})");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(json_stringify(root.get(), ""), json_encode(root.get()));
    const std::string pretty = json_stringify(root.get(), "  ");
    EXPECT_EQ(pretty, "{\n"
                      "  \"a\": [\n"
                      "    1,\n"
                      "    {\n"
                      "      \"b\": null\n"
                      "    }\n"
                      "  ],\n"
                      "  \"c\": {},\n"
                      "  \"d\": \"x\"\n"
                      "}");
    EXPECT_EQ(roundtrip(pretty), json_encode(root.get()));
    EXPECT_EQ(json_stringify(json_mknumber(7).get(), "\t"), "7");
}

TEST(JsonLookup, Members) {
    JsonPtr root = json_decode(R"({"a":1,"b":"x","a":2,"n":null})");
    ASSERT_NE(root, nullptr);
    const JsonNode *a = json_find_member(root.get(), "a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->value.number, 1.0);
    EXPECT_EQ(a->key, "a");
    EXPECT_EQ(json_find_member(root.get(), "A"), nullptr);
    EXPECT_EQ(json_find_member(root.get(), "a\0"s), nullptr);
    EXPECT_EQ(json_find_member(root.get(), ""), nullptr);

    JsonPtr array = json_decode(R"(["a",{"a":1}])");
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(json_find_member(array.get(), "a"), nullptr);
    EXPECT_EQ(json_find_member(static_cast<JsonNode *>(nullptr), "a"), nullptr);
}

TEST(JsonLookup, ElementsAndChildren) {
    JsonPtr array = json_decode(R"([10,"x",[],{}])");
    ASSERT_NE(array, nullptr);
    ASSERT_NE(json_find_element(array.get(), 0), nullptr);
    EXPECT_EQ(json_find_element(array.get(), 0)->value.number, 10.0);
    EXPECT_EQ(json_find_element(array.get(), 3)->tag, JsonTag::object);
    EXPECT_EQ(json_find_element(array.get(), 4), nullptr);
    EXPECT_EQ(json_find_element(array.get(), SIZE_MAX), nullptr);
    EXPECT_EQ(json_first_child(json_find_element(array.get(), 2)), nullptr);
    EXPECT_EQ(json_first_child(json_find_element(array.get(), 1)), nullptr);

    JsonPtr object = json_decode(R"({"a":1})");
    EXPECT_EQ(json_find_element(object.get(), 0), nullptr);
    EXPECT_EQ(json_first_child(object.get())->key, "a");

    std::vector<JsonTag> tags;
    for (const JsonNode *child : json_children(static_cast<const JsonNode *>(array.get())))
        tags.push_back(child->tag);
    EXPECT_EQ(tags, (std::vector<JsonTag>{JsonTag::number, JsonTag::string, JsonTag::array,
                                          JsonTag::object}));
    int count = 0;
    for (JsonNode *child : json_children(json_find_element(array.get(), 0))) {
        (void)child;
        ++count;
    }
    EXPECT_EQ(count, 0);
}

TEST(JsonLookup, TypedGetters) {
    JsonPtr root = json_decode(R"({"s":"text","n":2.5,"b":true,"big":1e300,"neg":-1e300,"z":"3"})");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(json_get_string(root.get(), "s"), "text");
    EXPECT_EQ(json_get_string(root.get(), "n"), std::nullopt);
    EXPECT_EQ(json_get_string(root.get(), "missing"), std::nullopt);
    EXPECT_EQ(json_get_number(root.get(), "n"), 2.5);
    EXPECT_EQ(json_get_number(root.get(), "z"), std::nullopt);
    EXPECT_EQ(json_get_bool(root.get(), "b"), true);
    EXPECT_EQ(json_get_bool(root.get(), "s"), std::nullopt);
    EXPECT_EQ(json_get_int(root.get(), "n", -1), 2);
    EXPECT_EQ(json_get_int(root.get(), "big", -1), INT_MAX);
    EXPECT_EQ(json_get_int(root.get(), "neg", -1), INT_MIN);
    EXPECT_EQ(json_get_int(root.get(), "big", -1, 0, 100), 100);
    EXPECT_EQ(json_get_int(root.get(), "z", -1), -1);
    EXPECT_EQ(json_get_int(root.get(), "missing", 7), 7);
    EXPECT_EQ(json_get_int(nullptr, "n", 7), 7);
    json_append_member(root.get(), "nan", json_mknumber(std::nan("")));
    EXPECT_EQ(json_get_int(root.get(), "nan", 9), 9);
}

TEST(JsonClamp, NumberToInt) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double two63 = 9223372036854775808.0;
    const struct {
        double x;
        std::int64_t lo, hi, expected;
    } cases[] = {
        {3.9, INT64_MIN, INT64_MAX, 3},
        {-3.9, INT64_MIN, INT64_MAX, -3},
        {std::nan(""), INT64_MIN, INT64_MAX, 0},
        {std::nan(""), 5, 10, 5},
        {std::nan(""), -10, -5, -5},
        {inf, 0, 255, 255},
        {-inf, 0, 255, 0},
        {300.0, 0, 255, 255},
        {-1.0, 0, 255, 0},
        {1e300, INT64_MIN, INT64_MAX, INT64_MAX},
        {-1e300, INT64_MIN, INT64_MAX, INT64_MIN},
        {two63, INT64_MIN, INT64_MAX, INT64_MAX},
        {-two63, INT64_MIN, INT64_MAX, INT64_MIN},
        {9007199254740992.0, 0, 9007199254740993, 9007199254740992},
        {9007199254740994.0, 0, 9007199254740993, 9007199254740993},
        {5.0, 10, 0, 10},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << " in [" << c.lo << ", " << c.hi << "]");
        EXPECT_EQ(json_number_to_int(c.x, c.lo, c.hi), c.expected);
    }
}

TEST(JsonBuild, AppendAndPrepend) {
    JsonPtr array = json_mkarray();
    JsonNode *two = json_append_element(array.get(), json_mknumber(2));
    JsonNode *one = json_prepend_element(array.get(), json_mknumber(1));
    JsonNode *three = json_append_element(array.get(), json_mkstring("3"));
    EXPECT_EQ(json_encode(array.get()), R"([1,2,"3"])");
    EXPECT_EQ(one->parent, array.get());
    EXPECT_EQ(one->prev, nullptr);
    EXPECT_EQ(one->next, two);
    EXPECT_EQ(two->prev, one);
    EXPECT_EQ(three->next, nullptr);
    EXPECT_EQ(array->value.first, one);
    EXPECT_EQ(array->value.last, three);

    JsonPtr object = json_mkobject();
    json_append_member(object.get(), "b", json_mkbool(false));
    json_prepend_member(object.get(), "a", std::move(array));
    json_append_member(object.get(), "b", json_mknull());
    EXPECT_EQ(json_encode(object.get()), R"({"a":[1,2,"3"],"b":false,"b":null})");
    EXPECT_EQ(json_find_member(object.get(), "b")->tag, JsonTag::boolean);
}

TEST(JsonBuild, RemoveAndReattach) {
    JsonPtr root = json_decode(R"({"a":[1,2,3],"b":{"x":true}})");
    ASSERT_NE(root, nullptr);
    JsonNode *array = json_find_member(root.get(), "a");

    JsonPtr middle = json_remove_from_parent(json_find_element(array, 1));
    ASSERT_NE(middle, nullptr);
    EXPECT_EQ(middle->parent, nullptr);
    EXPECT_EQ(middle->prev, nullptr);
    EXPECT_EQ(middle->next, nullptr);
    EXPECT_EQ(json_encode(array), "[1,3]");

    JsonPtr b = json_remove_from_parent(json_find_member(root.get(), "b"));
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(b->key.empty());
    EXPECT_EQ(json_encode(root.get()), R"({"a":[1,3]})");

    json_append_element(array, std::move(b));
    json_prepend_member(root.get(), "m", std::move(middle));
    EXPECT_EQ(json_encode(root.get()), R"({"m":2,"a":[1,3,{"x":true}]})");

    // A node without a parent stays with its owner.
    EXPECT_EQ(json_remove_from_parent(root.get()), nullptr);
    EXPECT_EQ(json_remove_from_parent(nullptr), nullptr);
}

TEST(JsonBuild, DeleteUnlinksFromAnyPosition) {
    const struct {
        std::size_t index;
        const char *expected;
    } cases[] = {{0, "[2,3]"}, {1, "[1,3]"}, {2, "[1,2]"}};
    for (const auto &c : cases) {
        JsonPtr array = json_decode("[1,2,3]");
        json_delete(json_find_element(array.get(), c.index));
        EXPECT_EQ(json_encode(array.get()), c.expected);
    }
    JsonPtr single = json_decode("[[1,[2]]]");
    json_delete(json_find_element(single.get(), 0));
    EXPECT_EQ(json_encode(single.get()), "[]");
    EXPECT_EQ(single->value.first, nullptr);
    EXPECT_EQ(single->value.last, nullptr);
    json_delete(nullptr);
}

TEST(JsonBuild, DeepAndWideTreesBuiltByCode) {
    // Trees built by code have no depth limit; writing and freeing them must
    // not recurse.
    JsonPtr root = json_mkarray();
    JsonNode *inner = root.get();
    for (int i = 0; i < 200000; ++i)
        inner = json_append_element(inner, json_mkarray());
    EXPECT_EQ(json_encode(root.get()).size(), 400002u);
    root.reset();

    JsonPtr wide = json_mkobject();
    for (int i = 0; i < 100000; ++i)
        json_append_member(wide.get(), "k", json_mknumber(i));
    EXPECT_EQ(json_find_member(wide.get(), "k")->value.number, 0.0);
}

TEST(JsonBuild, TextsAreKeptWellFormed) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain", "plain"},
        {"gr\xC3\xBC\xC3\x9F", "gr\xC3\xBC\xC3\x9F"},
        {"a\0b"s, "a"},
        {"\xFF", "\xEF\xBF\xBD"},
        {"x\xC3", "x\xEF\xBF\xBD"},
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.in));
        JsonPtr object = json_mkobject();
        JsonNode *member = json_append_member(object.get(), c.in, json_mkstring(c.in));
        EXPECT_EQ(member->key, c.out);
        EXPECT_EQ(member->value.string, c.out);
        EXPECT_EQ(roundtrip(json_encode(object.get())), json_encode(object.get()));
    }
}

TEST(JsonBuildDeathTest, MisuseStopsTheProcess) {
    EXPECT_DEATH(json_append_element(json_mkobject().get(), json_mknull()), "wrong kind");
    EXPECT_DEATH(json_append_member(json_mkarray().get(), "k", json_mknull()), "wrong kind");
    EXPECT_DEATH(json_prepend_element(nullptr, json_mknull()), "wrong kind");
    EXPECT_DEATH(json_append_element(json_mkarray().get(), nullptr), "no node");
    EXPECT_DEATH(
        {
            JsonPtr root = json_decode("[[]]");
            JsonPtr stolen(json_find_element(root.get(), 0));
            json_append_element(json_mkarray().get(), std::move(stolen));
        },
        "already has a parent");
    EXPECT_DEATH(
        {
            JsonPtr root = json_mkarray();
            JsonNode *inner = json_append_element(root.get(), json_mkarray());
            json_append_element(inner, std::move(root));
        },
        "contains the parent");
}

} // namespace
