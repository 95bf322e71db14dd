// Behaviour of the zubreca program on archives: round trips, appending,
// deletion, prompts, restored attributes, and damaged or hostile archives.
// Hand-made archives come from tests/driver/hand_made_archive.h.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/driver/hand_made_archive.h"
#include "tests/driver/run_program.h"
#include "tests/test_build.h"

namespace zubreca {
namespace {

using namespace testkit;

struct stat StatOf(const std::string& path) {
  struct stat status;
  memset(&status, 0, sizeof status);
  EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
  return status;
}

// Encodes `name` in `dir`, removes it, decodes its archive, removes the
// archive and checks that the same bytes came back.
void ExpectRoundTrip(const TEMP_DIR& dir, const std::string& name, const std::vector<std::string>& switches = {}) {
  const std::string original = ReadFile(dir / name);
  std::vector<std::string> args = {"e"};
  args.insert(args.end(), switches.begin(), switches.end());
  args.push_back(name);
  const PROGRAM_RESULT encoded = RunZubrecaIn(dir.path(), args);
  ASSERT_EQ(encoded.status, 0) << encoded.output;
  ASSERT_EQ(unlink((dir / name).c_str()), 0);
  char archive[300];
  const size_t dot = name.rfind('.');
  snprintf(archive, sizeof archive, "%s.zbr", name.substr(0, dot).c_str());
  const PROGRAM_RESULT decoded = RunZubrecaIn(dir.path(), {"d", "-d", archive});
  ASSERT_EQ(decoded.status, 0) << decoded.output;
  EXPECT_TRUE(ReadFile(dir / name) == original) << name << " did not come back byte for byte";
}

TEST(ArchiveRoundTrip, SmallFileWithExactOutputAndAttributes) {
  TEMP_DIR dir;
  WriteFile(dir / "notes.txt", "hello, hello, hello world\n");
  ASSERT_EQ(chmod((dir / "notes.txt").c_str(), 0640), 0);
  const utimbuf times = {1500000000, 1600000000};
  ASSERT_EQ(utime((dir / "notes.txt").c_str(), &times), 0);

  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "notes.txt"}), (PROGRAM_RESULT{0, Banner() + "notes.txt: ||\n"}));
  EXPECT_EQ(ListDirectory(dir.path()), (std::vector<std::string>{"notes.txt", "notes.zbr"}));
  EXPECT_EQ(ReadFile(dir / "notes.zbr").substr(0, 4), kMagic);
  ASSERT_EQ(unlink((dir / "notes.txt").c_str()), 0);

  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "notes.zbr"}), (PROGRAM_RESULT{0, Banner() + "|\bnotes.txt: ||\n"}));
  const struct stat restored = StatOf(dir / "notes.txt");
  EXPECT_EQ(restored.st_mode & 07777, 0640u);
  EXPECT_EQ(restored.st_mtime, 1600000000);
  EXPECT_EQ(restored.st_atime, 1600000000);
  EXPECT_EQ(ReadFile(dir / "notes.txt"), "hello, hello, hello world\n");
}

TEST(ArchiveRoundTrip, CorpusFiles) {
  NEEDS_CORPUS();
  for (const char* file : {"canterbury/grammar.lsp", "canterbury/xargs.1", "canterbury/fields.c",
                           "canterbury/cp.html", "artificial/a.txt", "artificial/aaa.txt",
                           "artificial/random.txt", "canterbury/sum"}) {
    TEMP_DIR dir;
    const std::string name = strrchr(file, '/') + 1;
    WriteFile(dir / name, CorpusFile(file));
    ExpectRoundTrip(dir, name);
  }
}

TEST(ArchiveRoundTrip, EmptyFile) {
  TEMP_DIR dir;
  WriteFile(dir / "empty", "");
  ExpectRoundTrip(dir, "empty");
  EXPECT_EQ(StatOf(dir / "empty").st_size, 0);
}

TEST(ArchiveRoundTrip, SwitchesForMemoryAndOrder) {
  NEEDS_CORPUS();
  TEMP_DIR dir;
  WriteFile(dir / "text.txt", CorpusFile("canterbury/asyoulik.txt").substr(0, 30000));
  ExpectRoundTrip(dir, "text.txt", {"-m4", "-o2"});
  ExpectRoundTrip(dir, "text.txt", {"-m16", "-O5"});
  ExpectRoundTrip(dir, "text.txt", {"/m7", "-o300"});
}

TEST(ArchiveRoundTrip, TrickOnEmptyFileIsStoredAsTrickZero) {
  TEMP_DIR dir;
  WriteFile(dir / "empty.dat", "");
  ExpectRoundTrip(dir, "empty.dat", {"-t1"});
}

TEST(ArchiveRoundTrip, LongNamesAndDotFile) {
  TEMP_DIR dir;
  const std::string longName(251, 'L');  // its archive name has 255 characters
  WriteFile(dir / longName, "long name");
  WriteFile(dir / ".profile", "dot file");
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "*"}).status, 0);
  EXPECT_EQ(ListDirectory(dir.path()), (std::vector<std::string>{".zbr", longName + ".zbr"}));
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "-d", "*.zbr"}).status, 0);
  EXPECT_EQ(ListDirectory(dir.path()), (std::vector<std::string>{".profile", longName}));
  EXPECT_EQ(ReadFile(dir / longName), "long name");
  EXPECT_EQ(ReadFile(dir / ".profile"), "dot file");

  // The longest name a directory holds goes into an archive named with -f.
  const std::string longest(255, 'N');
  WriteFile(dir / longest, "longest");
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "-fpack", longest}).status, 0);
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "-d", "pack"}),
            (PROGRAM_RESULT{0, Banner() + "|\b" + longest + ": ||\n"}));
  EXPECT_EQ(ReadFile(dir / longest), "longest");
}

TEST(ArchiveRoundTrip, ArchiveNameTooLongForTheDirectory) {
  TEMP_DIR dir;
  const std::string name(255, 'L');
  WriteFile(dir / name, "x");
  const std::string archive = name + ".zbr";
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", name}),
            (PROGRAM_RESULT{255, Banner() + FatalText("can`t open file " + archive)}));
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{name});
}

TEST(ArchiveRoundTrip, ReadOnlyFileIsRestoredReadOnly) {
  TEMP_DIR dir;
  WriteFile(dir / "locked.txt", "keep me");
  ASSERT_EQ(chmod((dir / "locked.txt").c_str(), 0444), 0);
  ExpectRoundTrip(dir, "locked.txt");
  EXPECT_EQ(StatOf(dir / "locked.txt").st_mode & 07777, 0444u);
}

TEST(ArchiveAppend, TwoRunsIntoOneArchiveThenAQuestionForTheSecond) {
  TEMP_DIR dir;
  WriteFile(dir / "data.bin", "first version");
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-farch", "data.bin"}), (PROGRAM_RESULT{0, Banner() + "data.bin: ||\n"}));
  WriteFile(dir / "data.bin", "second version, longer");
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-farch", "data.bin"}), (PROGRAM_RESULT{0, Banner() + "data.bin: ||\n"}));
  ASSERT_EQ(unlink((dir / "data.bin").c_str()), 0);

  // Declining the second entry leaves the first one restored.
  const PROGRAM_RESULT declined = RunZubrecaIn(dir.path(), {"d", "arch"}, "n");
  EXPECT_EQ(declined.status, 0);
  EXPECT_EQ(declined.output.rfind(Banner() + "|\bdata.bin: ", 0), 0u) << declined.output;
  EXPECT_NE(declined.output.find("\n|\b" + Prompt("data.bin")), std::string::npos) << declined.output;
  EXPECT_EQ(ReadFile(dir / "data.bin"), "first version");

  ASSERT_EQ(unlink((dir / "data.bin").c_str()), 0);
  const PROGRAM_RESULT accepted = RunZubrecaIn(dir.path(), {"d", "arch"}, "y");
  EXPECT_EQ(accepted.status, 0);
  EXPECT_EQ(ReadFile(dir / "data.bin"), "second version, longer");
}

TEST(ArchiveAppend, ManyFilesIntoOneArchiveWithoutQuestions) {
  TEMP_DIR dir;
  WriteFile(dir / "one", "1111");
  WriteFile(dir / "two", "2222");
  WriteFile(dir / "all.zbr", "");  // an existing empty archive is no archive
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-fall.zbr", "one"}),
            (PROGRAM_RESULT{255, Banner() + FatalText("read/write for file all.zbr")}));
  ASSERT_EQ(unlink((dir / "all.zbr").c_str()), 0);
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "-fall.zbr", "one", "two"}),
            (PROGRAM_RESULT{0, Banner() + "one: ||\ntwo: ||\n"}));
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{"all.zbr"});
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "all.zbr"}), (PROGRAM_RESULT{0, Banner() + "|\bone: ||\n|\btwo: ||\n"}));
  EXPECT_EQ(ReadFile(dir / "one"), "1111");
  EXPECT_EQ(ReadFile(dir / "two"), "2222");
}

TEST(ArchiveAppend, ArchiveNamedAfterTheDirectory) {
  TEMP_DIR parent;
  const std::string dir = parent / "work.dir";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  WriteFile(dir + "/x", "x");
  EXPECT_EQ(RunZubrecaIn(dir, {"e", "-f", "x"}).status, 0);
  EXPECT_TRUE(FileExists(dir + "/work.zbr"));
}

TEST(ArchiveDelete, SourceGoesAfterEncodingAndArchiveAfterDecoding) {
  TEMP_DIR dir;
  WriteFile(dir / "a.txt", "alpha");
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "a.txt"}).status, 0);
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{"a.zbr"});
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "-d", "a.zbr"}).status, 0);
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{"a.txt"});
  EXPECT_EQ(ReadFile(dir / "a.txt"), "alpha");
}

TEST(ArchiveDelete, DecliningTheArchiveKeepsTheSource) {
  TEMP_DIR dir;
  WriteFile(dir / "a.txt", "alpha");
  WriteFile(dir / "a.zbr", "old archive");
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "a.txt"}, "n"), (PROGRAM_RESULT{0, Banner() + Prompt("a.zbr")}));
  EXPECT_EQ(ReadFile(dir / "a.txt"), "alpha");
  EXPECT_EQ(ReadFile(dir / "a.zbr"), "old archive");
}

TEST(ArchiveDelete, DecliningAFileKeepsTheArchive) {
  TEMP_DIR dir;
  WriteFile(dir / "pack.zbr", Entry("a.txt", "new"));
  WriteFile(dir / "a.txt", "old");
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "-d", "pack.zbr"}, "n"),
            (PROGRAM_RESULT{0, Banner() + "|\b" + Prompt("a.txt")}));
  EXPECT_EQ(ReadFile(dir / "a.txt"), "old");
  EXPECT_TRUE(FileExists(dir / "pack.zbr"));
}

TEST(ArchivePrompt, AnswersWhenEncoding) {
  TEMP_DIR dir;
  WriteFile(dir / "a.txt", "alpha");
  WriteFile(dir / "b.txt", "beta");
  WriteFile(dir / "c.txt", "gamma");
  for (const char* archive : {"a.zbr", "b.zbr", "c.zbr"}) WriteFile(dir / archive, "old");
  ASSERT_EQ(chmod((dir / "b.zbr").c_str(), 0444), 0);
  // "x" is ignored, "n" skips a.txt, the newline is ignored, "y" replaces
  // the read-only b.zbr, and the end of input breaks at c.zbr.
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "a.txt", "b.txt", "c.txt"}, "xn\ny"),
            (PROGRAM_RESULT{255, Banner() + Prompt("a.zbr") + Prompt("b.zbr") + "b.txt: ||\n" + Prompt("c.zbr") +
                                     "User break!\n"}));
  EXPECT_EQ(ReadFile(dir / "a.zbr"), "old");
  EXPECT_NE(ReadFile(dir / "b.zbr"), "old");
  EXPECT_EQ(ReadFile(dir / "c.zbr"), "old");
}

TEST(ArchivePrompt, AllAnswersTheRestOfTheRun) {
  TEMP_DIR dir;
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) WriteFile(dir / name, name);
  for (const char* archive : {"a.zbr", "b.zbr", "c.zbr"}) WriteFile(dir / archive, "old");
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "a.txt", "b.txt", "c.txt"}, "A"),
            (PROGRAM_RESULT{0, Banner() + Prompt("a.zbr") + "a.txt: ||\nb.txt: ||\nc.txt: ||\n"}));
  for (const char* archive : {"a.zbr", "b.zbr", "c.zbr"}) EXPECT_NE(ReadFile(dir / archive), "old");
}

TEST(ArchivePrompt, QuitAndEscapeStopTheRun) {
  for (const std::string answer : {"q", "\x1b", ""}) {
    TEMP_DIR dir;
    WriteFile(dir / "a.txt", "alpha");
    WriteFile(dir / "a.zbr", "old");
    EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "a.txt"}, answer),
              (PROGRAM_RESULT{255, Banner() + Prompt("a.zbr") + "User break!\n"}));
    EXPECT_EQ(ListDirectory(dir.path()), (std::vector<std::string>{"a.txt", "a.zbr"}));
  }
}

TEST(ArchivePrompt, SameFileTwiceAsksTheSecondTime) {
  TEMP_DIR dir;
  WriteFile(dir / "a.txt", "alpha");
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "a.txt", "a.txt"}, "y"),
            (PROGRAM_RESULT{0, Banner() + "a.txt: ||\n" + Prompt("a.zbr") + "a.txt: ||\n"}));
}

TEST(ArchiveDecode, EmptyArchiveDecodesToNothing) {
  TEMP_DIR dir;
  WriteFile(dir / "empty.zbr", "");
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "-d", "empty.zbr"}), (PROGRAM_RESULT{0, Banner()}));
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{}) << "a fully read archive is deleted";
}

TEST(ArchiveDecode, HandMadeEntriesWithTheirAttributes) {
  TEMP_DIR dir;
  WriteFile(dir / "pack", Entry("one.txt", "first", 0100600) + Entry("two.bin", std::string("\0\1\2", 3), 0100755) +
                              Entry("empty", ""));
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "pack"}),
            (PROGRAM_RESULT{0, Banner() + StoredEntryLine("one.txt") + StoredEntryLine("two.bin") +
                                   StoredEntryLine("empty")}));
  EXPECT_EQ(ReadFile(dir / "one.txt"), "first");
  EXPECT_EQ(ReadFile(dir / "two.bin"), std::string("\0\1\2", 3));
  EXPECT_EQ(ReadFile(dir / "empty"), "");
  EXPECT_EQ(StatOf(dir / "one.txt").st_mode & 07777, 0600u);
  EXPECT_EQ(StatOf(dir / "two.bin").st_mode & 07777, 0755u);
  EXPECT_EQ(StatOf(dir / "one.txt").st_mtime, 1600000000);
}

TEST(ArchiveDecode, TimesBefore1970AndAfter2038) {
  TEMP_DIR dir;
  HEADER_FIELDS h;
  h.name = "old";
  h.mtime = static_cast<uint32_t>(-86400);
  std::string archive = kMagic + Stored(HeaderBytes(h)) + Stored("");
  h.name = "new";
  h.mtime = 0x80000000u;
  archive += kMagic + Stored(HeaderBytes(h)) + Stored("");
  WriteFile(dir / "times", archive);
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "times"}).status, 0);
  EXPECT_EQ(StatOf(dir / "old").st_mtime, -86400);
  EXPECT_EQ(StatOf(dir / "new").st_mtime, -2147483648LL) << "the stored 32 bits are read as signed";
}

// The archive `name` in a fresh directory holding `contents`, decoded.
PROGRAM_RESULT DecodeArchive(const std::string& contents, const std::string& name = "bad.zbr") {
  TEMP_DIR dir;
  WriteFile(dir / name, contents);
  PROGRAM_RESULT result = RunZubrecaIn(dir.path(), {"d", name}, RUN_OPTIONS{"", -1, 120});
  // Nothing may ever be written outside the directory.
  EXPECT_FALSE(FileExists(dir.path() + "/../evil")) << "a file escaped the directory";
  return result;
}

TEST(ArchiveDecode, ForeignOrTruncatedEntryStartIsRefused) {
  const std::string entry = Entry("a", "aaa");
  for (int extra = 1; extra <= 3; ++extra) {
    EXPECT_EQ(DecodeArchive(entry + kMagic.substr(0, extra)),
              (PROGRAM_RESULT{255, Banner() + StoredEntryLine("a") + FatalText("read/write for file bad.zbr")}))
        << extra << " stray bytes";
  }
  EXPECT_EQ(DecodeArchive("PK\3\4 a zip file"), (PROGRAM_RESULT{255, Banner() + FatalText("read/write for file bad.zbr")}));
  EXPECT_EQ(DecodeArchive(entry + "abcd"),
            (PROGRAM_RESULT{255, Banner() + StoredEntryLine("a") + FatalText("read/write for file bad.zbr")}));
}

TEST(ArchiveDecode, BadHeadersAreRefused) {
  const std::string refused = Banner() + "|" + FatalText("read/write for file bad.zbr");
  HEADER_FIELDS h;
  // Shorter than the fixed header.
  EXPECT_EQ(DecodeArchive(kMagic + Stored(HeaderBytes(h).substr(0, 15))), (PROGRAM_RESULT{255, refused}));
  // The mark bits of nameField are wrong.
  h.nameField = 0x8E00 | 8;
  EXPECT_EQ(DecodeArchive(kMagic + Stored(HeaderBytes(h)) + Stored("")), (PROGRAM_RESULT{255, refused}));
  // A name of length 0.
  h.nameField = 0x8C00;
  EXPECT_EQ(DecodeArchive(kMagic + Stored(HeaderBytes(h)) + Stored("")), (PROGRAM_RESULT{255, refused}));
  // A name longer than the header holds.
  h.nameField = 0x8C00 | 100;
  EXPECT_EQ(DecodeArchive(kMagic + Stored(HeaderBytes(h))), (PROGRAM_RESULT{255, refused}));
  // A file longer than any encoder loads: refused before its data is read.
  h.nameField = -1;
  h.length = (1u << 30) + 1;
  EXPECT_EQ(DecodeArchive(kMagic + Stored(HeaderBytes(h)) + Stored("")), (PROGRAM_RESULT{255, refused}));
}

TEST(ArchiveDecode, NamesThatLeadElsewhereAreRefused) {
  const std::string refused = Banner() + "|" + FatalText("read/write for file bad.zbr");
  for (const std::string& name : {std::string("../evil"), std::string("sub/evil"), std::string("/tmp/evil"),
                                 std::string("."), std::string(".."), std::string("evil\0x", 6),
                                 std::string(260, 'n'), std::string(511, 'n')}) {
    HEADER_FIELDS h;
    h.name = name;
    h.length = 4;
    EXPECT_EQ(DecodeArchive(kMagic + Stored(HeaderBytes(h)) + Stored("evil")), (PROGRAM_RESULT{255, refused}))
        << name.size() << " bytes: " << name.substr(0, 20);
  }
  // The longest name that fits the name buffer is fine, though no file
  // system takes it.
  HEADER_FIELDS h;
  h.name = std::string(259, 'n');
  const PROGRAM_RESULT longest = DecodeArchive(kMagic + Stored(HeaderBytes(h)) + Stored(""));
  EXPECT_EQ(longest, (PROGRAM_RESULT{255, Banner() + "|\b" + FatalText("can`t open file " + h.name)}));
}

TEST(ArchiveDecode, MissingOrUnknownTrickIsRefused) {
  HEADER_FIELDS h;
  h.trick = "";
  EXPECT_EQ(DecodeArchive(kMagic + Stored(HeaderBytes(h)) + Stored("")),
            (PROGRAM_RESULT{255, Banner() + "|\bfile.bin: |" + FatalText("unknown trick")}));
  h.trick = "\x09";
  EXPECT_EQ(DecodeArchive(kMagic + Stored(HeaderBytes(h)) + Stored("")),
            (PROGRAM_RESULT{255, Banner() + "|\bfile.bin: |" + FatalText("unknown trick")}));
}

TEST(ArchiveDecode, WrongLengthOrTruncatedDataIsAnError) {
  HEADER_FIELDS h;
  h.length = 10;
  EXPECT_EQ(DecodeArchive(kMagic + Stored(HeaderBytes(h)) + Stored("12345")),
            (PROGRAM_RESULT{255, Banner() + "|\bfile.bin: ||\n" + FatalText("read/write for file file.bin")}));
  // The data buffer claims 10 bytes but the archive ends after 5.
  const std::string truncated = kMagic + Stored(HeaderBytes(h)) + Stored("0123456789").substr(0, 10);
  const PROGRAM_RESULT result = DecodeArchive(truncated);
  EXPECT_EQ(result.status, 255);
  EXPECT_NE(result.output.find(FatalText("read/write for file file.bin")), std::string::npos) << result.output;
}

// Every prefix of a real archive, and the archive with bytes changed, ends
// in a restored file or in an error, never in a crash or a hang.
TEST(ArchiveDecode, DamagedArchivesEndCleanly) {
  NEEDS_CORPUS();
  TEMP_DIR source;
  const std::string text = CorpusFile("canterbury/grammar.lsp").substr(0, 400);
  WriteFile(source / "g.lsp", text);
  ASSERT_EQ(RunZubrecaIn(source.path(), {"e", "-m4", "g.lsp"}).status, 0);
  const std::string archive = ReadFile(source / "g.zbr");
  ASSERT_GT(archive.size(), 20u);
  for (size_t length = 0; length < archive.size(); ++length) {
    const PROGRAM_RESULT result = DecodeArchive(archive.substr(0, length));
    EXPECT_EQ(result.status == 0 ? length : 255u, length == 0 ? 0u : 255u)
        << "prefix of " << length << " bytes ended with status " << result.status;
  }
  uint32_t seed = 12345;
  for (int trial = 0; trial < 50; ++trial) {
    std::string damaged = archive;
    seed = seed * 1103515245u + 12345u;
    const size_t at = 4 + (seed >> 8) % (damaged.size() - 4);
    damaged[at] = static_cast<char>(damaged[at] ^ (1 + (seed >> 3) % 255));
    TEMP_DIR dir;
    WriteFile(dir / "bad.zbr", damaged);
    const PROGRAM_RESULT result = RunZubrecaIn(dir.path(), {"d", "bad.zbr"}, RUN_OPTIONS{"", -1, 120});
    EXPECT_TRUE(result.status == 0 || result.status == 255)
        << "byte " << at << " changed: status " << result.status;
    if (result.status == 0) {
      // A success must have restored one file with the recorded length; a
      // changed byte in the stored name may have given it another name.
      std::vector<std::string> restored;
      for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        if (entry.path().filename() != "bad.zbr") restored.push_back(entry.path().filename());
      ASSERT_EQ(restored.size(), 1u) << "byte " << at << " changed";
      EXPECT_EQ(ReadFile(dir / restored[0]).size(), text.size()) << "byte " << at << " changed: " << restored[0];
    }
  }
}

TEST(ArchiveWriteErrors, FullArchiveIsAnErrorAndTheSourceStays) {
  TEMP_DIR dir;
  WriteFile(dir / "noise.bin", Pseudorandom(30000, 7));
  RUN_OPTIONS limited;
  limited.fileSizeLimit = 10000;
  const PROGRAM_RESULT result = RunZubrecaIn(dir.path(), {"e", "-d", "noise.bin"}, limited);
  EXPECT_EQ(result.status, 255);
  const std::string error = FatalText("read/write for file noise.zbr");
  ASSERT_GE(result.output.size(), error.size());
  EXPECT_EQ(result.output.substr(result.output.size() - error.size()), error) << result.output;
  EXPECT_EQ(result.output.rfind(Banner() + "noise.bin: ", 0), 0u) << result.output;
  EXPECT_EQ(ReadFile(dir / "noise.bin"), Pseudorandom(30000, 7));
}

TEST(ArchiveWriteErrors, FullOutputIsAnErrorAndTheArchiveStays) {
  TEMP_DIR dir;
  const std::string data = Pseudorandom(100000, 9);
  WriteFile(dir / "pack.zbr", Entry("big.bin", data));
  RUN_OPTIONS limited;
  limited.fileSizeLimit = 65536;
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "-d", "pack.zbr"}, limited),
            (PROGRAM_RESULT{255, Banner() + "|\bbig.bin: ||\n" + FatalText("read/write for file big.bin")}));
  EXPECT_TRUE(FileExists(dir / "pack.zbr"));
}

TEST(ArchiveEncode, UnknownTrickLeavesNoArchive) {
  TEMP_DIR dir;
  WriteFile(dir / "a.txt", "alpha");
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "-t7", "a.txt"}),
            (PROGRAM_RESULT{255, Banner() + "a.txt: " + FatalText("unknown trick")}));
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{"a.txt"});
  EXPECT_EQ(ReadFile(dir / "a.txt"), "alpha");
}

TEST(ArchiveEncode, FileOverOneGibibyteIsOutOfMemory) {
  TEMP_DIR dir;
  WriteFile(dir / "big.bin", "");
  ASSERT_EQ(truncate((dir / "big.bin").c_str(), (1 << 30) + 1), 0);
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "big.bin"}), (PROGRAM_RESULT{255, Banner() + FatalText("out of memory")}));
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{"big.bin"}) << "no archive, not even an empty one";
}

TEST(ArchiveEncode, UnreadableSourceIsAnError) {
  if (geteuid() == 0) GTEST_SKIP() << "the superuser reads every file";
  TEMP_DIR dir;
  WriteFile(dir / "a.txt", "alpha");
  ASSERT_EQ(chmod((dir / "a.txt").c_str(), 0400), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0500), 0);  // no archive can be created
  const PROGRAM_RESULT result = RunZubrecaIn(dir.path(), {"e", "a.txt"});
  ASSERT_EQ(chmod(dir.path().c_str(), 0700), 0);
  EXPECT_EQ(result, (PROGRAM_RESULT{255, Banner() + FatalText("can`t open file a.zbr")}));
}

}  // namespace
}  // namespace zubreca
