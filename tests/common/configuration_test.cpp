// Reading "OstrinNT.ini": each key's values, the errors and warnings with their lines, comments, long
// lines and the volume mappings.
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

// What a file's lines make of the port, and what they say is wrong: an error keeps the service from
// starting, a warning (a line left out) does not.
TEST(ConfigurationTest, LinesAreTakenOrNamedWithTheirNumber) {
  struct Case {
    std::string text;
    int32_t port;
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
  };
  const std::string longComment = "# " + std::string(300, 'x') + " volume.T = /tail\n";
  const Case cases[] = {
      {"  PORT  =  5000  \r\n", 5000, {}, {}},
      {"port=1\nport=2\n", 2, {}, {}},                    // the last one wins
      {"\tPoRt\t=\t+42\t\n", 42, {}, {}},
      {"# port=7\n", 49020, {}, {}},                      // a comment line
      {"port = 7 # the tests' port\n", 7, {}, {}},        // a comment after a blank
      {"port = 65535\n", 65535, {}, {}},
      {"port=12abc\n", 49020, {"line 1: port = 12abc: not a port number from 1 to 65535"}, {}},
      {"port=abc\n", 49020, {"line 1: port = abc: not a port number from 1 to 65535"}, {}},
      {"port=-3\n", 49020, {"line 1: port = -3: not a port number from 1 to 65535"}, {}},
      {"\nport=114556\n", 49020, {"line 2: port = 114556: not a port number from 1 to 65535"}, {}},
      {"port = 0\n", 49020, {"line 1: port = 0: not a port number from 1 to 65535"}, {}},
      {"port\n", 49020, {"line 1: port: not a line of KEY = VALUE"}, {}},
      {"port = 8\nvolme.S = /x\nother=7\n", 8, {},
       {"line 2: unknown key volme.S (the line is left out)", "line 3: unknown key other (the line is left out)"}},
      // A line of any length is one line: the tail of a long comment is no key of its own.
      {longComment, 49020, {}, {}},
      {std::string(300, ' ') + "port = 9\n", 9, {}, {}},
  };
  for (const Case& c : cases) {
    const COstrinConfiguration config = ReadText(c.text);
    EXPECT_EQ(config.port, c.port) << c.text;
    EXPECT_EQ(config.errors, c.errors) << c.text;
    EXPECT_EQ(config.warnings, c.warnings) << c.text;
    EXPECT_TRUE(config.VolumeOf('T').empty()) << c.text;
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
    EXPECT_EQ(config.errors, *c.problem ? std::vector<std::string>{std::string("line 1: ") + c.problem} : std::vector<std::string>{})
        << c.text;
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
    EXPECT_EQ(config.errors, *c.problem ? std::vector<std::string>{std::string("line 1: ") + c.problem} : std::vector<std::string>{})
        << c.text;
  }
}

TEST(ConfigurationTest, VolumeMappings) {
  const std::string longPath = "/images/" + std::string(400, 'p') + ".img";
  const COstrinConfiguration config = ReadText(
      "volume.c = /dev/sdb1\n"
      "VOLUME.D=/images/disk#2.img  # a '#' inside a path is part of it\n"
      "volume.F = " + longPath + "\n"
      "volume.1 = /ignored\n"
      "volume.EE = /ignored\n"
      "volume.G =\n");
  EXPECT_EQ(config.VolumeOf('C'), "/dev/sdb1");
  EXPECT_EQ(config.VolumeOf('c'), "/dev/sdb1");
  EXPECT_EQ(config.VolumeOf('D'), "/images/disk#2.img");
  EXPECT_EQ(config.VolumeOf('F'), longPath);
  EXPECT_TRUE(config.VolumeOf('E').empty());
  EXPECT_TRUE(config.VolumeOf('1').empty());
  EXPECT_EQ(config.warnings, (std::vector<std::string>{"line 4: unknown key volume.1 (the line is left out)",
                                                       "line 5: unknown key volume.EE (the line is left out)"}));
  EXPECT_EQ(config.errors, std::vector<std::string>{"line 6: volume.G = : no volume named"});
}

}  // namespace
