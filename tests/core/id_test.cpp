#include <gtest/gtest.h>

#include "core/tb_id.hpp"

namespace {

constexpr std::array<std::uint8_t, 6> mac = {0x00, 0x11, 0x32, 0xAB, 0xCD, 0xEF};

TEST(Id, TextFormOfTheExamples)
{
    EXPECT_EQ(tb_id_text(tb_id_make_id(mac, 0, 0)), "0001132ABCDEF0");
    EXPECT_EQ(tb_id_text(tb_id_make_id(mac, tb_class_user, 1)), "U001132ABCDEF1");
    EXPECT_EQ(tb_id_text(tb_id_make_id(mac, tb_class_source, 10)), "S001132ABCDEFA");
    EXPECT_EQ(tb_id_text(tb_id_broadcast()), "FFFFFFFFFFFFFF");
    EXPECT_EQ(tb_id_text(tb_id_unknown()), "00000000000000");
}

TEST(Id, RoundTripForEveryPrintableClass)
{
    for (int service_class = 0; service_class <= 15; ++service_class) {
        for (int index : {0, 9, 10, 35}) {
            const tb_id id = tb_id_make_id(mac, static_cast<std::uint8_t>(service_class), static_cast<std::uint8_t>(index));
            const tb_id back = tb_id_sscan(tb_id_text(id));
            if (service_class >= 10 && service_class <= 12) {
                EXPECT_EQ(tb_id_get_service_class(back), 13) << service_class; // all print as "?"
                EXPECT_TRUE(tb_id_compare_device(back, id));
            } else {
                EXPECT_EQ(back, id) << tb_id_text(id);
            }
        }
    }
}

TEST(Id, ParsingRules)
{
    EXPECT_EQ(tb_id_sscan("FFFFFFFFFFFFFF"), tb_id_broadcast());
    EXPECT_EQ(tb_id_sscan("00000000000000"), tb_id_unknown());
    EXPECT_EQ(tb_id_sscan("x000000000000z"), tb_id_make_id(std::array<std::uint8_t, 6>{}, 0, 35));
    EXPECT_EQ(tb_id_sscan("u001132abcdef1"), tb_id_make_id(mac, 0, 1)); // class letter is case-sensitive
    EXPECT_EQ(tb_id_sscan("R001132ABCDEFz"), tb_id_make_id(mac, tb_class_room, 35));
    EXPECT_EQ(tb_id_sscan("R0011G2ABCDEF!"), tb_id_make_id(std::array<std::uint8_t, 6>{0x00, 0x11, 0x02, 0xAB, 0xCD, 0xEF}, 1, 0));
}

TEST(Id, ShortTextsStopAtTheirEnd)
{
    // Backed by exactly the given characters: a read past them is caught by ASan.
    for (std::size_t n = 0; n <= 14; ++n) {
        const std::string full = "U001132ABCDEF1";
        const auto heap = std::make_unique<char[]>(n);
        std::copy_n(full.begin(), n, heap.get());
        const tb_id id = tb_id_sscan(std::string_view(heap.get(), n));
        if (n == 14) {
            EXPECT_EQ(id, tb_id_make_id(mac, tb_class_user, 1));
        } else if (n == 0) {
            EXPECT_EQ(id, tb_id_unknown());
        }
    }
    EXPECT_EQ(tb_id_sscan("U0011"), tb_id_make_id(std::array<std::uint8_t, 6>{0x00, 0x11, 0, 0, 0, 0}, tb_class_user, 0));
    EXPECT_EQ(tb_id_sscan("U00113"), tb_id_make_id(std::array<std::uint8_t, 6>{0x00, 0x11, 0x30, 0, 0, 0}, tb_class_user, 0));
}

TEST(Id, Comparisons)
{
    const tb_id room = tb_id_make_id(mac, tb_class_room, 3);
    const tb_id device = tb_id_get_device_id(room);
    EXPECT_TRUE(tb_id_compare_device(room, device));
    EXPECT_FALSE(tb_id_compare(room, device));
    for (const tb_id x : {room, device, tb_id_unknown(), tb_id_broadcast()}) {
        EXPECT_TRUE(tb_id_compare_broadcast(x, tb_id_broadcast()));
        EXPECT_TRUE(tb_id_compare_broadcast(tb_id_broadcast(), x));
        EXPECT_EQ(tb_id_compare(x, tb_id_broadcast()), x == tb_id_broadcast());
    }
}

TEST(Id, IndexBeyondBase36PrintsThirteenCharacters)
{
    EXPECT_EQ(tb_id_text(tb_id_make_id(mac, tb_class_room, 36)).size(), 13u);
    EXPECT_EQ(tb_id_text(tb_id_make_id(mac, 16, 0))[0], '?');
}

} // namespace
