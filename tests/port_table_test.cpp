#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "serial/port_table.h"

namespace {

std::set<std::string> present;
std::vector<std::string> probed;
std::vector<std::string> listed;

bool fake_can_open(const char *path)
{
    probed.push_back(path);
    return present.count(path) != 0;
}

void fake_add_row(const char *path)
{
    listed.push_back(path);
}

int scan(std::set<std::string> ports)
{
    present = std::move(ports);
    probed.clear();
    listed.clear();
    return fill_port_table(fake_can_open, fake_add_row);
}

TEST(PortTable, RowsFollowAscendingPortNumbersWithoutGaps)
{
    ASSERT_EQ(scan({"\\\\.\\com12", "\\\\.\\com3"}), 2);
    EXPECT_EQ(listed, (std::vector<std::string>{"\\\\.\\com3", "\\\\.\\com12"}));
    EXPECT_EQ(PortTable[0].number, 3);
    EXPECT_EQ(PortTable[1].number, 12);
    EXPECT_STREQ(port_path_of_row(1), "\\\\.\\com12");
    EXPECT_EQ(probed.size(), 998u);
    EXPECT_EQ(probed.front(), "\\\\.\\com1");
    EXPECT_EQ(probed.back(), "\\\\.\\com998");
}

TEST(PortTable, RowsOutsideTheFilledTableHaveNoPath)
{
    scan({"\\\\.\\com5"});
    EXPECT_STREQ(port_path_of_row(0), "\\\\.\\com5");
    EXPECT_EQ(port_path_of_row(1), nullptr);
    EXPECT_EQ(port_path_of_row(-1), nullptr);  // no selection
    EXPECT_EQ(port_path_of_row(998), nullptr);

    EXPECT_EQ(scan({}), 0);
    EXPECT_EQ(port_path_of_row(0), nullptr);
    EXPECT_TRUE(listed.empty());
}

TEST(PortTable, EveryPortPresentFillsAtMost998Rows)
{
    std::set<std::string> all;
    for (int n = 1; n <= 1000; ++n)
        all.insert("\\\\.\\com" + std::to_string(n));
    EXPECT_EQ(scan(all), 998);
    EXPECT_EQ(PortTable[997].number, 998);
    EXPECT_EQ(port_path_of_row(998), nullptr);
}

}  // namespace
