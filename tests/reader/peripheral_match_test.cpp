#include "reader/peripheral_match.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace norvel {
namespace {

const ble::Uuid kIdentifier = *ble::Uuid::parse("1C4A5E2B-8F3D-4A6B-9C7E-0123456789AB");

struct NameCase {
  std::optional<std::string> peripheralName;
  ble::AdvertisementData advertisement;
  std::string expected;
};

class CandidateNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(CandidateNameTest, PrefersThePeripheralNameThenTextLocalName) {
  EXPECT_EQ(candidateName(GetParam().peripheralName, GetParam().advertisement),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, CandidateNameTest,
    ::testing::Values(
        NameCase{
            "Norvel4", {{ble::kAdvertisementDataLocalNameKey, std::string("Other")}}, "Norvel4"},
        NameCase{"", {{ble::kAdvertisementDataLocalNameKey, std::string("Norvel4")}}, ""},
        NameCase{std::nullopt,
                 {{ble::kAdvertisementDataLocalNameKey, std::string("Norvel4")}},
                 "Norvel4"},
        NameCase{std::nullopt, {{ble::kAdvertisementDataLocalNameKey, std::int64_t{7}}}, ""},
        NameCase{std::nullopt, {{"kCBAdvDataTxPowerLevel", std::string("Norvel4")}}, ""},
        NameCase{std::nullopt, {}, ""}));

struct QualifyCase {
  std::optional<std::string> target;
  std::string name;
  bool qualifies;
};

class QualifyTest : public ::testing::TestWithParam<QualifyCase> {};

TEST_P(QualifyTest, JudgesByIdentifierOrElseByName) {
  EXPECT_EQ(peripheralQualifies(GetParam().target, kIdentifier, GetParam().name),
            GetParam().qualifies);
}

INSTANTIATE_TEST_SUITE_P(
    Qualify, QualifyTest,
    ::testing::Values(QualifyCase{std::nullopt, "Norvel4 Office", true},
                      QualifyCase{std::nullopt, "my norvel", true},
                      QualifyCase{std::nullopt, "xNORVELx", true},
                      QualifyCase{std::nullopt, "Nor vel", false},
                      QualifyCase{std::nullopt, "", false}, QualifyCase{"", "Norvel4", true},
                      QualifyCase{"1C4A5E2B-8F3D-4A6B-9C7E-0123456789AB", "Lamp", true},
                      QualifyCase{"1c4a5e2b-8f3d-4a6b-9c7e-0123456789ab", "", true},
                      QualifyCase{"1C4A5E2B-8F3D-4A6B-9C7E-0123456789AC", "Norvel4", false},
                      QualifyCase{"1C4A5E2B-8F3D-4A6B-9C7E-0123456789AB0", "Norvel4", false},
                      QualifyCase{"Norvel", "Norvel4", false}));

}  // namespace
}  // namespace norvel
