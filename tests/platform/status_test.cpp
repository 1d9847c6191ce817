#include "platform/byte_order.h"
#include "platform/exit_code.h"
#include "platform/status.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

TEST(Status, FailureAndSevereBits) {
  EXPECT_FALSE(status::IsFailure(0x00320000u));
  EXPECT_FALSE(status::IsFailure(0x40310239u));  // success with information
  EXPECT_TRUE(status::IsFailure(status::kUnhandled));
  EXPECT_FALSE(status::IsSevere(status::kUnhandled));
  EXPECT_TRUE(status::IsSevere(status::kGeneralFailure));
  EXPECT_TRUE(status::IsSevere(0xA032FFFFu));
  // Bit 29 alone is not severe.
  EXPECT_FALSE(status::IsSevere(0x20000000u));
  EXPECT_EQ(status::Facility(0x8032FFFFu), 0x032u);
  EXPECT_EQ(status::Code(0x80000275u), 0x0275u);
}

TEST(ExitCode, NoFailureEverExitsWithZero) {
  EXPECT_EQ(platform::ExitCodeOf(0), 0);
  EXPECT_EQ(platform::ExitCodeOf(0x00320005u), 0);
  EXPECT_EQ(platform::ExitCodeOf(0x80000035u), 0x35);
  // Low byte 0 would read as success to the parent.
  EXPECT_EQ(platform::ExitCodeOf(0xA0000000u), 1);
  EXPECT_EQ(platform::ExitCodeOf(0x80000100u), 1);
  EXPECT_EQ(platform::ExitCodeOf(0xA000FFFFu), 0xFF);
}

TEST(ByteOrder, RoundTripsAreLittleEndian) {
  unsigned char b[8] = {};
  platform::StoreLE16(b, 0x8888);
  EXPECT_EQ(b[0], 0x88);
  EXPECT_EQ(b[1], 0x88);
  platform::StoreLE32(b, 0x01020304u);
  EXPECT_EQ(b[0], 0x04);
  EXPECT_EQ(b[3], 0x01);
  EXPECT_EQ(platform::LoadLE32(b), 0x01020304u);
  platform::StoreLE24(b, 0xFFFFFEu);
  EXPECT_EQ(platform::LoadLE24(b), 0xFFFFFEu);
  platform::StoreLE64(b, 0x0102030405060708ull);
  EXPECT_EQ(b[0], 0x08);
  EXPECT_EQ(platform::LoadLE64(b), 0x0102030405060708ull);
  platform::StoreLEDouble(b, -2.5);
  EXPECT_EQ(platform::LoadLEDouble(b), -2.5);
  platform::StoreLEFloat(b, std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isinf(platform::LoadLEFloat(b)));
}

}  // namespace
