#include "platform/diag_sequence.h"

#include "platform/diag_log.h"
#include "support/diag_capture.h"
#include "support/lines.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace loglathe {
namespace {

using test::DiagCapture;

// The messages of the lines written, without their stamps.
std::vector<std::string> messages(const std::string& text) {
    std::vector<std::string> out;
    for (const std::string& line : test::splitLines(text))
        if (line.size() > 2)
            out.push_back(line.substr(line.find(" E ") + 3));
    return out;
}

TEST(DiagSequence, WritesSlotsInTheOrderOpenedWhateverOrderTheyCloseIn) {
    DiagCapture capture(kDiagError);
    DiagSequence sequence;
    DiagSequence::Slot a = sequence.open(), b = sequence.open(), c = sequence.open();
    {
        DiagCaptureScope into(sequence.lines(c));
        diagLog(kDiagError, "c1");
        diagLog(kDiagError, "c2");
    }
    {
        DiagCaptureScope into(sequence.lines(b));
        diagLog(kDiagError, "b1");
    }
    sequence.close(c);
    sequence.close(b);
    EXPECT_EQ(capture.text(), "") << "a later slot came out before an earlier one was done";
    EXPECT_EQ(sequence.pending(), 3u);
    {
        DiagCaptureScope into(sequence.lines(a));
        diagLog(kDiagError, "a1");
    }
    sequence.close(a);
    EXPECT_EQ(messages(capture.text()), (std::vector<std::string>{"a1", "b1", "c1", "c2"}));
    EXPECT_EQ(sequence.pending(), 0u);
}

// A walk on the main thread with its own lines between files converted on worker threads, each
// worker capturing one file at a time: the lines come out as on one thread.
TEST(DiagSequence, InterleavesTheLinesOfManyThreadsAsOneThreadWouldWriteThem) {
    DiagCapture capture(kDiagError);
    DiagSequence sequence;
    constexpr int kFiles = 60;
    std::vector<DiagSequence::Slot> fileSlots;
    std::vector<std::string> expected;
    DiagSequence::Slot walkSlot = sequence.open();
    diagCaptureTo(sequence.lines(walkSlot));
    for (int i = 0; i < kFiles; ++i) {
        diagLog(kDiagError, "walk %d", i);
        expected.push_back("walk " + std::to_string(i));
        diagCaptureTo(nullptr);
        sequence.close(walkSlot);
        fileSlots.push_back(sequence.open());
        expected.push_back("file " + std::to_string(i) + " first");
        expected.push_back("file " + std::to_string(i) + " second");
        walkSlot = sequence.open();
        diagCaptureTo(sequence.lines(walkSlot));
    }
    diagCaptureTo(nullptr);

    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
        // Worker w takes files w, w+4, ... from the end backwards, so that late slots close first.
        workers.emplace_back([&, w] {
            for (int i = kFiles - 1 - w; i >= 0; i -= 4) {
                {
                    DiagCaptureScope into(sequence.lines(fileSlots[static_cast<std::size_t>(i)]));
                    diagLog(kDiagError, "file %d first", i);
                    diagLog(kDiagError, "file %d second", i);
                }
                sequence.close(fileSlots[static_cast<std::size_t>(i)]);
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    diagCaptureTo(sequence.lines(walkSlot));
    diagLog(kDiagError, "walk end");
    expected.push_back("walk end");
    diagCaptureTo(nullptr);
    sequence.close(walkSlot);
    EXPECT_EQ(messages(capture.text()), expected);
}

TEST(DiagSequence, CaptureBelongsToOneThreadAndCapturedLinesKeepTheirStamps) {
    DiagCapture capture(kDiagError);
    std::string held;
    std::thread other([&] {
        DiagCaptureScope into(&held);
        diagLog(kDiagError, "held");
        diagLog(kDiagWarning, "below the output level"); // the level still applies under a capture
    });
    other.join();
    diagLog(kDiagError, "direct");
    EXPECT_EQ(messages(capture.text()), (std::vector<std::string>{"direct"}));
    ASSERT_EQ(messages(held), (std::vector<std::string>{"held"}));
    // A held line is a whole diagnostics line: stamp, ids, letter, message, line feed.
    EXPECT_TRUE(std::regex_match(
        held, std::regex("\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} +\\d+ +\\d+ E held\n")))
        << held;
    diagWriteCaptured(held);
    EXPECT_EQ(messages(capture.text()), (std::vector<std::string>{"direct", "held"}));
}

} // namespace
} // namespace loglathe
