// OstFindFirstFile, OstFindNextFile and OstFindClose on hand-built images handed out by a scripted
// stand-in for the service: paths, patterns, the find-data record, and images that break their layout.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/OstrinAPI.h"
#include "client/client_state.h"
#include "client/wildcard.h"
#include "common/byte_order.h"
#include "common/protocol.h"
#include "common/text.h"
#include "index/image_format.h"
#include "platform/shared_section.h"
#include "tests/client/fake_service.h"

namespace {

using ostrin::test::ImageDirectory;
using ostrin::test::ImageFile;
using ostrin::test::SImageNode;

// A root in the manner of a Windows drive: a directory and a file whose names differ only in case,
// names with and without a dot, one- and two-letter names.
SImageNode WindowsLikeRoot() {
  return ImageDirectory(WString(), {
      ImageDirectory(WTEXT("Windows"), {
          ImageDirectory(WTEXT("System32"), {ImageDirectory(WTEXT("drivers"), {}), ImageFile(WTEXT("kernel32.dll"), 700)}),
          ImageFile(WTEXT("notepad.exe"), 200),
      }),
      ImageFile(WTEXT("windows"), 1),
      ImageFile(WTEXT("notes.txt"), 10),
      ImageFile(WTEXT("a"), 1),
      ImageFile(WTEXT("ab"), 2),
      ImageFile(WTEXT("README"), 3),
  });
}

// Opens the drive of the letter on an image, through a fresh connection to a stand-in service.
class COpenedImage {
 public:
  COpenedImage(WCHAR letter, const std::vector<uint8_t>& bytes, int64_t reportedSize = -1)
      : m_image(bytes), m_letter(letter) {
    const uint64_t size = reportedSize < 0 ? m_image.Size() : static_cast<uint64_t>(reportedSize);
    ostrin::test::CFakeService service([&](CSockStream& connection) {
      ostrin::test::Greet(connection);
      ostrin::test::ServeOpen(connection, letter, m_image.Name(), size);
    });
    ::testing::internal::CaptureStderr();
    const int32_t connected = OstConnect();
    const std::string shown = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(connected, 1) << shown;
    m_index = OstOpenDrive(letter, nullptr, 0);
    EXPECT_EQ(m_index, letter - 'A');
  }

  uint32_t Index() const { return static_cast<uint32_t>(m_index); }
  WCHAR Letter() const { return m_letter; }

 private:
  ostrin::test::CPublishedImage m_image;
  WCHAR m_letter;
  int32_t m_index = -1;
};

// The names one find returns, first and next ones, with the drive's error after the last call.
struct SFound {
  std::vector<std::string> names;
  int32_t error = 0;
};

SFound FindAll(const COpenedImage& drive, const WCHAR* path) {
  SFound found;
  WIN32_FIND_DATAW data{};
  OST_FIND_HANDLE find = OstFindFirstFile(drive.Index(), path, &data);
  if (find != nullptr) {
    do {
      found.names.push_back(WideToUtf8(data.cFileName));
    } while (OstFindNextFile(find, &data) != 0);
    OstFindClose(find);
  }
  found.error = OstGetLastError(drive.Letter());
  return found;
}

using Names = std::vector<std::string>;

class ClientFindTest : public ::testing::Test {
 protected:
  void SetUp() override { g_Connection.timeoutSeconds = 2; }
};

TEST_F(ClientFindTest, PathsAndPatternsFindWhatTheyName) {
  const COpenedImage drive('C', ostrin::test::BuildImage(WindowsLikeRoot()));
  const Names root{"Windows", "windows", "notes.txt", "a", "ab", "README"};
  struct Case {
    const WCHAR* path;
    Names names;
    int32_t error;
  };
  const Case cases[] = {
      {WTEXT("\\*"), root, 0},
      {WTEXT("\\*.*"), root, 0},  // names without a dot too
      {WTEXT("C:\\*"), root, 0},
      {WTEXT("Z:\\*"), root, 0},  // the prefix's letter is not compared
      {WTEXT("\\**"), root, 0},
      {WTEXT("\\Windows\\*"), {"System32", "notepad.exe"}, 0},
      {WTEXT("C:\\Windows\\*"), {"System32", "notepad.exe"}, 0},
      {WTEXT("\\windows\\SYSTEM32\\*"), {"drivers", "kernel32.dll"}, 0},
      {WTEXT("\\Windows\\System32\\drivers\\*"), {}, 0},
      // The directory itself, then the further entries that match its name as a pattern.
      {WTEXT("\\Windows\\"), {"Windows", "windows"}, 0},
      {WTEXT("\\Windows\\System32\\"), {"System32"}, 0},
      {WTEXT("\\a*?"), {"a", "ab"}, 0},
      {WTEXT("\\a*"), {"a", "ab"}, 0},
      {WTEXT("\\?"), {"a"}, 0},
      {WTEXT("\\??"), {"ab"}, 0},
      {WTEXT("\\*S"), {"Windows", "windows"}, 0},
      {WTEXT("\\*.TXT"), {"notes.txt"}, 0},
      {WTEXT("\\n*t*.?x?"), {"notes.txt"}, 0},
      {WTEXT("\\readme"), {"README"}, 0},
      {WTEXT("\\missing\\*"), {}, 0},
      {WTEXT("\\Windows\\missing\\*"), {}, 0},
      {WTEXT("\\"), {}, 0},
      {WTEXT("C:\\"), {}, 0},
      {WTEXT("C:Windows"), {}, 3003},
      {WTEXT("Windows\\*"), {}, 3003},
      {WTEXT(""), {}, 3002},
      {nullptr, {}, 3002},
      {WTEXT("\\Windows\\\\x"), {}, 3005},
      {WTEXT("\\\\"), {}, 3005},
      {WTEXT("\\notes.txt\\*"), {}, 3006},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path == nullptr ? std::string("(null)") : WideToUtf8(c.path));
    const SFound found = FindAll(drive, c.path);
    EXPECT_EQ(found.names, c.names);
    EXPECT_EQ(found.error, c.error);
  }

  WIN32_FIND_DATAW data{};
  EXPECT_EQ(OstFindFirstFile(drive.Index(), WTEXT("\\*"), nullptr), nullptr);
  EXPECT_EQ(OstGetLastError('C'), 3004);
  EXPECT_EQ(OstFindFirstFile(26, WTEXT("\\*"), &data), nullptr);
  EXPECT_EQ(OstGetLastError('C'), 3004);  // nothing stored for an index above 25
  EXPECT_EQ(OstFindFirstFile(20, WTEXT("\\*"), &data), nullptr);
  EXPECT_EQ(OstGetLastError('U'), 3001);
  EXPECT_EQ(OstFindNextFile(nullptr, &data), 0);
  OstFindClose(nullptr);
}

TEST_F(ClientFindTest, WildcardsInDirectoryNamesAreNamesAndOnlyThePatternCollapses) {
  // Volumes written from Linux hold names with '*' and '?'. A component before the last is a name
  // and names its directory exactly (never "a*b" for "a**b"); only the last one is a pattern.
  const COpenedImage drive('D', ostrin::test::BuildImage(ImageDirectory(WString(), {
      ImageDirectory(WTEXT("a*b"), {ImageFile(WTEXT("decoy"), 1)}),
      ImageDirectory(WTEXT("a**b"), {ImageFile(WTEXT("inside"), 2)}),
      ImageDirectory(WTEXT("c*?d"), {ImageFile(WTEXT("x?y"), 3), ImageFile(WTEXT("xzy"), 4)}),
  })));
  const struct {
    const WCHAR* path;
    Names names;
  } cases[] = {
      {WTEXT("\\a**b\\*"), {"inside"}},
      {WTEXT("\\a*b\\*"), {"decoy"}},
      {WTEXT("\\c*?d\\*"), {"x?y", "xzy"}},
      {WTEXT("\\c*?d\\x?y"), {"x?y", "xzy"}},  // the pattern's '?' is a wildcard
      {WTEXT("\\a**b\\"), {"a**b"}},  // the directory itself (then what its name matches after it)
      {WTEXT("\\a***b"), {"a*b", "a**b"}},
      {WTEXT("\\c*?d"), {"c*?d"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.path));
    const SFound found = FindAll(drive, c.path);
    EXPECT_EQ(found.names, c.names);
    EXPECT_EQ(found.error, 0);
  }
}

TEST_F(ClientFindTest, NamesThatDifferOnlyInCaseEachFindTheirOwnDirectory) {
  // 63 of the 64 case variants of "abcdef", each holding a file that names it: a component takes the
  // variant it equals exactly, and the one missing ("ABCDEF") the first variant in block order.
  std::vector<SImageNode> variants;
  std::vector<std::string> names;
  for (uint32_t i = 0; i < 63; ++i) {
    std::string name = "abcdef";
    for (size_t bit = 0; bit < name.size(); ++bit) {
      if ((i >> bit & 1) != 0) name[bit] = static_cast<char>(name[bit] - 'a' + 'A');
    }
    names.push_back(name);
    variants.push_back(ImageDirectory(Utf8ToWide(name), {ImageFile(Utf8ToWide("in-" + name), i)}));
  }
  const COpenedImage drive('E', ostrin::test::BuildImage(ImageDirectory(WString(), variants)));
  for (const std::string& name : names) {
    EXPECT_EQ(FindAll(drive, Utf8ToWide("\\" + name + "\\*").c_str()).names, Names{"in-" + name}) << name;
  }
  EXPECT_EQ(FindAll(drive, WTEXT("\\ABCDEF\\*")).names, Names{"in-abcdef"});
}

TEST_F(ClientFindTest, APathGoesOnFromTheDirectoriesItSharesWithTheLastOne) {
  // Each find resumes at the deepest directory the last path shares with it, in this order: deeper,
  // then a sibling at each level, a name that the last one's begins with, and other case.
  const COpenedImage drive('F', ostrin::test::BuildImage(ImageDirectory(WString(), {
      ImageDirectory(WTEXT("a"), {
          ImageDirectory(WTEXT("b"), {ImageDirectory(WTEXT("c"), {ImageFile(WTEXT("in-abc"), 1)})}),
          ImageDirectory(WTEXT("bb"), {ImageFile(WTEXT("in-abb"), 2)}),
          ImageDirectory(WTEXT("x"), {ImageDirectory(WTEXT("c"), {ImageFile(WTEXT("in-axc"), 3)})}),
      }),
      ImageDirectory(WTEXT("ab"), {ImageFile(WTEXT("in-ab"), 4)}),
  })));
  const struct {
    const WCHAR* path;
    Names names;
    int32_t error;
  } cases[] = {
      {WTEXT("\\a\\b\\c\\*"), {"in-abc"}, 0},
      {WTEXT("\\a\\x\\c\\*"), {"in-axc"}, 0},
      {WTEXT("\\a\\b\\c\\*"), {"in-abc"}, 0},
      {WTEXT("\\a\\bb\\*"), {"in-abb"}, 0},
      {WTEXT("\\ab\\*"), {"in-ab"}, 0},
      {WTEXT("\\A\\B\\C\\*"), {"in-abc"}, 0},
      {WTEXT("\\a\\b\\c\\"), {"c"}, 0},
      {WTEXT("\\a\\b\\"), {"b"}, 0},
      {WTEXT("\\a\\b\\c\\in-abc\\*"), {}, 3006},
      {WTEXT("\\a\\b\\\\*"), {}, 3005},
      {WTEXT("\\a\\missing\\*"), {}, 0},
      {WTEXT("\\a\\b\\c\\*"), {"in-abc"}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.path));
    const SFound found = FindAll(drive, c.path);
    EXPECT_EQ(found.names, c.names);
    EXPECT_EQ(found.error, c.error);
  }
}

TEST_F(ClientFindTest, FindNextAfterTheLastMatchKeepsReturningZero) {
  const COpenedImage drive('D', ostrin::test::BuildImage(WindowsLikeRoot()));
  WIN32_FIND_DATAW data{};
  OST_FIND_HANDLE find = OstFindFirstFile(drive.Index(), WTEXT("\\n*"), &data);
  ASSERT_NE(find, nullptr);
  EXPECT_EQ(WideToUtf8(data.cFileName), "notes.txt");
  EXPECT_EQ(OstFindNextFile(find, nullptr), 0);
  EXPECT_EQ(OstGetLastError('D'), 3004);
  const WIN32_FIND_DATAW before = data;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(OstFindNextFile(find, &data), 0);
    EXPECT_EQ(OstGetLastError('D'), 0);
  }
  EXPECT_EQ(std::memcmp(&before, &data, sizeof data), 0);
  OstFindClose(find);
}

TEST_F(ClientFindTest, FindDataCarriesTheEntryAndTheAllocatedSizeInTheAlternateName) {
  SImageNode big = ImageFile(WTEXT("Big File.bin"), 0x123456789AULL, 0x2000000000ULL, 0x40000021);
  big.lastWrite = 0x01D0A1B2C3D4E5F6;
  big.creation = 0x01C0000000000001;
  big.lastAccess = 0x01E0000000000002;
  SImageNode directory = ImageDirectory(WTEXT("Folder"), {ImageFile(WTEXT("x"), 1)}, 0x12);
  const COpenedImage drive('E', ostrin::test::BuildImage(ImageDirectory(WString(), {directory, big})));

  WIN32_FIND_DATAW data;
  std::memset(&data, 0xA5, sizeof data);
  OST_FIND_HANDLE find = OstFindFirstFile(drive.Index(), WTEXT("\\*"), &data);
  ASSERT_NE(find, nullptr);
  EXPECT_EQ(WideToUtf8(data.cFileName), "Folder");
  EXPECT_EQ(data.dwFileAttributes, 0x12u);
  // A directory's first field is its block offset: neither size is reported.
  EXPECT_EQ(data.nFileSizeHigh, 0u);
  EXPECT_EQ(data.nFileSizeLow, 0u);
  EXPECT_EQ(data.dwReserved0, 0u);
  EXPECT_EQ(data.dwReserved1, 0u);
  EXPECT_EQ(ReadLE<uint64_t>(data.cAlternateFileName), 0u);
  EXPECT_EQ(data.cAlternateFileName[4], static_cast<WCHAR>(0xA5A5));  // the rest is not written

  ASSERT_EQ(OstFindNextFile(find, &data), 1);
  EXPECT_EQ(WideToUtf8(data.cFileName), "Big File.bin");
  EXPECT_EQ(data.dwFileAttributes, 0x40000021u);
  EXPECT_EQ(data.nFileSizeHigh, 0x12u);
  EXPECT_EQ(data.nFileSizeLow, 0x3456789Au);
  EXPECT_EQ(ReadLE<uint32_t>(data.cAlternateFileName), 0x20u);     // high word first
  EXPECT_EQ(ReadLE<uint32_t>(data.cAlternateFileName + 2), 0u);    // then the low word
  EXPECT_EQ(data.ftLastWriteTime.dwHighDateTime, 0x01D0A1B2u);
  EXPECT_EQ(data.ftLastWriteTime.dwLowDateTime, 0xC3D4E5F6u);
  EXPECT_EQ(data.ftCreationTime.dwHighDateTime, 0x01C00000u);
  EXPECT_EQ(data.ftCreationTime.dwLowDateTime, 1u);
  EXPECT_EQ(data.ftLastAccessTime.dwLowDateTime, 2u);
  EXPECT_EQ(OstFindNextFile(find, &data), 0);
  OstFindClose(find);
}

TEST_F(ClientFindTest, BlocksPastFourGibibytesAreFollowedByAllTheirOffset) {
#if defined(_WIN32)
  GTEST_SKIP() << "a section of over 4 GiB is committed in full on Windows; the offsets are the same code";
#else
  // A sparse section: the root's block at 0, and the block of its one directory past 4 GiB.
  constexpr uint64_t FAR_BLOCK = (uint64_t{1} << 32) + 16;
  std::vector<uint8_t> root = ostrin::test::BuildImage(ImageDirectory(WString(), {ImageDirectory(WTEXT("big"), {})}));
  WriteLE<uint64_t>(&root[sizeof(IMAGE_DIR_HEADER) + offsetof(IMAGE_NODE, sizeOrBlockOffset)], FAR_BLOCK);
  root.resize(root.size() - sizeof(IMAGE_DIR_HEADER));  // big's empty block moves out
  const std::vector<uint8_t> far = ostrin::test::BuildImage(ImageDirectory(WString(), {ImageFile(WTEXT("inner.txt"), 7)}));
  const uint64_t size = FAR_BLOCK + far.size();
  const WString name = AsciiToWide("Global\\OstrinTest_far_" + std::to_string(::getpid()));
  // In the service's folder, as the service makes its sections, but sparse.
  std::string problem;
  ASSERT_TRUE(ostrin::platform::PrepareSectionFolder(&problem)) << problem;
  const std::string path = ostrin::platform::SectionPath(name);
  const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
  ASSERT_EQ(::pwrite(fd, root.data(), root.size(), 0), static_cast<ssize_t>(root.size()));
  ASSERT_EQ(::pwrite(fd, far.data(), far.size(), static_cast<off_t>(FAR_BLOCK)), static_cast<ssize_t>(far.size()));
  ::close(fd);
  {
    ostrin::test::CFakeService service([&](CSockStream& connection) {
      ostrin::test::Greet(connection);
      ostrin::test::ServeOpen(connection, 'F', name, size);
    });
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(OstConnect(), 1) << ::testing::internal::GetCapturedStderr();
    ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(OstOpenDrive('F', nullptr, 0), 'F' - 'A');
  }
  ::unlink(path.c_str());
  WIN32_FIND_DATAW data{};
  OST_FIND_HANDLE find = OstFindFirstFile('F' - 'A', WTEXT("\\big\\*"), &data);
  ASSERT_NE(find, nullptr) << OstGetLastError('F');
  EXPECT_EQ(WideToUtf8(data.cFileName), "inner.txt");
  EXPECT_EQ(data.nFileSizeLow, 7u);
  OstFindClose(find);
#endif
}

TEST_F(ClientFindTest, AnEmptyRootFindsNothingWithoutAnError) {
  const COpenedImage drive('F', ostrin::test::BuildImage(ImageDirectory(WString(), {})));
  const SFound found = FindAll(drive, WTEXT("\\*"));
  EXPECT_TRUE(found.names.empty());
  EXPECT_EQ(found.error, 0);
}

// Offsets of the hand-built Windows-like image: the root block, its first entry (Windows).
constexpr uint64_t ROOT_FIRST_ENTRY = sizeof(IMAGE_DIR_HEADER);

TEST_F(ClientFindTest, ACorruptImageStoresAnErrorInsteadOfBeingReadOutsideTheView) {
  const std::vector<uint8_t> valid = ostrin::test::BuildImage(WindowsLikeRoot());
  const uint64_t rootBlockSize = ReadLE<uint64_t>(valid.data() + ROOT_FIRST_ENTRY);  // Windows' block follows the root's
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
    int64_t reportedSize;  // -1: the image's size
    const WCHAR* path;
    Names names;           // found before the damage is met
  };
  const uint64_t nameLengthAt = ROOT_FIRST_ENTRY + offsetof(IMAGE_NODE, nameLength);
  // kernel32.dll, the last entry of the image, before the empty block of drivers.
  const uint64_t lastNameLengthAt =
      valid.size() - sizeof(IMAGE_DIR_HEADER) - ImageEntrySize(12) + offsetof(IMAGE_NODE, nameLength);
  const Case cases[] = {
      {"root entry count past the image", [](std::vector<uint8_t>& image) { WriteLE<uint64_t>(image.data(), 1000000); },
       -1, WTEXT("\\zzz"), {}},
      {"entry count past the image, listing", [](std::vector<uint8_t>& image) { WriteLE<uint64_t>(image.data(), 1000000); },
       -1, WTEXT("\\*"), {"Windows", "windows", "notes.txt", "a", "ab", "README"}},
      {"name longer than 255 units", [&](std::vector<uint8_t>& image) { WriteLE<uint16_t>(image.data() + nameLengthAt, 300); },
       -1, WTEXT("\\*"), {}},
      {"name running past the image", [&](std::vector<uint8_t>& image) { WriteLE<uint16_t>(image.data() + lastNameLengthAt, 255); },
       -1, WTEXT("\\Windows\\System32\\*"), {"drivers"}},
      {"block header cut off by the reported size", [](std::vector<uint8_t>&) {},
       static_cast<int64_t>(valid.size()) - 4, WTEXT("\\Windows\\System32\\drivers\\*"), {}},
      {"name without its terminator",
       [&](std::vector<uint8_t>& image) { WriteLE<uint16_t>(image.data() + ROOT_FIRST_ENTRY + offsetof(IMAGE_NODE, name) + 14, 'x'); },
       -1, WTEXT("\\*"), {}},
      {"directory block past the image",
       [](std::vector<uint8_t>& image) { WriteLE<uint64_t>(image.data() + ROOT_FIRST_ENTRY, image.size() - 8); },
       -1, WTEXT("\\Windows\\*"), {}},
      {"directory block off its alignment",
       [&](std::vector<uint8_t>& image) { WriteLE<uint64_t>(image.data() + ROOT_FIRST_ENTRY, rootBlockSize + 4); },
       -1, WTEXT("\\Windows\\*"), {}},
      {"reported size ends after the root block", [](std::vector<uint8_t>&) {},
       static_cast<int64_t>(rootBlockSize), WTEXT("\\Windows\\*"), {}},
      {"reported size 0", [](std::vector<uint8_t>&) {}, 0, WTEXT("\\*"), {}},
  };
  WCHAR letter = 'G';
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> image = valid;
    c.damage(image);
    const COpenedImage drive(letter++, image, c.reportedSize);
    const SFound found = FindAll(drive, c.path);
    EXPECT_EQ(found.names, c.names);
    EXPECT_EQ(found.error, 3010);
    EXPECT_EQ(WideToUtf8(g_Drives[drive.Index()].lastErrorText), "Drive image is corrupt.");
  }

  // A reported size beyond the section is held to what was mapped; the image itself is sound.
  const COpenedImage drive(letter, valid, static_cast<int64_t>(valid.size()) * 1000);
  EXPECT_EQ(FindAll(drive, WTEXT("\\Windows\\System32\\*")).names, (Names{"drivers", "kernel32.dll"}));
}

TEST(WildcardMatchTest, MatchesLikeTheFindFunctionsPromise) {
  struct Case {
    const WCHAR* pattern;
    const WCHAR* name;
    bool matches;
  };
  const Case cases[] = {
      {WTEXT("*"), WTEXT(""), true},
      {WTEXT("*"), WTEXT("anything"), true},
      {WTEXT("?"), WTEXT("a"), true},
      {WTEXT("?"), WTEXT(""), false},
      {WTEXT("?"), WTEXT("ab"), false},
      {WTEXT("abc"), WTEXT("ABC"), true},
      {WTEXT("abc"), WTEXT("abd"), false},
      {WTEXT("abc"), WTEXT("abcd"), false},
      {WTEXT("abcd"), WTEXT("abc"), false},
      {WTEXT("*.txt"), WTEXT("notes.TXT"), true},
      {WTEXT("*.txt"), WTEXT("notes.txt.bak"), false},
      {WTEXT("*a"), WTEXT("aba"), true},
      {WTEXT("*ab"), WTEXT("aab"), true},
      {WTEXT("*aab"), WTEXT("aaab"), true},
      {WTEXT("a*b*c"), WTEXT("axxbyyc"), true},
      {WTEXT("a*b*c"), WTEXT("axxbyy"), false},
      {WTEXT("a**b"), WTEXT("ab"), true},
      {WTEXT("*?"), WTEXT(""), false},
      {WTEXT("*?"), WTEXT("x"), true},
      {WTEXT("*?b"), WTEXT("ab"), true},
      {WTEXT("*?b"), WTEXT("b"), false},
      {WTEXT("a*?c"), WTEXT("abbc"), true},
      {WTEXT("*x*"), WTEXT("abc"), false},
      {WTEXT("*s*s*s"), WTEXT("mississippis"), true},
      {WTEXT("m*i*i*i*x"), WTEXT("mississippi"), false},
      // Letters beyond ASCII upper-case as NTFS's $UpCase table has them, one unit to one unit.
      {WTEXT("\u00e4"), WTEXT("\u00c4"), true},                          // a, A with diaeresis
      {WTEXT("*\u00c9*"), WTEXT("caf\u00e9.txt"), true},                 // E, e with acute
      {WTEXT("\u03c3\u03bf\u03c6\u03af\u03b1"), WTEXT("\u03a3\u039f\u03a6\u038a\u0391"), true},  // Greek, tonos kept
      {WTEXT("\u03c3\u03bf\u03c6\u03af\u03b1"), WTEXT("\u03a3\u039f\u03a6\u0399\u0391"), false},  // iota without tonos
      {WTEXT("*\u03c3"), WTEXT("\u039b\u039f\u0393\u039f\u03a3"), true},            // sigma, capital sigma
      {WTEXT("*\u03c2"), WTEXT("\u039b\u039f\u0393\u039f\u03a3"), false},           // the final sigma stays itself
      {WTEXT("\u0444\u0430\u0439\u043b*"), WTEXT("\u0424\u0410\u0419\u041b.txt"), true},  // Cyrillic
      {WTEXT("\u00df"), WTEXT("\u1e9e"), false},                         // sharp s has no capital
      {WTEXT("\u0131"), WTEXT("I"), false},                               // dotless i stays itself
      {WTEXT("\u0130"), WTEXT("i"), false},                               // and i is I, not capital I with dot
      {WTEXT("K*"), WTEXT("\u212aa.txt"), false},                         // the Kelvin sign is not K
      {WTEXT("*\u017f*"), WTEXT("sa.txt"), false},                        // nor is the long s s
      {WTEXT("\u00e4*"), WTEXT("\u00e4bc"), true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.matches) << WideToUtf8(c.pattern) << " / " << WideToUtf8(c.name);
  }
}

}  // namespace
