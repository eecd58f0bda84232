#include <gtest/gtest.h>

#include "core/tb_start.hpp"

namespace {

struct arch_case {
    const char* arch;
    int slots;
    bool unknown;
};

TEST(Start, ArchitectureKey)
{
    const arch_case cases[] = {
        {"x64", 8, false},   {"max", 32, false},     {"raspberry", 1, false}, {"cedarview", 6, false},
        {"noarch", 1, true}, {"nonsense", 1, true},  {"5", 5, false},         {"0", 1, true},
        {"-3", 1, true},     {"33", 32, false},      {"99999999999999999999", 32, false},
        {"-99999999999999999999", 1, true}, {"", 1, true}, {"X64", 1, true}, {"12abc", 12, false},
    };
    for (const auto& c : cases) {
        bool unknown = false;
        EXPECT_EQ(start_services_count(c.arch, &unknown), c.slots) << c.arch;
        EXPECT_EQ(unknown, c.unknown) << c.arch;
    }
    EXPECT_EQ(synology_arch_get_number_of_services("noarch"), 0);
    EXPECT_EQ(synology_arch_get_number_of_services("3"), 3);
}

} // namespace
