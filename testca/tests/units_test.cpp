// The server's request framing, calendar arithmetic, times and faults.
#include <gtest/gtest.h>

#include "faults.h"
#include "issue.h"
#include "server.h"

namespace {

Frame Measure(std::vector<unsigned char> bytes, size_t &total) {
  return MeasureRequest(bytes.data(), bytes.size(), total);
}

TEST(RequestFraming, EndIsFoundFromTheOuterLength) {
  size_t total = 0;
  EXPECT_EQ(Measure({}, total), Frame::NeedMore);
  EXPECT_EQ(Measure({0x30}, total), Frame::NeedMore);
  EXPECT_EQ(Measure({0x30, 0x03, 0x01, 0x02}, total), Frame::NeedMore);
  EXPECT_EQ(Measure({0x30, 0x03, 0x01, 0x02, 0x03}, total), Frame::Complete);
  EXPECT_EQ(total, 5u);
  EXPECT_EQ(Measure({0x30, 0x82, 0x06}, total), Frame::NeedMore);
  EXPECT_EQ(Measure({0x30, 0x82, 0x06, 0x7A}, total), Frame::NeedMore);
  EXPECT_EQ(total, 4u + 0x067A);
  // Exactly 1 MiB in all is still a request; one byte more is not.
  EXPECT_EQ(Measure({0x30, 0x83, 0x0F, 0xFF, 0xFB}, total), Frame::NeedMore);
  EXPECT_EQ(total, 1048576u);
  EXPECT_EQ(Measure({0x30, 0x83, 0x0F, 0xFF, 0xFC}, total), Frame::Oversized);
  EXPECT_EQ(Measure({0x30, 0x83, 0x20, 0x00, 0x00}, total), Frame::Oversized);
  EXPECT_EQ(Measure({0x30, 0x84, 0x01, 0x00, 0x00, 0x00}, total), Frame::Oversized);
  EXPECT_EQ(Measure({0x30, 0x85}, total), Frame::Oversized);
}

TEST(RequestFraming, WhatCanNeverBeARequestIsMalformed) {
  size_t total = 0;
  EXPECT_EQ(Measure({'G'}, total), Frame::Malformed);
  EXPECT_EQ(Measure({0x31, 0x03}, total), Frame::Malformed);
  EXPECT_EQ(Measure({0x30, 0x80}, total), Frame::Malformed);        // indefinite length
  EXPECT_EQ(Measure({0x30, 0x81, 0x05}, total), Frame::Malformed);  // long form for a short length
  EXPECT_EQ(Measure({0x30, 0x82, 0x00, 0x90}, total), Frame::Malformed);
  EXPECT_EQ(Measure({0x30, 0x84, 0x00, 0x20, 0x00, 0x00}, total), Frame::Malformed);
  EXPECT_EQ(Measure({0x30, 0xFF}, total), Frame::Malformed);
}

time_t At(const char *text) {
  time_t t = 0;
  EXPECT_TRUE(ParseTimeArg(text, 0, t)) << text;
  return t;
}

TEST(Calendar, MonthsAreCalendarMonthsClampedToTheMonthsEnd) {
  EXPECT_EQ(AddMonths(At("20261207153000Z"), 13), At("20280107153000Z"));
  EXPECT_EQ(AddMonths(At("20270131000000Z"), 1), At("20270228000000Z"));
  EXPECT_EQ(AddMonths(At("20280131000000Z"), 1), At("20280229000000Z"));
  EXPECT_EQ(AddMonths(At("20270331235959Z"), -1), At("20270228235959Z"));
  EXPECT_EQ(AddMonths(At("20270115000000Z"), -13), At("20251215000000Z"));
  EXPECT_EQ(AddMonths(At("20271130000000Z"), 3), At("20280229000000Z"));
}

TEST(Calendar, TimeArguments) {
  time_t t = 0;
  EXPECT_TRUE(ParseTimeArg("+2d", 1000, t));
  EXPECT_EQ(t, 1000 + 2 * 86400);
  EXPECT_TRUE(ParseTimeArg("-90min", 10000, t));
  EXPECT_EQ(t, 10000 - 5400);
  EXPECT_TRUE(ParseTimeArg("+1y", At("20280229000000Z"), t));
  EXPECT_EQ(t, At("20290228000000Z"));
  for (const char *bad : {"20270231000000Z", "20271301000000Z", "2027010100000Z", "2027-01-01", "+d", "+3w", "3d", ""})
    EXPECT_FALSE(ParseTimeArg(bad, 0, t)) << bad;
}

TEST(Faults, ModesAndExchanges) {
  Fault f;
  std::string error;
  ASSERT_TRUE(ParseFault("short:3:pay", f, error));
  EXPECT_EQ(f.mode, FaultMode::Short);
  EXPECT_EQ(f.shortLength, 3);
  EXPECT_TRUE(f.payment);
  EXPECT_FALSE(f.certificate);
  ASSERT_TRUE(ParseFault("cert-128", f, error));
  EXPECT_FALSE(f.payment);
  EXPECT_TRUE(f.certificate);
  ASSERT_TRUE(ParseFault("forged", f, error));
  EXPECT_EQ(f.mode, FaultMode::Forged);
  EXPECT_FALSE(f.payment);
  EXPECT_TRUE(f.certificate);
  ASSERT_TRUE(ParseFault("slow:1.5:cert", f, error));
  EXPECT_DOUBLE_EQ(f.slowSeconds, 1.5);
  ASSERT_TRUE(ParseFault("trail:2:cert", f, error));
  EXPECT_EQ(f.trailLength, 2);
  for (const char *bad : {"short:0", "short:8", "short", "slow:x", "cert-128:pay", "other-key:pay", "forged:pay", "cut:0",
                          "cut:9:pay", "trail:0", "trail", "close:both", "explode", "reset:1"})
    EXPECT_FALSE(ParseFault(bad, f, error)) << bad;
}

TEST(Faults, SlowAddsToTheLastReplyFaultOfItsExchange) {
  std::vector<Fault> faults(4);
  std::string error;
  ASSERT_TRUE(ParseFault("close", faults[0], error));
  ASSERT_TRUE(ParseFault("garbage:cert", faults[1], error));
  ASSERT_TRUE(ParseFault("slow:2:pay", faults[2], error));
  ASSERT_TRUE(ParseFault("slow:1", faults[3], error));
  Fault pay = FaultFor(faults, false);
  EXPECT_EQ(pay.mode, FaultMode::Close);
  EXPECT_DOUBLE_EQ(pay.slowSeconds, 3);
  EXPECT_EQ(pay.text, "close,slow:2:pay,slow:1");
  Fault cert = FaultFor(faults, true);
  EXPECT_EQ(cert.mode, FaultMode::Garbage);
  EXPECT_DOUBLE_EQ(cert.slowSeconds, 1);
  EXPECT_EQ(FaultFor({}, true).mode, FaultMode::None);
}

}  // namespace
