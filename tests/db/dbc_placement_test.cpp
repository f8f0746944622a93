#include "db/dbc_parser.h"
#include "db/dbc_records.h"

#include "support/diag_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

namespace loglathe {
namespace {

using test::DiagCapture;

// The SG_MUL_VAL_ record that places a signal, read literally: the first of its own message naming
// it as multiplexed; none when one of its own message names it as multiplexor; else the first of any
// message naming it as multiplexed, unless that message has a signal of that name itself.
const MuxRangeRecord* recordFor(const DbcParseState& state, uint32_t messageId, const std::string& name) {
    for (const MuxRangeRecord& r : state.muxRanges)
        if (r.messageId == messageId && r.multiplexed == name)
            return &r;
    for (const MuxRangeRecord& r : state.muxRanges)
        if (r.messageId == messageId && r.multiplexor == name)
            return nullptr;
    for (const MuxRangeRecord& r : state.muxRanges) {
        if (r.multiplexed != name)
            continue;
        bool itsMessageHasIt = false;
        for (const SignalRecord& t : state.signals)
            itsMessageHasIt = itsMessageHasIt || (t.messageId == r.messageId && t.name == name);
        if (!itsMessageHasIt)
            return &r;
    }
    return nullptr;
}

// Signal placement read literally: whole passes over every record in file order, repeated until a
// pass places nothing, with name searches through the message tree. A signal of several ranges gets
// a copy in each of their groups. The parser must build exactly the same trees and report exactly
// the same lines.
void placeByPasses(MessageDb& db, const DbcParseState& state) {
    for (bool placedAny = true; placedAny;) {
        placedAny = false;
        for (const SignalRecord& s : state.signals) {
            auto found = db.messages.find(dbcMsgKey2DbMsgKey(db.busType, s.messageId));
            if (found == db.messages.end())
                continue;
            DbMessage& message = found->second;
            if (findSignalByName(message.signals, s.name))
                continue;
            std::vector<std::vector<DbSignal>*> targets = {&message.signals};
            if (s.multiplexed) {
                std::string muxName;
                std::vector<MuxRange> ranges = {{s.muxValue, s.muxValue}};
                bool haveMux = false;
                if (const MuxRangeRecord* record = recordFor(state, s.messageId, s.name)) {
                    muxName = record->multiplexor;
                    ranges = record->ranges;
                    haveMux = true;
                }
                for (const SignalRecord& other : state.signals) {
                    if (haveMux)
                        break;
                    if (other.messageId == s.messageId && other.multiplexor && !other.multiplexed) {
                        muxName = other.name;
                        haveMux = true;
                    }
                }
                DbSignal* mux = haveMux ? findSignalByName(message.signals, muxName) : nullptr;
                if (!mux)
                    continue;
                std::vector<std::size_t> groups;
                for (const MuxRange& range : ranges) {
                    MuxGroup* group = findMuxGroupExact(mux->muxGroups, range.from, range.to);
                    if (!group)
                        group = addMuxGroup(mux->muxGroups, range.from, range.to);
                    if (!group)
                        continue;
                    std::size_t index = static_cast<std::size_t>(group - mux->muxGroups.data());
                    if (std::find(groups.begin(), groups.end(), index) == groups.end())
                        groups.push_back(index);
                }
                if (groups.empty())
                    continue;
                targets.clear();
                for (std::size_t index : groups)
                    targets.push_back(&mux->muxGroups[index].signals);
            }
            if (!s.widthsFit || message.length * 8u < uint32_t{s.layout.startBit} + s.layout.bitLength) {
                diagLog(kDiagFatal, "Failed to add signal %s to message %s", s.name.c_str(),
                        message.name.c_str());
                continue;
            }
            for (std::vector<DbSignal>* target : targets)
                if (addSignal(*target, s.name, s.layout, s.ignored))
                    placedAny = true;
        }
    }
    for (const MessageRecord& m : state.messages) {
        DbMsgKey key = dbcMsgKey2DbMsgKey(db.busType, m.identifier);
        const DbMessage* message = dbFind(&db, key);
        for (const SignalRecord& s : state.signals)
            if (dbcMsgKey2DbMsgKey(db.busType, s.messageId) == key &&
                !findSignalByName(message->signals, s.name))
                diagLog(kDiagError, "Failed to load signal %s", s.name.c_str());
    }
}

std::unique_ptr<MessageDb> referenceParse(const std::string& text) {
    DbcParseState state;
    EXPECT_TRUE(dbcReadText(text, state));
    std::vector<bool> marked;
    for (const SignalRecord& s : state.signals)
        marked.push_back(s.multiplexor && recordFor(state, s.messageId, s.name));
    for (std::size_t i = 0; i < state.signals.size(); ++i)
        state.signals[i].multiplexed = state.signals[i].multiplexed || marked[i];
    auto db = createMessageDb(BusType::Can);
    for (const MessageRecord& m : state.messages)
        EXPECT_TRUE(dbAddMessage(*db, m.name, dbcMsgKey2DbMsgKey(BusType::Can, m.identifier), m.length,
                                 TransportProtocolType::None, "", false));
    placeByPasses(*db, state);
    return db;
}

void describe(const std::vector<DbSignal>& signals, std::string& out) {
    out += '[';
    for (const DbSignal& s : signals) {
        out += s.name + '@' + std::to_string(s.layout.startBit);
        for (const MuxGroup& g : s.muxGroups) {
            out += '{' + std::to_string(g.from) + '-' + std::to_string(g.to);
            describe(g.signals, out);
            out += '}';
        }
        out += ',';
    }
    out += ']';
}

std::string describe(const MessageDb& db) {
    std::string out;
    for (const auto& [key, message] : db.messages) {
        out += std::to_string(key) + ':';
        describe(message.signals, out);
    }
    return out;
}

// The diagnostics lines without their time stamps.
std::vector<std::string> messagesOf(const std::string& log) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < log.size()) {
        std::size_t end = log.find('\n', start);
        lines.push_back(log.substr(start + 18, end - start - 18));
        start = end + 1;
    }
    return lines;
}

std::string randomDbc(std::mt19937& random) {
    const char* names[] = {"A", "B", "C", "D", "E", "F"};
    const char* indicators[] = {"", "", "M", "m", "m0", "m1", "m2", "m1M", "m0M", "m2M"};
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    std::string text = "BA_DEF_  \"BusType\" STRING ;\nBA_DEF_DEF_  \"BusType\" \"CAN\";\n";
    if (pick(4) == 0)
        text += "SG_ A M : 0|8@1+ (1,0) [0|0] \"\" X\n";
    int messages = 1 + pick(3);
    for (int m = 0; m < messages; ++m) {
        text += "BO_ " + std::to_string(m) + " M" + std::to_string(m) + ": " + std::to_string(1 + pick(8)) +
                " E\n";
        int signals = pick(9);
        for (int s = 0; s < signals; ++s) {
            std::string indicator = indicators[pick(10)];
            // Now and then a bit length that does not fit its 8 bits (264 would be kept as 8).
            int length = pick(8) == 0 ? 256 + pick(12) : 1 + pick(12);
            text += " SG_ " + std::string(names[pick(6)]) + ' ' + indicator + (indicator.empty() ? "" : " ") +
                    ": " + std::to_string(pick(64)) + '|' + std::to_string(length) +
                    "@1+ (+1,0) [0|+1E+2] \"\" X\n";
        }
    }
    auto range = [&] {
        int from = pick(3);
        int to = pick(4) == 0 ? from - 1 : from + pick(2);
        return std::to_string(from) + '-' + std::to_string(to < 0 ? 5 : to);
    };
    int records = pick(6);
    for (int r = 0; r < records; ++r) {
        // Ranges listed on one line, now and then; the message may be any of the file's.
        std::string ranges = range();
        for (int more = pick(3) == 0 ? 1 + pick(2) : 0; more > 0; --more)
            ranges += ", " + range();
        text += "SG_MUL_VAL_ " + std::to_string(pick(messages + 1)) + ' ' + names[pick(6)] + ' ' +
                names[pick(6)] + ' ' + ranges + ";\n";
    }
    return text;
}

// The messages of cantools' multiplex_2.dbc (MIT, see ../shared/dbc/cantools): each message's own
// SG_MUL_VAL_ lines decide, although S0, S1 and S2 of other messages are named in them too, and S1 of
// "Shared" is listed under two ranges.
TEST(DbcPlacement, RecordsOfTheSignalsOwnMessageDecide) {
    DiagCapture diag(kDiagError);
    MemoryStream stream("BA_DEF_  \"BusType\" STRING ;\nBA_DEF_DEF_  \"BusType\" \"CAN\";\n"
                        "BO_ 2349006590 Shared: 8 Vector__XXX\n"
                        " SG_ S2 m2 : 8|8@1- (1,0) [0|0] \"\" Vector__XXX\n"
                        " SG_ S1 m1 : 4|4@1- (1,0) [0|0] \"\" Vector__XXX\n"
                        " SG_ S0 M : 0|4@1- (1,0) [0|0] \"\" Vector__XXX\n"
                        "BO_ 2348941054 Normal: 8 Vector__XXX\n"
                        " SG_ S2 m1 : 8|8@1- (1,0) [0|0] \"\" Vector__XXX\n"
                        " SG_ S1 m0 : 4|4@1- (1,0) [0|0] \"\" Vector__XXX\n"
                        " SG_ S0 M : 0|4@1- (1,0) [0|0] \"\" Vector__XXX\n"
                        "BO_ 2348875518 Extended: 8 Vector__XXX\n"
                        " SG_ S8 m2 : 40|8@1- (1,0) [0|0] \"\" Vector__XXX\n"
                        " SG_ S7 m1 : 40|24@1- (1,0) [0|0] \"\" Vector__XXX\n"
                        " SG_ S6 M : 32|8@1- (1,0) [0|0] \"\" Vector__XXX\n"
                        " SG_ S5 m1 : 4|28@1- (1,0) [0|0] \"\" Vector__XXX\n"
                        " SG_ S4 m2 : 8|24@1- (1,0) [0|0] \"\" Vector__XXX\n"
                        " SG_ S3 m0 : 16|16@1- (1,0) [0|0] \"\" Vector__XXX\n"
                        " SG_ S2 m0 : 8|8@1- (1,0) [0|0] \"\" Vector__XXX\n"
                        " SG_ S1 m0M : 4|4@1- (1,0) [0|0] \"\" Vector__XXX\n"
                        " SG_ S0 M : 0|4@1- (1,0) [0|0] \"\" Vector__XXX\n"
                        "BO_ 2349072126 ExtendedTypes: 8 Vector__XXX\n"
                        " SG_ S9 m5 : 24|32@1- (1,0) [-1.34|1235] \"\" Vector__XXX\n"
                        " SG_ S10 m0 : 16|32@1- (1,0) [-3.4E+038|3.4E+038] \"\" Vector__XXX\n"
                        " SG_ S0 m3M : 8|4@1- (1,0) [0|0] \"\" Vector__XXX\n"
                        " SG_ S11 M : 0|5@1+ (1,0) [2|6] \"\" Vector__XXX\n"
                        "SG_MUL_VAL_ 2349072126 S9 S11 5-5;\n"
                        "SG_MUL_VAL_ 2349072126 S10 S0 0-0;\n"
                        "SG_MUL_VAL_ 2349072126 S0 S11 3-3;\n"
                        "SG_MUL_VAL_ 2349006590 S2 S0 2-5;\n"
                        "SG_MUL_VAL_ 2349006590 S1 S0 1-1, 3-3;\n"
                        "SG_MUL_VAL_ 2348875518 S8 S6 2-2;\n"
                        "SG_MUL_VAL_ 2348875518 S7 S6 1-1;\n"
                        "SG_MUL_VAL_ 2348875518 S5 S0 1-1;\n"
                        "SG_MUL_VAL_ 2348875518 S4 S1 2-2;\n"
                        "SG_MUL_VAL_ 2348875518 S3 S1 0-0;\n"
                        "SG_MUL_VAL_ 2348875518 S2 S1 0-0;\n"
                        "SG_MUL_VAL_ 2348875518 S1 S0 0-0;\n");
    auto db = dbcParse(stream);
    ASSERT_TRUE(db);
    EXPECT_EQ(describe(*db), "2348875518:[S6@32{2-2[S8@40,]}{1-1[S7@40,]},"
                             "S0@0{1-1[S5@4,]}{0-0[S1@4{2-2[S4@8,]}{0-0[S3@16,S2@8,]},]},]"
                             "2348941054:[S0@0{1-1[S2@8,]}{0-0[S1@4,]},]"
                             "2349006590:[S0@0{2-5[S2@8,]}{1-1[S1@4,]}{3-3[S1@4,]},]"
                             "2349072126:[S11@0{5-5[S9@24,]}{3-3[S0@8{0-0[S10@16,]},]},]");
    EXPECT_EQ(diag.text(), "");
}

// A multiplexor listed under two ranges is copied into both groups; what is placed under it goes into
// the groups of its first copy.
TEST(DbcPlacement, SignalsUnderACopiedMultiplexorGoToItsFirstCopy) {
    MemoryStream stream("BA_DEF_  \"BusType\" STRING ;\nBA_DEF_DEF_  \"BusType\" \"CAN\";\n"
                        "BO_ 1 M: 8 E\n"
                        " SG_ Inner m1 : 16|8@1+ (1,0) [0|0] \"\" X\n"
                        " SG_ Sub m0M : 8|8@1+ (1,0) [0|0] \"\" X\n"
                        " SG_ Top M : 0|8@1+ (1,0) [0|0] \"\" X\n"
                        " SG_ Other m2 : 8|8@1+ (1,0) [0|0] \"\" X\n"
                        "SG_MUL_VAL_ 1 Other Top 2-2;\n"
                        "SG_MUL_VAL_ 1 Sub Top 4-4, 2-2;\n"
                        "SG_MUL_VAL_ 1 Inner Sub 1-1;\n");
    auto db = dbcParse(stream);
    ASSERT_TRUE(db);
    EXPECT_EQ(describe(*db), "1:[Top@0{2-2[Other@8,Sub@8{1-1[Inner@16,]},]}{4-4[Sub@8,]},]");
}

TEST(DbcPlacement, MatchesRepeatedPassesOnRandomFiles) {
    std::mt19937 random(7);
    for (int trial = 0; trial < 1500; ++trial) {
        std::string text = randomDbc(random);
        std::string expected, actual, expectedLog, actualLog;
        {
            DiagCapture diag(kDiagError);
            auto db = referenceParse(text);
            expected = describe(*db);
            expectedLog = diag.text();
        }
        {
            DiagCapture diag(kDiagError);
            MemoryStream stream(text);
            auto db = dbcParse(stream);
            ASSERT_TRUE(db);
            actual = describe(*db);
            actualLog = diag.text();
        }
        ASSERT_EQ(actual, expected) << text;
        ASSERT_EQ(messagesOf(actualLog), messagesOf(expectedLog)) << text;
    }
}

} // namespace
} // namespace loglathe
