// Reading of the free-space reply: the two characters before "%" against the threshold.
#include "backup/free_space.h"

#include <gtest/gtest.h>

namespace {

TEST(FreeSpaceTest, AcceptsUpToEightyNinePercentAndRefusesNinety) {
    EXPECT_TRUE(FreeSpaceAccepts("+OK<br>85%"));
    EXPECT_TRUE(FreeSpaceAccepts("+OK<br>89%"));
    EXPECT_FALSE(FreeSpaceAccepts("+OK<br>90%"));
    EXPECT_FALSE(FreeSpaceAccepts("+OK<br>99% used"));
}

TEST(FreeSpaceTest, ReadsTheTwoCharactersBeforeThePercentSignAsAtoiDoes) {
    EXPECT_TRUE(FreeSpaceAccepts("+OK<br> 5%"));  // a blank, then one digit: 5
    EXPECT_FALSE(FreeSpaceAccepts("+OK<br>x95%"));
    EXPECT_TRUE(FreeSpaceAccepts("+OK<br>=5%"));            // "=5" has no digits first: 0
    EXPECT_TRUE(FreeSpaceAccepts("+OK<br>100%"));           // last two digits: "00"
    EXPECT_FALSE(FreeSpaceAccepts("+OK<br>190%"));          // "90"
    EXPECT_TRUE(FreeSpaceAccepts("+OK<br>no percentage"));  // "+O" reads as 0
    EXPECT_TRUE(FreeSpaceAccepts("+OK%"));                  // "OK" before the sign reads as 0
}

TEST(FreeSpaceTest, AnythingButPlusOkIsARefusal) {
    EXPECT_FALSE(FreeSpaceAccepts(std::nullopt));
    EXPECT_FALSE(FreeSpaceAccepts(std::string("-ERR 0000000000 서버 점검중")));
    EXPECT_FALSE(FreeSpaceAccepts(std::string("<html>10%</html>")));
    EXPECT_FALSE(FreeSpaceAccepts(std::string("+O")));
    EXPECT_FALSE(FreeSpaceAccepts(std::string("")));
}

}  // namespace
