#include "downloader/command_line.h"

#include <gtest/gtest.h>

#include "downloader/result_codes.h"
#include "tests/downloader/run_fixture.h"

namespace pondrel::dl {
namespace {

constexpr char kId[] = "00112233445566778899aabbccddeeff";

TEST(CommandLine, ServiceLineWithPathsBlanksAndFlags) {
  CommandLine cmd;
  ASSERT_EQ(RunResult::kOk,
            ParseCommandLine(std::string("/g ") + kId +
                                 ",/l /var/lib/pondrel/img one/dl.log,/t night shift,/d,/h",
                             &cmd));
  EXPECT_TRUE(cmd.server_id_set);
  EXPECT_EQ(kId, GuidToHex(cmd.server_id));
  EXPECT_EQ("/var/lib/pondrel/img one/dl.log", cmd.log_path);
  EXPECT_EQ("night shift", cmd.task_name);
  EXPECT_TRUE(cmd.hang_up);

  ASSERT_EQ(RunResult::kOk, ParseCommandLine("/T t,/E e,/p p,/U u,/x x,/D", &cmd));
  EXPECT_EQ("t", cmd.task_name);
  EXPECT_FALSE(cmd.hang_up);
  EXPECT_FALSE(cmd.server_id_set);
}

TEST(CommandLine, WhatTheServiceBuildsParsesBackToTheSameValues) {
  for (bool flags : {false, true}) {
    DownloaderOptions o;
    o.server_id = kId;
    o.log_path = "/var/lib/pondrel/img one/info/dl.log";
    o.task_name = "night shift";
    o.delete_images = o.hang_up = flags;
    CommandLine cmd;
    ASSERT_EQ(RunResult::kOk, ParseCommandLine(FormatDownloaderOptions(o), &cmd));
    EXPECT_TRUE(cmd.server_id_set);
    EXPECT_EQ(o.server_id, GuidToHex(cmd.server_id));
    EXPECT_EQ(o.log_path, cmd.log_path);
    EXPECT_EQ(o.task_name, cmd.task_name);
    EXPECT_EQ(flags, cmd.delete_images);
    EXPECT_EQ(flags, cmd.hang_up);
  }
}

TEST(CommandLine, ErrorCodes) {
  CommandLine cmd;
  EXPECT_EQ(RunResult::kUnknownOption, ParseCommandLine("/t x,/q y", &cmd));
  EXPECT_EQ(RunResult::kUnknownOption, ParseCommandLine("/t x,/", &cmd));
  EXPECT_EQ(RunResult::kNoBlankAfterOption, ParseCommandLine("/tname", &cmd));
  EXPECT_EQ(RunResult::kNoBlankAfterOption, ParseCommandLine("/t", &cmd));
  EXPECT_EQ(RunResult::kEmptyValue, ParseCommandLine("/g ,/t x", &cmd));
  EXPECT_EQ(RunResult::kEmptyValue, ParseCommandLine("/t x,/l ", &cmd));
  EXPECT_EQ(RunResult::kEmptyValue, ParseCommandLine("/t " + std::string(1024, 'a'), &cmd));
  EXPECT_EQ(RunResult::kOk, ParseCommandLine("/t " + std::string(1023, 'a'), &cmd));
  EXPECT_EQ(RunResult::kNoTaskName,
            ParseCommandLine(std::string("/g ") + kId + ",/l /tmp/x", &cmd));
}

TEST(CommandLine, ServerIdMustBeExactly32LowerCaseDigits) {
  CommandLine cmd;
  ASSERT_EQ(RunResult::kOk, ParseCommandLine("/g 00112233445566778899AABBCCDDEEFF,/t x", &cmd));
  EXPECT_FALSE(cmd.server_id_set);
  ASSERT_EQ(RunResult::kOk, ParseCommandLine("/g 00112233445566778899aabbccddeef,/t x", &cmd));
  EXPECT_FALSE(cmd.server_id_set);
  ASSERT_EQ(RunResult::kOk, ParseCommandLine("/g 00112233445566778899aabbccddeeff0,/t x", &cmd));
  EXPECT_FALSE(cmd.server_id_set);
}

// A run whose profile cannot be found ends with 1008 and writes D012 to the /l log; a parse
// error writes nothing.
TEST(CommandLine, ProfileLookupFailures) {
  test::DownloaderWorld world;
  world.AddProfile({});
  EXPECT_EQ(RunResult::kNoProfile,
            world.Run("/l " + world.LogPath() + ",/t task1", world.Settings()));
  EXPECT_EQ(1u, world.LogLines("Failed to get the server information. (D012)").size());
  EXPECT_EQ(RunResult::kNoProfile,
            world.Run(world.CommandLine("00112233445566778899AABBCCDDEEFF"), world.Settings()));
  EXPECT_EQ(RunResult::kNoProfile, world.Run(world.CommandLine(kId), world.Settings()));
  EXPECT_EQ(3u, world.LogLines("(D012)").size());
  EXPECT_EQ(RunResult::kUnknownOption,
            world.Run("/l " + world.LogPath() + ",/z 1,/t t", world.Settings()));
  EXPECT_EQ(3u, world.LogLines("(D").size());
}

}  // namespace
}  // namespace pondrel::dl
