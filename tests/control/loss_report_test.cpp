#include "control/loss_report.h"

#include <gtest/gtest.h>

TEST(LossReport, OneLineAtMostEveryTenSecondsAndOnlyWhenACountGrew) {
  LossReport report;
  EXPECT_FALSE(loss_report_due(report, {}, 0)) << "nothing lost, nothing to say";
  EXPECT_TRUE(loss_report_due(report, {3, 0, 0}, 5000)) << "the first loss is told at once";
  // Growth within 10 s of the last line waits; the line then carries the totals.
  EXPECT_FALSE(loss_report_due(report, {3, 1, 0}, 9000));
  EXPECT_FALSE(loss_report_due(report, {4, 1, 0}, 14999));
  EXPECT_TRUE(loss_report_due(report, {4, 1, 0}, 15000));
  EXPECT_EQ(report.shown.late, 4u);
  EXPECT_EQ(report.shown.overrun, 1u);
  EXPECT_FALSE(loss_report_due(report, {4, 1, 0}, 90000)) << "no growth, no line";
  EXPECT_TRUE(loss_report_due(report, {4, 1, 1}, 90000)) << "an underrun is a loss too";
  EXPECT_TRUE(loss_report_due(report, {4, 1, 1, 1}, 100000)) << "so is a block the recording dropped";
  EXPECT_TRUE(loss_report_due(report, {4, 1, 1, 1, 2}, 110000)) << "and a dongle read that failed";
}

TEST(LossReport, Texts) {
  EXPECT_EQ(loss_report_text({3, 0, 2}),
            "Lost 3 audio blocks (late), 0 sample blocks (overrun), 2 underruns\n");
  EXPECT_EQ(loss_report_text({18446744073709551615u, 7, 0}),
            "Lost 18446744073709551615 audio blocks (late), 7 sample blocks (overrun), 0 underruns\n");
  EXPECT_EQ(loss_report_text({0, 0, 0, 4}),
            "Lost 0 audio blocks (late), 0 sample blocks (overrun), 0 underruns, 4 blocks not recorded "
            "(recording queue full)\n");
  EXPECT_EQ(loss_report_text({0, 0, 0, 0, 2}),
            "Lost 0 audio blocks (late), 0 sample blocks (overrun), 0 underruns, 2 dongle reads failed\n");
  EXPECT_EQ(loss_status_text({1, 2, 3, 0, 6}, 4, 5),
            "backlog 4\nlate 1\noverrun 2\nunderruns 3\nstart_dropped 5\nfailed_reads 6\n");
}
