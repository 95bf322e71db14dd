// What the program must never do to its user's files, whatever the
// directory holds and whatever the archive says: write through a link,
// read or remove an archive of its own run as a source, leave a partial
// archive, entry or restored file behind, restore setuid bits, wait on a
// FIFO, skip an output it cannot write without a word, restore damaged
// bytes without an error, or send control characters to the terminal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/driver/hand_made_archive.h"
#include "tests/driver/run_program.h"
#include "tests/test_build.h"

namespace zubreca {
namespace {

using namespace testkit;

struct stat LinkStatus(const std::string& path) {
  struct stat status;
  memset(&status, 0, sizeof status);
  EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
  return status;
}

bool IsRegularFile(const std::string& path) { return S_ISREG(LinkStatus(path).st_mode); }
mode_t ModeOf(const std::string& path) { return LinkStatus(path).st_mode & 07777; }
ino_t InodeOf(const std::string& path) { return LinkStatus(path).st_ino; }

// Names in `dir` that a run left behind under a temporary name.
std::vector<std::string> Temporaries(const TEMP_DIR& dir) {
  std::vector<std::string> left;
  for (const std::string& name : ListDirectory(dir.path()))
    if (name.rfind(".zubreca-", 0) == 0) left.push_back(name);
  return left;
}

std::string Skipped(const std::string& name) { return name + ": is an archive of this run, skipped\n"; }

// --- Links ------------------------------------------------------------------

TEST(SafetyLinks, DecodingReplacesADanglingLinkInsteadOfCreatingItsTarget) {
  TEMP_DIR outside;
  TEMP_DIR dir;
  ASSERT_EQ(symlink((outside / "victim").c_str(), (dir / "file.bin").c_str()), 0);
  WriteFile(dir / "pack.zbr", Entry("file.bin", "payload", 0104777));
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "pack.zbr"}, "y"),
            (PROGRAM_RESULT{0, Banner() + "|\b" + Prompt("file.bin") + "file.bin: ||\n"}));
  EXPECT_FALSE(FileExists(outside / "victim")) << "the link's target was created";
  ASSERT_TRUE(IsRegularFile(dir / "file.bin")) << "the link itself is replaced";
  EXPECT_EQ(ReadFile(dir / "file.bin"), "payload");
}

TEST(SafetyLinks, AYesForALinkNeitherChangesNorWritesWhatItLeadsTo) {
  TEMP_DIR outside;
  WriteFile(outside / "target", "precious");
  ASSERT_EQ(chmod((outside / "target").c_str(), 0644), 0);
  ASSERT_EQ(mkdir((outside / "folder").c_str(), 0755), 0);
  TEMP_DIR dir;
  ASSERT_EQ(symlink((outside / "target").c_str(), (dir / "one").c_str()), 0);
  ASSERT_EQ(symlink((outside / "folder").c_str(), (dir / "two").c_str()), 0);
  WriteFile(dir / "pack.zbr", Entry("one", "first") + Entry("two", "second"));
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "pack.zbr"}, "yy").status, 0);
  EXPECT_EQ(ReadFile(outside / "target"), "precious");
  EXPECT_EQ(ModeOf(outside / "target"), 0644u);
  EXPECT_EQ(ModeOf(outside / "folder"), 0755u);
  EXPECT_EQ(ListDirectory(outside / "folder"), std::vector<std::string>{});
  EXPECT_EQ(ReadFile(dir / "one"), "first");
  EXPECT_EQ(ReadFile(dir / "two"), "second");
}

TEST(SafetyLinks, EncodingReplacesALinkPlantedAtTheArchiveName) {
  TEMP_DIR outside;
  WriteFile(outside / "existing", "keep");
  TEMP_DIR dir;
  WriteFile(dir / "a.txt", "alpha");
  WriteFile(dir / "b.txt", "beta");
  ASSERT_EQ(symlink((outside / "planted").c_str(), (dir / "a.zbr").c_str()), 0);
  ASSERT_EQ(symlink((outside / "existing").c_str(), (dir / "b.zbr").c_str()), 0);
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "a.txt", "b.txt"}, "yy"),
            (PROGRAM_RESULT{0, Banner() + Prompt("a.zbr") + "a.txt: ||\n" + Prompt("b.zbr") + "b.txt: ||\n"}));
  EXPECT_FALSE(FileExists(outside / "planted"));
  EXPECT_EQ(ReadFile(outside / "existing"), "keep");
  EXPECT_EQ(ListDirectory(dir.path()), (std::vector<std::string>{"a.zbr", "b.zbr"}));
  ASSERT_TRUE(IsRegularFile(dir / "a.zbr") && IsRegularFile(dir / "b.zbr"));
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "-d", "a.zbr", "b.zbr"}).status, 0);
  EXPECT_EQ(ReadFile(dir / "a.txt"), "alpha");
  EXPECT_EQ(ReadFile(dir / "b.txt"), "beta");
}

// --- Archives of the run ----------------------------------------------------

TEST(SafetyRunArchives, ArchivingADirectoryWithDeleteTwiceKeepsEverything) {
  TEMP_DIR parent;
  const std::string dir = parent / "proj";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  WriteFile(dir + "/a.txt", "alpha");
  WriteFile(dir + "/b.txt", "beta");
  ASSERT_EQ(RunZubrecaIn(dir, {"e", "-d", "-f", "*"}).status, 0);
  ASSERT_EQ(ListDirectory(dir), std::vector<std::string>{"proj.zbr"});
  const std::string archive = ReadFile(dir + "/proj.zbr");

  EXPECT_EQ(RunZubrecaIn(dir, {"e", "-d", "-f", "*"}), (PROGRAM_RESULT{0, Banner() + Skipped("proj.zbr")}));
  EXPECT_EQ(ListDirectory(dir), std::vector<std::string>{"proj.zbr"});
  EXPECT_EQ(ReadFile(dir + "/proj.zbr"), archive);

  // The archive named with -f is left out as the same file, whatever the
  // name it is given by.
  WriteFile(dir + "/c.txt", "gamma");
  EXPECT_EQ(RunZubrecaIn(dir, {"e", "-d", "-f./proj.zbr", "*"}),
            (PROGRAM_RESULT{0, Banner() + Skipped("proj.zbr") + "c.txt: ||\n"}));
  EXPECT_EQ(RunZubrecaIn(dir, {"d", "-d", "proj.zbr"}).status, 0);
  EXPECT_EQ(ListDirectory(dir), (std::vector<std::string>{"a.txt", "b.txt", "c.txt"}));
  EXPECT_EQ(ReadFile(dir + "/c.txt"), "gamma");
}

TEST(SafetyRunArchives, SourcesNamedLikeAnArchiveOfTheRunAreLeftOut) {
  TEMP_DIR dir;
  WriteFile(dir / "notes.txt", "notes");
  WriteFile(dir / "notes.zbr", "not an archive, but the user's");
  WriteFile(dir / "x.zbr", "x data");
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "notes.zbr", "notes.txt", "x.zbr"}, "y"),
            (PROGRAM_RESULT{0, Banner() + Skipped("notes.zbr") + Skipped("x.zbr") + Prompt("notes.zbr") +
                                   "notes.txt: ||\n"}));
  EXPECT_EQ(ListDirectory(dir.path()), (std::vector<std::string>{"notes.zbr", "x.zbr"}));
  EXPECT_EQ(ReadFile(dir / "x.zbr"), "x data");
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "notes.zbr"}).status, 0);
  EXPECT_EQ(ReadFile(dir / "notes.txt"), "notes");
}

TEST(SafetyRunArchives, AFileNamedTwiceWithDeleteIsArchivedOnce) {
  TEMP_DIR dir;
  WriteFile(dir / "a.txt", "alpha");
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "a.txt", "a.txt"}), (PROGRAM_RESULT{0, Banner() + "a.txt: ||\n"}));
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{"a.zbr"});
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "-d", "a.zbr"}).status, 0);
  EXPECT_EQ(ReadFile(dir / "a.txt"), "alpha");
}

// An archive that holds a file of its own name replaces itself when
// restored; -d then removes nothing, since the name no longer leads to the
// archive that was read.
TEST(SafetyRunArchives, DeleteRemovesOnlyTheFileThatWasRead) {
  TEMP_DIR dir;
  WriteFile(dir / "self.zbr", Entry("self.zbr", "restored over its archive"));
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "-d", "self.zbr"}, "y").status, 0);
  EXPECT_EQ(ReadFile(dir / "self.zbr"), "restored over its archive");
}

// --- Appends ----------------------------------------------------------------

TEST(SafetyAppend, AFailedAppendLeavesTheArchiveAsItWas) {
  TEMP_DIR dir;
  WriteFile(dir / "a.txt", "alpha");
  ASSERT_EQ(RunZubrecaIn(dir.path(), {"e", "-farch", "a.txt"}).status, 0);
  const std::string before = ReadFile(dir / "arch");

  WriteFile(dir / "b.txt", "beta");
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "-farch", "-t7", "b.txt"}),
            (PROGRAM_RESULT{255, Banner() + "b.txt: " + FatalText("unknown trick")}));
  EXPECT_EQ(ReadFile(dir / "arch"), before);

  WriteFile(dir / "c.bin", Pseudorandom(30000, 3));
  RUN_OPTIONS limited;
  limited.fileSizeLimit = static_cast<long>(before.size()) + 1000;
  const PROGRAM_RESULT full = RunZubrecaIn(dir.path(), {"e", "-d", "-farch", "c.bin"}, limited);
  EXPECT_EQ(full.status, 255);
  EXPECT_NE(full.output.find(FatalText("read/write for file arch")), std::string::npos) << full.output;
  EXPECT_EQ(ReadFile(dir / "arch"), before);
  EXPECT_EQ(Temporaries(dir), std::vector<std::string>{});
  EXPECT_EQ(ListDirectory(dir.path()), (std::vector<std::string>{"a.txt", "arch", "b.txt", "c.bin"}));

  // Later appends go on from a sound end, and every entry decodes.
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "-farch", "b.txt", "c.bin"}).status, 0);
  ASSERT_EQ(unlink((dir / "a.txt").c_str()), 0);
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "-d", "arch"}).status, 0);
  EXPECT_EQ(ListDirectory(dir.path()), (std::vector<std::string>{"a.txt", "b.txt", "c.bin"}));
  EXPECT_EQ(ReadFile(dir / "c.bin"), Pseudorandom(30000, 3));
}

// A signal in the middle of coding ends the run with nothing half made:
// no new archive, no entry appended to an old one, no temporary file.
TEST(SafetyAppend, AnInterruptedRunLeavesNothingHalfMade) {
  NEEDS_CORPUS();
  TEMP_DIR dir;
  const std::string text = CorpusFile("text/kjv.txt");
  WriteFile(dir / "a.txt", "alpha");
  ASSERT_EQ(RunZubrecaIn(dir.path(), {"e", "-farch", "a.txt"}).status, 0);
  const std::string before = ReadFile(dir / "arch");
  WriteFile(dir / "big.txt", text);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"e", "-d", "big.txt"},
                                               std::vector<std::string>{"e", "-d", "-farch", "big.txt"}}) {
    for (const int signalNumber : {SIGTERM, SIGINT}) {
      RUN_OPTIONS interrupted;
      interrupted.signalAfterMs = 400;
      interrupted.signal = signalNumber;
      const PROGRAM_RESULT result = RunZubrecaIn(dir.path(), args, interrupted);
      EXPECT_EQ(result.status, 128 + signalNumber) << args[2] << ": " << result.output;
      EXPECT_EQ(ListDirectory(dir.path()), (std::vector<std::string>{"a.txt", "arch", "big.txt"})) << args[2];
      EXPECT_EQ(ReadFile(dir / "arch"), before);
    }
  }
  EXPECT_EQ(ReadFile(dir / "big.txt"), text);
}

// --- Modes ------------------------------------------------------------------

TEST(SafetyModes, SpecialBitsAreNeverRestoredAndTheUmaskAppliesToOtherUsers) {
  const std::string archive = Entry("special", "s", 0106777) + Entry("plain", "p", 0100640);
  if (geteuid() == 0) {
    TEMP_DIR dir;
    WriteFile(dir / "pack.zbr", archive);
    RUN_OPTIONS options;
    options.umask = 077;
    ASSERT_EQ(RunZubrecaIn(dir.path(), {"d", "pack.zbr"}, options).status, 0);
    EXPECT_EQ(ModeOf(dir / "special"), 0777u) << "root keeps the stored permissions, never the special bits";
    EXPECT_EQ(ModeOf(dir / "plain"), 0640u);
  }
  TEMP_DIR dir;
  WriteFile(dir / "pack.zbr", archive);
  HandOver(dir.path());
  RUN_OPTIONS options;
  options.umask = 027;
  options.unprivileged = true;
  ASSERT_EQ(RunZubrecaIn(dir.path(), {"d", "pack.zbr"}, options).status, 0);
  EXPECT_EQ(ModeOf(dir / "special"), 0750u);
  EXPECT_EQ(ModeOf(dir / "plain"), 0640u);
}

// --- Console ----------------------------------------------------------------

// The archive is larger than a stream buffer and its bytes past the first
// 64 KiB are all 'y': read as standard input they would answer yes.
TEST(SafetyConsole, WithStandardInputClosedThePromptEndsTheRun) {
  TEMP_DIR dir;
  WriteFile(dir / "file.bin", "old");
  WriteFile(dir / "pack.zbr", Entry("file.bin", std::string(200000, 'y')));
  RUN_OPTIONS closed;
  closed.closedInput = true;
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "pack.zbr"}, closed),
            (PROGRAM_RESULT{255, Banner() + "|\b" + Prompt("file.bin") + "User break!\n"}));
  EXPECT_EQ(ReadFile(dir / "file.bin"), "old");
}

TEST(SafetyConsole, AWritableButUnreadableFileIsAskedAbout) {
  TEMP_DIR dir;
  WriteFile(dir / "file.bin", "old");
  WriteFile(dir / "pack.zbr", Entry("file.bin", "new"));
  ASSERT_EQ(chmod((dir / "file.bin").c_str(), 0200), 0);
  HandOver(dir.path());
  RUN_OPTIONS options;
  options.input = "n";
  options.unprivileged = true;
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "pack.zbr"}, options),
            (PROGRAM_RESULT{0, Banner() + "|\b" + Prompt("file.bin")}));
  EXPECT_EQ(ReadFile(dir / "file.bin"), "old");
}

TEST(SafetyConsole, ControlCharactersInStoredNamesAreShownEscaped) {
  TEMP_DIR dir;
  const std::string name = "a\x1b[31mb\tc";
  WriteFile(dir / "pack.zbr", Entry(name, "x"));
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "pack.zbr"}),
            (PROGRAM_RESULT{0, Banner() + StoredEntryLine("a\\x1B[31mb\\x09c")}));
  EXPECT_EQ(ReadFile(dir / name), "x") << "the file keeps its real name";
}

TEST(SafetyConsole, EnterAnswersYes) {
  TEMP_DIR dir;
  WriteFile(dir / "file.bin", "old");
  WriteFile(dir / "pack.zbr", Entry("file.bin", "new"));
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "pack.zbr"}, "\n"),
            (PROGRAM_RESULT{0, Banner() + "|\b" + Prompt("file.bin") + "file.bin: ||\n"}));
  EXPECT_EQ(ReadFile(dir / "file.bin"), "new");
}

// --- Restoring --------------------------------------------------------------

TEST(SafetyRestore, ADamagedArchiveLeavesTheFileItWouldReplace) {
  NEEDS_CORPUS();
  TEMP_DIR dir;
  const std::string source = CorpusFile("canterbury/fields.c");
  WriteFile(dir / "fields.c", source);
  ASSERT_EQ(RunZubrecaIn(dir.path(), {"e", "fields.c"}).status, 0);
  const std::string archive = ReadFile(dir / "fields.zbr");
  WriteFile(dir / "fields.zbr", archive.substr(0, 1500));
  const ino_t inode = InodeOf(dir / "fields.c");
  const PROGRAM_RESULT result = RunZubrecaIn(dir.path(), {"d", "fields.zbr"}, "y");
  EXPECT_EQ(result.status, 255) << result.output;
  EXPECT_EQ(ReadFile(dir / "fields.c"), source);
  EXPECT_EQ(InodeOf(dir / "fields.c"), inode);
  EXPECT_EQ(ListDirectory(dir.path()), (std::vector<std::string>{"fields.c", "fields.zbr"}));
}

TEST(SafetyRestore, FailuresLeaveNoPartialOrEmptyFile) {
  HEADER_FIELDS wrongLength;
  wrongLength.length = 10;
  HEADER_FIELDS unknownTrick;
  unknownTrick.trick = "\x09";
  HEADER_FIELDS oneGibibyte;
  oneGibibyte.length = 1u << 30;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a wrong length", kMagic + Stored(HeaderBytes(wrongLength)) + Stored("12345")},
      {"an unknown trick", kMagic + Stored(HeaderBytes(unknownTrick)) + Stored("")},
      {"a declared gibibyte", kMagic + Stored(HeaderBytes(oneGibibyte)) + Stored("12345")},
      {"a truncated data buffer", kMagic + Stored(HeaderBytes(wrongLength)) + Stored("0123456789").substr(0, 10)},
  };
  for (const auto& [what, archive] : cases) {
    TEMP_DIR dir;
    WriteFile(dir / "bad.zbr", archive);
    EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "bad.zbr"}).status, 255) << what;
    EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{"bad.zbr"}) << what;
  }
  // A write that fails on the way leaves nothing either.
  TEMP_DIR dir;
  WriteFile(dir / "pack.zbr", Entry("big.bin", Pseudorandom(100000, 9)));
  RUN_OPTIONS limited;
  limited.fileSizeLimit = 65536;
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "pack.zbr"}, limited),
            (PROGRAM_RESULT{255, Banner() + "|\bbig.bin: ||\n" + FatalText("read/write for file big.bin")}));
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{"pack.zbr"});
}

// --- Special files ----------------------------------------------------------

TEST(SafetySpecialFiles, FifosAreNeverOpened) {
  TEMP_DIR dir;
  WriteFile(dir / "a.txt", "alpha");
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0644), 0);
  RUN_OPTIONS quick;
  quick.timeoutSeconds = 60;
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "*"}, quick), (PROGRAM_RESULT{0, Banner() + "a.txt: ||\n"}));

  WriteFile(dir / "pack.zbr", Entry("pipe", "data"));
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "pack.zbr"}, quick),
            (PROGRAM_RESULT{255, Banner() + "|\b" + FatalText("can`t open file pipe")}));

  ASSERT_EQ(mkfifo((dir / "b.zbr").c_str(), 0644), 0);
  WriteFile(dir / "b.txt", "beta");
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "b.txt"}, quick),
            (PROGRAM_RESULT{255, Banner() + FatalText("can`t open file b.zbr")}));
}

TEST(SafetySpecialFiles, ANameTakenByADirectoryIsAnError) {
  TEMP_DIR dir;
  ASSERT_EQ(mkdir((dir / "file.bin").c_str(), 0750), 0);
  WriteFile(dir / "file.bin/inside", "inside");
  WriteFile(dir / "pack.zbr", Entry("file.bin", "data"));
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "-d", "pack.zbr"}, "y"),
            (PROGRAM_RESULT{255, Banner() + "|\b" + FatalText("can`t open file file.bin")}));
  EXPECT_EQ(ModeOf(dir / "file.bin"), 0750u);
  EXPECT_EQ(ReadFile(dir / "file.bin/inside"), "inside");
  EXPECT_TRUE(FileExists(dir / "pack.zbr"));
}

// --- Checksum ---------------------------------------------------------------

TEST(SafetyChecksum, AChangedByteInAStoredBufferIsAnError) {
  const std::string data = Pseudorandom(1000, 5);
  std::string archive = Entry("file.bin", data);
  archive[archive.size() - 500] ^= 0x10;
  TEMP_DIR dir;
  WriteFile(dir / "bad.zbr", archive);
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "bad.zbr"}),
            (PROGRAM_RESULT{255, Banner() + StoredEntryLine("file.bin") + FatalText("read/write for file bad.zbr")}));
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{"bad.zbr"});
}

TEST(SafetyChecksum, TheChecksumIsCheckedWhenItIsThere) {
  HEADER_FIELDS h;
  h.length = 4;
  const std::string header = HeaderBytes(h);
  const std::string good = Be32(Crc32cReference("data" + header));
  const auto decode = [](const std::string& headerBuffer) {
    TEMP_DIR dir;
    WriteFile(dir / "pack.zbr", kMagic + Stored(headerBuffer) + Stored("data"));
    const PROGRAM_RESULT result = RunZubrecaIn(dir.path(), {"d", "pack.zbr"});
    EXPECT_EQ(FileExists(dir / "file.bin"), result.status == 0);
    return result;
  };
  const std::string restored = Banner() + StoredEntryLine("file.bin");
  const std::string refused = restored + FatalText("read/write for file pack.zbr");
  EXPECT_EQ(decode(header + good), (PROGRAM_RESULT{0, restored}));
  EXPECT_EQ(decode(header), (PROGRAM_RESULT{0, restored})) << "an entry without a checksum";
  std::string wrong = good;
  wrong[3] ^= 1;
  EXPECT_EQ(decode(header + wrong), (PROGRAM_RESULT{255, refused}));
  // The checksum covers the header too: the same data under another time.
  HEADER_FIELDS later = h;
  later.mtime += 1;
  EXPECT_EQ(decode(HeaderBytes(later) + good), (PROGRAM_RESULT{255, refused}));
  for (size_t extra : {1, 2, 3}) EXPECT_EQ(decode(header + good.substr(0, extra)), (PROGRAM_RESULT{255, refused}));
  EXPECT_EQ(decode(header + good + "x"), (PROGRAM_RESULT{255, refused}));
}

// --- Damage -----------------------------------------------------------------

// A small archive of three entries (a coded text, stored noise, an empty
// file) over a directory that holds older versions of the three files.
// Every cut and every changed bit must end in exit status 255, leaving the
// files of the entries before the damage restored and every other file as
// it was; a cut at an entry boundary is a shorter sound archive.
TEST(SafetyDamage, EveryCutAndEveryChangedBitIsCaught) {
  NEEDS_CORPUS();
  const std::vector<std::pair<std::string, std::string>> files = {
      {"t.txt", CorpusFile("canterbury/grammar.lsp").substr(0, 300)}, {"r.bin", Pseudorandom(60, 11)}, {"e", ""}};
  TEMP_DIR source;
  std::vector<size_t> ends;  // where each entry ends
  for (const auto& [name, contents] : files) {
    WriteFile(source / name, contents);
    ASSERT_EQ(RunZubrecaIn(source.path(), {"e", "-m4", "-farch", name}).status, 0);
    ends.push_back(ReadFile(source / "arch").size());
  }
  const std::string archive = ReadFile(source / "arch");
  const auto entryAt = [&](size_t offset) {
    size_t entry = 0;
    while (entry < ends.size() && offset >= ends[entry]) ++entry;
    return entry;
  };

  // Decodes `damaged` and checks that exactly the first `restoredEntries`
  // files were replaced.
  const auto check = [&](const std::string& damaged, int status, size_t restoredEntries, const std::string& what) {
    TEMP_DIR dir;
    std::vector<ino_t> inodes;
    for (const auto& file : files) {
      WriteFile(dir / file.first, "old " + file.first);
      inodes.push_back(InodeOf(dir / file.first));
    }
    WriteFile(dir / "bad.zbr", damaged);
    RUN_OPTIONS options;
    options.input = "a";
    options.timeoutSeconds = 120;
    const PROGRAM_RESULT result = RunZubrecaIn(dir.path(), {"d", "bad.zbr"}, options);
    ASSERT_EQ(result.status, status) << what;
    for (size_t i = 0; i < files.size(); ++i) {
      const std::string path = dir / files[i].first;
      if (i < restoredEntries) {
        ASSERT_EQ(ReadFile(path), files[i].second) << what << ": " << files[i].first;
      } else {
        ASSERT_EQ(ReadFile(path), "old " + files[i].first) << what << ": " << files[i].first;
        ASSERT_EQ(InodeOf(path), inodes[i]) << what << ": " << files[i].first;
      }
    }
    ASSERT_EQ(ListDirectory(dir.path()).size(), files.size() + 1) << what << ": a file was left behind";
  };

  const size_t stride = kUnderSanitizer ? 5 : 1;
  for (size_t cut = 0; cut < archive.size(); cut += stride) {
    const size_t entry = entryAt(cut);
    const bool boundary = cut == 0 || (entry > 0 && cut == ends[entry - 1]);
    check(archive.substr(0, cut), boundary ? 0 : 255, entry, "cut at " + std::to_string(cut));
  }
  for (size_t offset = 0; offset < archive.size(); offset += stride) {
    std::string damaged = archive;
    damaged[offset] = static_cast<char>(damaged[offset] ^ (1 << (offset % 8)));
    check(damaged, 255, entryAt(offset), "bit " + std::to_string(offset % 8) + " of byte " + std::to_string(offset));
  }
}

}  // namespace
}  // namespace zubreca
