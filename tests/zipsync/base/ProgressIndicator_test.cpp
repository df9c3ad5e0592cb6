// Progress records of downloads as a display shows them, and how they reach an indicator.
#include "base/ProgressIndicator.h"

#include <gtest/gtest.h>

using namespace ZipSync;

TEST(TransferProgress, TextShowsWhatIsKnown) {
    TransferProgress progress;
    EXPECT_EQ(FormatTransferProgress(progress), "0 B");
    progress.bytesDone = 12345678;
    progress.bytesTotal = 45600000;
    EXPECT_EQ(FormatTransferProgress(progress), "12.3 MB of 45.6 MB");
    progress.bytesPerSecond = 2100000;
    progress.secondsLeft = 16.6;
    EXPECT_EQ(FormatTransferProgress(progress), "12.3 MB of 45.6 MB, 2.10 MB/s, 17 s left");
    progress.secondsLeft = 125;
    EXPECT_EQ(FormatTransferProgress(progress), "12.3 MB of 45.6 MB, 2.10 MB/s, 2:05 left");
    progress.secondsLeft = 3725;
    EXPECT_EQ(FormatTransferProgress(progress), "12.3 MB of 45.6 MB, 2.10 MB/s, 1:02:05 left");
    progress.secondsLeft = 1e9; // a stalled link says nothing useful about the end
    EXPECT_EQ(FormatTransferProgress(progress), "12.3 MB of 45.6 MB, 2.10 MB/s");
}

// An indicator that knows nothing of transfers shows their ratio and comment.
TEST(TransferProgress, PlainIndicatorsGetRatioAndComment) {
    struct Plain : ProgressIndicator {
        int Update(double ratio, std::string comment, double, std::string) override {
            seen.push_back(std::to_string(int(ratio * 100)) + " " + comment);
            return ratio > 0.9;
        }
        std::vector<std::string> seen;
    } plain;
    TransferProgressCallback callback = MakeTransferProgressCallback(&plain);
    TransferProgress progress;
    progress.ratio = 0.5;
    progress.comment = "Downloading \"x\"...";
    EXPECT_EQ(callback(progress), 0);
    progress.ratio = 1.0;
    EXPECT_EQ(callback(progress), 1);
    EXPECT_EQ(plain.seen, std::vector<std::string>({"50 Downloading \"x\"...", "100 Downloading \"x\"..."}));
}
