#include <gtest/gtest.h>

#include "server/core/metrics.h"

namespace {

TEST(Exposition, FamiliesSamplesAndEscaping) {
  qmsTExposition x;
  x.Family("qms32_a_total", "counter", "Line one\nback\\slash \"quoted\"");
  x.Sample("qms32_a_total", {{"group", "we\"ird\\name\nx"}, {"service", "SMTP"}}, 12);
  x.Sample("qms32_a_total", {}, 0.5);
  x.Sample("qms32_a_total", {{"kind", ""}}, 18446744073709551615.0);
  EXPECT_EQ(x.Text(),
            "# HELP qms32_a_total Line one\\nback\\\\slash \"quoted\"\n"
            "# TYPE qms32_a_total counter\n"
            "qms32_a_total{group=\"we\\\"ird\\\\name\\nx\",service=\"SMTP\"} 12\n"
            "qms32_a_total 0.5\n"
            "qms32_a_total{kind=\"\"} 1.8446744073709552e+19\n");
}

TEST(Metrics, RelaxedCountersAndCells) {
  qmsTMetrics m;
  m.Add(mcAccepted);
  m.Add(mcBytesIn, 100);
  m.Cell(mcBytesIn)->fetch_add(5);
  const auto snap = m.Snapshot();
  EXPECT_EQ(snap[mcAccepted], 1u);
  EXPECT_EQ(snap[mcBytesIn], 105u);
  EXPECT_EQ(snap[mcExpired], 0u);
}

}  // namespace
