#include "db/dbc_parser.h"
#include "db/dbc_records.h"

#include "diag_capture.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace loglathe {
namespace {

// Signal placement read literally: whole passes over every record in file order, repeated until a
// pass places nothing, with name searches through the message tree. The parser must build exactly
// the same trees and report exactly the same lines.
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
            std::vector<DbSignal>* target = &message.signals;
            if (s.multiplexed) {
                std::string muxName;
                uint32_t from = s.muxValue, to = s.muxValue;
                bool haveMux = false;
                for (const MuxRangeRecord& range : state.muxRanges) {
                    if (range.multiplexed == s.name) {
                        muxName = range.multiplexor;
                        from = range.from;
                        to = range.to;
                        haveMux = true;
                        break;
                    }
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
                MuxGroup* group = findMuxGroupExact(mux->muxGroups, from, to);
                if (!group)
                    group = addMuxGroup(mux->muxGroups, from, to);
                if (!group)
                    continue;
                target = &group->signals;
            }
            if (!s.widthsFit || message.length * 8u < uint32_t{s.layout.startBit} + s.layout.bitLength) {
                diagLog(kDiagFatal, "Failed to add signal %s to message %s", s.name.c_str(),
                        message.name.c_str());
                continue;
            }
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
    for (SignalRecord& s : state.signals)
        for (const MuxRangeRecord& range : state.muxRanges)
            if (s.multiplexor && range.multiplexed == s.name)
                s.multiplexed = true;
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
    int ranges = pick(5);
    for (int r = 0; r < ranges; ++r) {
        int from = pick(3);
        int to = pick(4) == 0 ? from - 1 : from + pick(2);
        text += "SG_MUL_VAL_ " + std::to_string(pick(messages)) + ' ' + names[pick(6)] + ' ' +
                names[pick(6)] + ' ' + std::to_string(from) + '-' + std::to_string(to < 0 ? 5 : to) + ";\n";
    }
    return text;
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
