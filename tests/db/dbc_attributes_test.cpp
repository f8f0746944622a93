#include "db/dbc_attributes.h"

#include <gtest/gtest.h>

namespace loglathe {
namespace {

class Attributes : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dbcReadText("BA_DEF_ BO_  \"Mode\" ENUM  \"Off\", \" On \",\"Auto\";\n"
                                "BA_DEF_ BO_  \"Cycle\" INT 0 1000;\n"
                                "BA_DEF_ BO_  \"Gain\" FLOAT 0 10;\n"
                                "BA_DEF_ BO_  \"MessageIgnore\" INT 0 1;\n"
                                "BA_DEF_ BO_  \"TransportProtocolType\" ENUM \"ISOTP\",\"NMEATP\";\n"
                                "BA_DEF_DEF_  \"Mode\" \"Auto\";\n"
                                "BA_DEF_DEF_  \"Cycle\" 100;\n"
                                "BA_DEF_DEF_  \"Gain\" 2.5;\n"
                                "BA_DEF_DEF_  \"TransportProtocolType\" \"ISOTP\";\n"
                                "BA_ \"MessageIgnore\" BO_ 1 7;\n"
                                "BA_ \"TransportProtocolType\" BO_ 1 1;\n"
                                "BA_ \"TransportProtocolType\" BO_ 2 9;\n",
                                state));
        index = std::make_unique<AttributeIndex>(state);
    }

    std::optional<AttributeValue> lookup(std::string_view name, uint32_t id) {
        return attributeLookup(*index, name, ObjectKind::Message, id, "");
    }

    DbcParseState state;
    std::unique_ptr<AttributeIndex> index;
};

TEST_F(Attributes, AssignmentBeatsDefaultAndConvertsByDefinedType) {
    ASSERT_TRUE(lookup("MessageIgnore", 1));
    EXPECT_EQ(lookup("MessageIgnore", 1)->intValue, 7);
    EXPECT_EQ(lookup("messageignore", 1)->intValue, 7); // names compare without regard to case
    EXPECT_FALSE(lookup("MessageIgnore", 2));           // no assignment and no default
    EXPECT_EQ(lookup("Cycle", 1)->type, AttributeType::Int);
    EXPECT_EQ(lookup("Cycle", 1)->intValue, 100);
    EXPECT_EQ(lookup("Gain", 1)->floatValue, 2.5);
    EXPECT_FALSE(attributeLookup(*index, "Cycle", ObjectKind::Signal, 1, "")); // no signal definition
    EXPECT_FALSE(lookup("Unknown", 1));
}

TEST_F(Attributes, EnumAssignmentsAreIndicesAndDefaultsAreTexts) {
    EXPECT_EQ(lookup("TransportProtocolType", 1)->enumValue, "NMEATP");
    EXPECT_EQ(lookup("TransportProtocolType", 2)->enumValue, ""); // index past the list
    EXPECT_EQ(lookup("TransportProtocolType", 3)->enumValue, "ISOTP");
    EXPECT_EQ(lookup("Mode", 1)->enumValue, "Auto");
    EXPECT_TRUE(lookup("TransportProtocolType", 1)->stringValue.empty());
}

} // namespace
} // namespace loglathe
