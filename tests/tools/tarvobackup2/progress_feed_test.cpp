// The --progress-fd lines: only a writable descriptor starts the feed, and
// a reader that stalls or goes away ends the feed, not the run.
#include "progress_feed.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

TEST(ProgressFeed, OnlyADescriptorOpenForWritingStartsIt) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    EXPECT_FALSE(progress_feed_start(ends[0]));
    close(ends[0]);
    close(ends[1]);
    EXPECT_FALSE(progress_feed_start(ends[1]));
    EXPECT_FALSE(progress_feed_on());
}

TEST(ProgressFeed, AReaderThatStallsOrLeavesEndsTheFeedWithOneWarning) {
    signal(SIGPIPE, SIG_IGN);
    for (const bool reader_leaves : {false, true}) {
        int ends[2];
        ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
        if (reader_leaves) {
            close(ends[0]);
        }
        ASSERT_TRUE(progress_feed_start(ends[1]));
        testing::internal::CaptureStderr();
        // Far more than a pipe holds: the writer must give up, not block.
        for (int i = 0; i < 100000 && progress_feed_on(); ++i) {
            progress_feed_file(TransferDirection::kReceived, "UDID/ab/abcdef", 12);
        }
        const std::string warning = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(progress_feed_on());
        EXPECT_EQ(warning, std::string("WARNING: progress descriptor ") + std::to_string(ends[1]) +
                               (reader_leaves ? " was closed" : " stopped taking lines") +
                               "; no more progress lines.\n");
        progress_feed_end(0);  // nothing more, and no second warning
        if (!reader_leaves) {
            // What the reader finds is whole lines.
            std::string taken(65536, '\0');
            const ssize_t n = read(ends[0], taken.data(), taken.size());
            ASSERT_GT(n, 0);
            taken.resize(static_cast<size_t>(n));
            EXPECT_EQ(taken.back(), '\n');
            close(ends[0]);
        }
        close(ends[1]);
    }
}

}  // namespace
