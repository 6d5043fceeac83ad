// The login throttle: growth and cap of the wait, holding back, reset on success, expiry and
// the bound on tracked addresses, on a clock the test moves.
#include <gtest/gtest.h>

#include <string>

#include "server/users/loginthrottle.h"

namespace {

using T = qmsTLoginThrottle;
using std::chrono::milliseconds;
using std::chrono::minutes;

class LoginThrottleTest : public ::testing::Test {
 protected:
  // n failures of one address; the last one's verdict.
  T::Failure Fail(const std::string& address, int n, int baseMs = 5000) {
    T::Failure f;
    for (int i = 0; i < n; ++i) f = throttle_.Failed(address, baseMs);
    return f;
  }

  T::Clock::time_point now_{};
  T throttle_{[this] { return now_; }};
};

TEST(LoginThrottle, DelayStaysAtTheBaseThenDoublesUpToTheCap) {
  const struct {
    int failures, baseMs, delayMs;
  } cases[] = {
      {1, 5000, 5000},  {5, 5000, 5000},  {6, 5000, 10000},   {7, 5000, 20000},
      {8, 5000, 40000}, {9, 5000, 60000}, {500, 5000, 60000}, {6, 2000, 4000},
      {6, 0, 0},        {99, 0, 0},       {7, 90000, 90000},
  };
  for (const auto& c : cases)
    EXPECT_EQ(T::DelayFor(c.failures, c.baseMs), c.delayMs) << c.failures << " x " << c.baseMs;
}

TEST_F(LoginThrottleTest, AddressIsHeldBackOnlyAfterTheFreeFailures) {
  EXPECT_FALSE(Fail("10.0.0.1", T::kFreeFailures).heldBackNow);
  EXPECT_FALSE(throttle_.HeldBack("10.0.0.1"));
  T::Failure f = Fail("10.0.0.1", 1);
  EXPECT_TRUE(f.heldBackNow);
  EXPECT_EQ(f.delayMs, 10000);
  EXPECT_TRUE(throttle_.HeldBack("10.0.0.1"));
  EXPECT_FALSE(throttle_.HeldBack("10.0.0.2"));   // per address
  EXPECT_FALSE(Fail("10.0.0.1", 1).heldBackNow);  // said once
  now_ += milliseconds(20000);
  EXPECT_FALSE(throttle_.HeldBack("10.0.0.1"));  // the hold lasts as long as the wait
}

TEST_F(LoginThrottleTest, SuccessClearsTheCountUnlessHeldBack) {
  Fail("a", T::kFreeFailures);
  throttle_.Succeeded("a");
  EXPECT_EQ(throttle_.Failures("a"), 0);
  EXPECT_EQ(Fail("a", 1).delayMs, 5000);
  Fail("b", T::kFreeFailures + 1);
  now_ += minutes(1);
  throttle_.Succeeded("b");
  EXPECT_EQ(throttle_.Failures("b"), T::kFreeFailures + 1);
}

TEST_F(LoginThrottleTest, FailuresAreForgottenAfterAQuietSpell) {
  Fail("a", 8);
  now_ += T::kForgetAfter;
  EXPECT_EQ(throttle_.Failures("a"), 8);
  now_ += milliseconds(1);
  EXPECT_EQ(throttle_.Failures("a"), 0);
  EXPECT_EQ(Fail("a", 1).delayMs, 5000);
}

TEST_F(LoginThrottleTest, TrackedAddressesAreBoundedOldestGoesFirst) {
  for (size_t i = 0; i < T::kMaxAddresses; ++i) {
    Fail("addr" + std::to_string(i), 1);
    now_ += milliseconds(1);
  }
  EXPECT_EQ(throttle_.Size(), T::kMaxAddresses);
  Fail("newcomer", 1);
  EXPECT_EQ(throttle_.Size(), T::kMaxAddresses);
  EXPECT_EQ(throttle_.Failures("addr0"), 0);
  EXPECT_EQ(throttle_.Failures("addr1"), 1);
  EXPECT_EQ(throttle_.Failures("newcomer"), 1);
  now_ += T::kForgetAfter + minutes(1);  // all expired: one sweep makes room for many
  Fail("later", 1);
  EXPECT_EQ(throttle_.Size(), 1u);
}

TEST(LoginThrottleWait, CancelEndsTheWait) {
  std::atomic<bool> cancel{true};
  qmsWaitUnless(600000, &cancel);  // returns at once
  qmsWaitUnless(0, nullptr);
  SUCCEED();
}

}  // namespace
