#include "app/arguments.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace norvel::app {
namespace {

struct ArgumentsCase {
  std::vector<const char*> arguments;
  std::optional<std::string> target;
};

class ArgumentsTest : public ::testing::TestWithParam<ArgumentsCase> {};

TEST_P(ArgumentsTest, TakesTheFirstArgumentNotStartingWithDash) {
  EXPECT_EQ(targetFromArguments(GetParam().arguments), GetParam().target);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, ArgumentsTest,
    ::testing::Values(ArgumentsCase{{}, std::nullopt}, ArgumentsCase{{"norvel-read"}, std::nullopt},
                      ArgumentsCase{{"norvel-read", "-", "--help", "-h"}, std::nullopt},
                      ArgumentsCase{{"norvel-read", "-x", "ABC", "DEF"}, "ABC"},
                      ArgumentsCase{{"norvel-read", "", "ABC"}, ""},
                      ArgumentsCase{{"ABC"}, std::nullopt},
                      ArgumentsCase{{"norvel-read", " -a"}, " -a"}));

}  // namespace
}  // namespace norvel::app
