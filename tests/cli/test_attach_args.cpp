// The arguments of "ostrel-cli attach": every 32-bit process id, and a duration that
// cannot overflow the deadline.
#include <gtest/gtest.h>

#include <chrono>

#include "cli/attach_args.h"

namespace ostrel::cli {
namespace {

TEST(AttachArgs, AnyProcessIdAndAClampedDuration) {
  std::string error;
  auto parsed = parseAttachArgs({"4294967292", "--for", "99999999999999999999999"}, error);
  ASSERT_TRUE(parsed.has_value()) << error;
  EXPECT_EQ(parsed->processId, 4294967292u);
  ASSERT_TRUE(parsed->duration.has_value());
  EXPECT_EQ(*parsed->duration, kMaxAttachDuration);
  // The deadline of the longest stay lies ahead, not wrapped into the past.
  const auto now = std::chrono::steady_clock::now();
  EXPECT_GT(now + *parsed->duration, now + std::chrono::hours(24 * 365));

  parsed = parseAttachArgs({"2147483648", "--handoff"}, error);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->processId, 2147483648u);
  EXPECT_FALSE(parsed->duration.has_value());
  EXPECT_TRUE(parsed->handoff);

  EXPECT_FALSE(parseAttachArgs({"4294967296"}, error));
  EXPECT_FALSE(parseAttachArgs({"-4"}, error));
  EXPECT_FALSE(parseAttachArgs({"12", "--for"}, error));
  EXPECT_EQ(error, "bad option '--for'");
  EXPECT_FALSE(parseAttachArgs({"12", "--for", "-1"}, error));
}

}  // namespace
}  // namespace ostrel::cli
