// Time texts from the controller: the first 19 characters with a blank at index 10, or nothing.
#include <gtest/gtest.h>

#include "ZavDateTime.h"

TEST(TimeTexts, CutToSecondsOrRefused) {
    for (const auto &c : std::vector<std::pair<std::string, std::string>>{
             {"2026-12-06T01:02:03.500", "2026-12-06 01:02:03"}, {"2026-12-06X01:02:03", "2026-12-06 01:02:03"},
             {"2026-12-06T01:02:0", ""}, {"", ""}})
        EXPECT_EQ(c.second, ConvertTimeString(c.first)) << c.first;
}
