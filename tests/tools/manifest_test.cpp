// The manifest language of ostrin-mkvol: what it accepts, what it refuses, and its times.
#include "tools/mkvol/manifest.h"

#include <gtest/gtest.h>

#include <string>

namespace ostrin::mkvol {
namespace {

TEST(ManifestTest, ReadsEveryCommand) {
  const SManifest m = ParseManifest(
      "# a comment line\n"
      "volume size=16M sector=4096 cluster=8K label=Test  # trailing comment\n"
      "dir \"/My Dir/a b\" attrs=hidden,system created=2020-01-02T03:04:05.5 dos=MYDIR~1\n"
      "file /f.txt size=3K fill=random compressed stream=s1:10 stream=s2:2K links=4 ns=win32\n"
      "file /s.bin size=1M sparse=0+4K,512K+8K\n"
      "file /n nodata stream=x:1\n"
      "file /frag fragments=100\n"
      "link /f.txt /g.txt ns=win32dos\n"
      "delete /g.txt\n"
      "mftfrag dir=/grow runs=500 keep\n"
      "bulk dir=/b dirs=10 files=100 size=5-50 seed=9\n");
  EXPECT_EQ(m.volume.size, 16u << 20);
  EXPECT_EQ(m.volume.sectorSize, 4096u);
  EXPECT_EQ(m.volume.clusterSize, 8192u);
  EXPECT_EQ(m.volume.label, "Test");
  ASSERT_EQ(m.commands.size(), 9u);

  const SCommand& dir = m.commands[0];
  EXPECT_EQ(dir.kind, EManifestCommand::Dir);
  EXPECT_EQ(dir.line, 3);
  EXPECT_EQ(dir.path, "/My Dir/a b");
  EXPECT_EQ(dir.entry.attributes, ATTR_HIDDEN | ATTR_SYSTEM);
  EXPECT_EQ(dir.entry.created, ParseTime("2020-01-02T03:04:05.5000000"));
  EXPECT_FALSE(dir.entry.written.has_value());
  EXPECT_EQ(dir.name.dosName, "MYDIR~1");

  const SCommand& file = m.commands[1];
  EXPECT_EQ(file.content.size, 3072u);
  EXPECT_EQ(file.content.fill, EFill::Random);
  EXPECT_TRUE(file.content.compressed);
  ASSERT_EQ(file.content.streams.size(), 2u);
  EXPECT_EQ(file.content.streams[1].name, "s2");
  EXPECT_EQ(file.content.streams[1].size, 2048u);
  EXPECT_EQ(file.content.extraLinks, 4u);
  EXPECT_EQ(file.name.nameSpace, ENameSpace::Win32);

  const SCommand& sparse = m.commands[2];
  EXPECT_TRUE(sparse.content.sparse);
  ASSERT_EQ(sparse.content.sparseRanges.size(), 2u);
  EXPECT_EQ(sparse.content.sparseRanges[1], std::make_pair(uint64_t{512 * 1024}, uint64_t{8192}));

  EXPECT_TRUE(m.commands[3].content.noData);
  EXPECT_EQ(m.commands[4].content.fragments, 100u);
  EXPECT_EQ(m.commands[5].kind, EManifestCommand::Link);
  EXPECT_EQ(m.commands[5].target, "/f.txt");
  EXPECT_EQ(m.commands[5].path, "/g.txt");
  EXPECT_EQ(m.commands[5].name.nameSpace, ENameSpace::Win32AndDos);
  EXPECT_EQ(m.commands[6].kind, EManifestCommand::Delete);
  EXPECT_EQ(m.commands[7].runs, 500u);
  EXPECT_TRUE(m.commands[7].keepFiller);
  const SCommand& bulk = m.commands[8];
  EXPECT_EQ(bulk.path, "/b");
  EXPECT_EQ(bulk.bulkDirs, 10u);
  EXPECT_EQ(bulk.bulkFiles, 100u);
  EXPECT_EQ(bulk.bulkMinSize, 5u);
  EXPECT_EQ(bulk.bulkMaxSize, 50u);
  EXPECT_EQ(bulk.seed, 9u);
}

TEST(ManifestTest, RefusesBadManifestsNamingTheLine) {
  struct Case {
    const char* text;
    const char* message;  // part of the error text
  };
  const Case cases[] = {
      {"", "no volume line"},
      {"dir /a\n", "line 1: the first command must be volume"},
      {"volume size=16M\nvolume size=16M\n", "line 2: a second volume line"},
      {"volume size=100K\n", "at least 1M"},
      {"volume size=16M sector=1024\n", "sector must be 512 or 4096"},
      {"volume size=16M sector=4096 cluster=2K\n", "cluster must be"},
      {"volume size=16M cluster=3000\n", "cluster must be"},
      {"volume size=16M cluster=128K\n", "cluster must be"},
      {"volume size=16M colour=blue\n", "unknown volume option"},
      {"volume size=16M\nfile a.txt\n", "line 2: path \"a.txt\" is not absolute"},
      {"volume size=16M\nfile /a//b\n", "bad component"},
      {"volume size=16M\nfile /a/../b\n", "bad component"},
      {"volume size=16M\nfile /a size=12Q\n", "bad number"},
      {"volume size=16M\nfile /a size=1 nodata\n", "nodata takes no size"},
      {"volume size=16M\nfile /a nodata fragments=3\n", "exclude each other"},
      {"volume size=16M\nfile /a size=10 sparse=5+10\n", "ends beyond size"},
      {"volume size=16M\nfile /a size=10 sparse=5\n", "OFFSET+LENGTH"},
      {"volume size=16M\nfile /a fragments=1\n", "at least 2"},
      {"volume size=16M\nfile /a stream=nosize\n", "NAME:SIZE"},
      {"volume size=16M\nfile /a ns=dos\n", "namespace must be"},
      {"volume size=16M\nfile /a attrs=readonly,bogus\n", "unknown attribute \"bogus\""},
      {"volume size=16M\nfile /a created=yesterday\n", "bad time"},
      {"volume size=16M\ndir /a size=3\n", "unknown option \"size=3\" for dir"},
      {"volume size=16M\nlink /a\n", "link needs"},
      {"volume size=16M\nlink /a /b created=1\n", "unknown option"},
      {"volume size=16M\nmftfrag runs=10\n", "mftfrag needs dir=PATH"},
      {"volume size=16M\nmftfrag dir=/m\n", "runs=N"},
      {"volume size=16M\nbulk dir=/b files=3\n", "dirs=N"},
      {"volume size=16M\nbulk dir=/b dirs=3 size=9-2\n", "MIN is above MAX"},
      {"volume size=16M\nfile \"/a\n", "unterminated quote"},
      {"volume size=16M\nformat /\n", "line 2: unknown command \"format\""},
  };
  for (const Case& c : cases) {
    try {
      ParseManifest(c.text);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const CManifestError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.text << " gave: " << e.what();
    }
  }
}

TEST(ManifestTest, ReadsChangeLines) {
  struct Case {
    const char* line;
    EManifestCommand kind;
    const char* path;
    const char* target;
    uint64_t size, offset;
  };
  const Case cases[] = {
      {"rename /a/b.txt \"/c/d e.txt\"", EManifestCommand::Rename, "/a/b.txt", "/c/d e.txt", 0, 0},
      {"write /f size=8K at=1M fill=zero", EManifestCommand::Write, "/f", "", 8192, 1u << 20},
      {"truncate /f size=0", EManifestCommand::Truncate, "/f", "", 0, 0},
      {"touch /d written=1234 accessed=99", EManifestCommand::Touch, "/d", "", 0, 0},
      {"attrs /d hidden,readonly", EManifestCommand::Attrs, "/d", "", 0, 0},
      {"delete /d", EManifestCommand::Delete, "/d", "", 0, 0},
      {"journal size=64K delta=16K id=77 first=10000", EManifestCommand::Journal, "", "", 0, 0},
  };
  for (const Case& c : cases) {
    const std::vector<SCommand> changes = ParseChanges(std::string(c.line) + "\n");
    ASSERT_EQ(changes.size(), 1u) << c.line;
    const SCommand& cmd = changes[0];
    EXPECT_EQ(cmd.kind, c.kind) << c.line;
    EXPECT_EQ(cmd.path, c.path) << c.line;
    EXPECT_EQ(cmd.target, c.target) << c.line;
    EXPECT_EQ(cmd.content.size, c.size) << c.line;
    EXPECT_EQ(cmd.offset, c.offset) << c.line;
  }
  const SCommand touch = ParseChanges("touch /d written=1234 accessed=99\n")[0];
  EXPECT_EQ(touch.entry.written, 1234u);
  EXPECT_EQ(touch.entry.accessed, 99u);
  EXPECT_FALSE(touch.entry.created.has_value());
  EXPECT_EQ(ParseChanges("attrs /d hidden,readonly\n")[0].entry.attributes, ATTR_HIDDEN | ATTR_READONLY);
  const SCommand journal = ParseChanges("journal size=64K delta=16K id=77 first=10000\n")[0];
  EXPECT_EQ(journal.journalMaxSize, 65536u);
  EXPECT_EQ(journal.journalDelta, 16384u);
  EXPECT_EQ(journal.journalId, 77u);
  EXPECT_EQ(journal.journalFirst, 8192u);  // whole blocks of 4096
  EXPECT_EQ(ParseChanges("journal\n")[0].journalId, DefaultJournalId());
  // Change lines stand in a manifest too, after the entries they change.
  EXPECT_EQ(ParseManifest("volume size=16M\nfile /a\njournal\nrename /a /b\n").commands.size(), 3u);

  const std::pair<const char*, const char*> refused[] = {
      {"volume size=16M\n", "no volume line"},
      {"rename /a\n", "rename needs"},
      {"rename /a /a\n", "same path"},
      {"rename /a /a/b\n", "its own tree"},
      {"write /a\n", "size=N"},
      {"write /a size=3 links=2\n", "unknown option"},
      {"truncate /a\n", "size=N"},
      {"touch /a attrs=hidden\n", "unknown option"},
      {"attrs /a\n", "list of attributes"},
      {"attrs /a bogus\n", "unknown attribute"},
      {"journal size=1K\n", "at least 4K"},
      {"journal colour=blue\n", "unknown option"},
  };
  for (const auto& [text, message] : refused) {
    try {
      ParseChanges(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const CManifestError& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << text << " gave: " << e.what();
    }
  }
}

TEST(ManifestTest, TimesAreFileTimes) {
  struct Case {
    const char* text;
    std::optional<uint64_t> ticks;
  };
  const Case cases[] = {
      {"1601-01-01T00:00:00", 0},
      {"1970-01-01T00:00:00", 116444736000000000},
      {"1970-01-01T00:00:00Z", 116444736000000000},
      {"1970-01-01T00:00:01.5", 116444736015000000},
      {"2000-02-29T12:34:56.1234567", 125963012961234567},
      {"2038-01-19T03:14:08", 137919572480000000},
      {"132670224000000000", 132670224000000000},  // a raw FILETIME
      {"1970-01-01T00:00:00.12345678", std::nullopt},  // more than 7 fraction digits
      {"1970-13-01T00:00:00", std::nullopt},
      {"1600-12-31T23:59:59", std::nullopt},
      {"1970-01-01 00:00:00", std::nullopt},
      {"soon", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseTime(c.text), c.ticks) << c.text;
}

TEST(ManifestTest, DefaultTimesAreDistinctWithSubSecondParts) {
  const STimes first = DefaultTimes(0), second = DefaultTimes(1);
  EXPECT_EQ(first.created, *ParseTime("2021-06-01T12:00:00"));
  EXPECT_LT(first.created, first.written);
  EXPECT_LT(first.written, first.accessed);
  EXPECT_NE(first.written % 10'000'000, 0u);
  EXPECT_NE(first.accessed % 10'000'000, 0u);
  EXPECT_EQ(second.created - first.created, 10'000'001u);
}

TEST(ManifestTest, SplitsPaths) {
  EXPECT_EQ(SplitPath("/a/b c/ü"), (std::vector<std::string>{"a", "b c", "ü"}));
  EXPECT_EQ(SplitPath("/x"), (std::vector<std::string>{"x"}));
  for (const char* bad : {"", "/", "rel/a", "/a/", "/a/./b", "/tab\there"}) {
    EXPECT_THROW(SplitPath(bad), CManifestError) << bad;
  }
}

}  // namespace
}  // namespace ostrin::mkvol
