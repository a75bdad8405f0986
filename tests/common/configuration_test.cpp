// Reading "OstrinNT.ini": the port key's parsing rules, the keep time, the connections per user and
// the volume mappings.
#include "common/configuration.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

COstrinConfiguration ReadText(const std::string& text) {
  // A file of each test's own: CTest runs the tests of this program side by side.
  const std::string path = ::testing::TempDir() + "configuration_test_" +
                           ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".ini";
  FILE* file = std::fopen(path.c_str(), "w");
  EXPECT_NE(file, nullptr);
  std::fputs(text.c_str(), file);
  std::fclose(file);
  COstrinConfiguration config = ReadConfigurationFile(path.c_str());
  std::remove(path.c_str());
  return config;
}

TEST(ConfigurationTest, MissingFileKeepsDefaults) {
  const COstrinConfiguration config = ReadConfigurationFile("/nonexistent/OstrinNT.ini");
  EXPECT_EQ(config.port, 49020);
  EXPECT_TRUE(config.VolumeOf('C').empty());
}

TEST(ConfigurationTest, PortParsing) {
  struct Case {
    const char* text;
    int32_t port;
  };
  const Case cases[] = {
      {"  PORT  =  5000  \r\n", 5000},
      {"port=1\nport=2\n", 2},               // the last one wins
      {"# port=7\n", 49020},                 // comment
      {"port\n", 49020},                     // no '='
      {"other=7\n", 49020},                  // another key
      {"port=12abc\n", 12},                  // strtol stops at the first non-digit
      {"port=abc\n", 0},                     // no digits give 0
      {"port=-3\n", -3},                     // no range check
      {"port=114556\n", 114556},             // kept; binding uses the low 16 bits
      {"\tPoRt\t=\t+42\t\n", 42},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadText(c.text).port, c.port) << c.text;
  }
}

TEST(ConfigurationTest, KeepAndConnectionsPerUserAreWholeNumbersOrAProblemThatKeepsTheDefault) {
  struct Case {
    const char* text;
    int64_t seconds;
    const char* problem;  // empty when the line is taken
    int64_t connectionsPerUser = DEFAULT_CONNECTIONS_PER_USER;
  };
  const Case cases[] = {
      {"connections_per_user = 3\n", 0, "", 3},
      {"Connections_Per_User=256\n", 0, "", 256},
      {"connections_per_user = 0\n", 0, "connections_per_user = 0: not a whole number from 1 to 256"},
      {"connections_per_user = 257\n", 0, "connections_per_user = 257: not a whole number from 1 to 256"},
      {"connections_per_user = many\n", 0, "connections_per_user = many: not a whole number from 1 to 256"},
      {"keep = 60\n", 60, ""},
      {"KEEP=0\n", 0, ""},
      {"keep = 31622400\n", 31622400, ""},  // a year of 366 days at most
      {"keep = 31622401\n", 0, "keep = 31622401: not a whole number of seconds from 0 to 31622400"},
      {"keep = -5\n", 0, "keep = -5: not a whole number of seconds from 0 to 31622400"},
      {"keep = 10s\n", 0, "keep = 10s: not a whole number of seconds from 0 to 31622400"},
      {"keep =\n", 0, "keep = : not a whole number of seconds from 0 to 31622400"},
      {"keep = 99999999999999999999999\n", 0,
       "keep = 99999999999999999999999: not a whole number of seconds from 0 to 31622400"},
  };
  for (const Case& c : cases) {
    const COstrinConfiguration config = ReadText(c.text);
    EXPECT_EQ(config.keepSeconds, c.seconds) << c.text;
    EXPECT_EQ(config.connectionsPerUser, c.connectionsPerUser) << c.text;
    EXPECT_EQ(config.problems, *c.problem ? std::vector<std::string>{c.problem} : std::vector<std::string>{}) << c.text;
  }
}

TEST(ConfigurationTest, AccessIsVolumeEveryoneOrAGroupOrAProblemThatKeepsTheDefault) {
  using ostrin::platform::EAccessRule;
  struct Case {
    const char* text;
    EAccessRule rule;
    const char* group;
    const char* problem;  // empty when the line is taken
  };
  const EAccessRule byDefault = ostrin::platform::DefaultAccessRule();
  const Case cases[] = {
      {"", byDefault, "", ""},
      {"access = volume\n", EAccessRule::Volume, "", ""},
      {"ACCESS=Everyone\n", EAccessRule::Everyone, "", ""},
      {"access = group  backup operators \n", EAccessRule::Group, "backup operators", ""},
      {"access = GROUP\tdisk\n", EAccessRule::Group, "disk", ""},
      {"access = group\n", byDefault, "", "access = group: not volume, everyone or group NAME"},
      {"access = groupies\n", byDefault, "", "access = groupies: not volume, everyone or group NAME"},
      {"access = nobody\n", byDefault, "", "access = nobody: not volume, everyone or group NAME"},
      {"access = everyone\naccess = volume\n", EAccessRule::Volume, "", ""},
  };
  for (const Case& c : cases) {
    const COstrinConfiguration config = ReadText(c.text);
    EXPECT_EQ(config.access.kind, c.rule) << c.text;
    EXPECT_EQ(config.access.group, c.group) << c.text;
    EXPECT_EQ(config.problems, *c.problem ? std::vector<std::string>{c.problem} : std::vector<std::string>{}) << c.text;
  }
}

TEST(ConfigurationTest, LongLinesArriveInPieces) {
  // A line longer than 255 bytes is read in pieces, each handled as a line of its own.
  const std::string line = std::string(255, 'x') + "port=77\n";
  EXPECT_EQ(ReadText(line).port, 77);
}

TEST(ConfigurationTest, VolumeMappings) {
  const COstrinConfiguration config = ReadText(
      "volume.c = /dev/sdb1\n"
      "VOLUME.D=/images/d.img\n"
      "volume.1 = /ignored\n"
      "volume.EE = /ignored\n");
  EXPECT_EQ(config.VolumeOf('C'), "/dev/sdb1");
  EXPECT_EQ(config.VolumeOf('c'), "/dev/sdb1");
  EXPECT_EQ(config.VolumeOf('D'), "/images/d.img");
  EXPECT_TRUE(config.VolumeOf('E').empty());
  EXPECT_TRUE(config.VolumeOf('1').empty());
}

}  // namespace
