// veltor scan as a user runs it: the real program and real files; what it prints, what it skips and its exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>

#include "support/random_database.h"
#include "compiler/rulelang/database_image.h"
#include "support/veltor_process.h"
#include "veltor/scan_suite.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace veltor::testing {
namespace {

namespace fs = std::filesystem;

struct Options {
  std::string input;                 // standard input's bytes
  fs::path program = ProgramPath();  // another copy of veltor
};

// Runs `veltor scan ARGUMENTS...` with standard input from a file.
ProcessResult Scan(const TempDir& scratch, std::vector<std::string> arguments, const Options& options = {}) {
  arguments.insert(arguments.begin(), "scan");
  return RunProcess(scratch, options.program, arguments, {options.input, {}});
}

// The read buffer's size for the scans that follow; "" for the default.
void SetChunkSize(const char* size) { SetEnvironment("VELTOR_SCAN_CHUNK_SIZE", size); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// The value after "LABEL" in the summary on standard error.
std::string SummaryValue(const std::string& err, const std::string& label) {
  for (const std::string& line : Lines(err)) {
    if (line.rfind(label, 0) == 0) {
      const size_t start = line.find_first_not_of(' ', label.size());
      return start == std::string::npos ? "" : line.substr(start);
    }
  }
  return "(no " + label + ")";
}

class VeltorScan : public ScanSuite {
 protected:
  ProcessResult ScanWithRules(std::vector<std::string> arguments, const Options& options = {}) {
    arguments.insert(arguments.begin(), {"--db", database});
    return Scan(scratch, arguments, options);
  }
  std::string Write(const std::string& name, std::string_view text) { return WriteBelow("files", name, text); }
  std::string Files() const { return (scratch.path() / "files").string(); }
};

TEST_F(VeltorScan, PrintsOneLinePerReportAndExitsByWhatItFound) {
  const std::string evil = Write("evil.txt", "an evil-marker and a maybe-marker");
  const std::string wide = Write("wide.bin", std::string("w\0i\0d\0e\0-\0s\0e\0c\0r\0e\0t\0", 22));
  const std::string clean = Write("clean.txt", "nothing to see");

  const ProcessResult found = ScanWithRules({"-j", "1", evil, wide, clean});
  EXPECT_EQ(found.exitCode, 1) << found.err;
  EXPECT_EQ(found.out, evil + ": " + EvilLine + "\n" + evil + ": " + MaybeLine + "\n" + wide +
                           ": Test.Wide (level 1)\n" + clean + ": OK\n");
  EXPECT_EQ(SummaryValue(found.err, "Files scanned:"), "3");
  EXPECT_EQ(SummaryValue(found.err, "Reports:"), "3");
  EXPECT_EQ(SummaryValue(found.err, "Files with reports:"), "2");
  EXPECT_EQ(SummaryValue(found.err, "Errors:"), "0");
  EXPECT_EQ(SummaryValue(found.err, "Bytes scanned:").rfind("69 (", 0), 0u) << found.err;

  const ProcessResult nothing = ScanWithRules({clean});
  EXPECT_EQ(nothing.exitCode, 0);
  EXPECT_EQ(nothing.out, clean + ": OK\n");
}

TEST_F(VeltorScan, ErrorsExitWith2AndTheOtherFilesAreStillScanned) {
  const std::string evil = Write("evil.txt", "evil-marker");
  const std::string missing = (scratch.path() / "missing.txt").string();

  const ProcessResult result = ScanWithRules({"-j", "1", missing, evil, "--", "-x"});
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_EQ(result.out, evil + ": " + EvilLine + "\n");
  EXPECT_NE(result.err.find("veltor scan: " + missing + ": no such file or folder\n"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("veltor scan: -x: no such file or folder\n"), std::string::npos) << result.err;
  EXPECT_EQ(SummaryValue(result.err, "Errors:"), "2");

  const std::string notADatabase = Write("fake.vlb", "not a database");
  for (const std::string& db : {notADatabase, missing}) {
    const ProcessResult bad = Scan(scratch, {"--db", db, evil});
    EXPECT_EQ(bad.exitCode, 2) << db;
    EXPECT_EQ(bad.out, "") << db;
    EXPECT_NE(bad.err.find("cannot load the database " + db), std::string::npos) << bad.err;
  }

  for (const std::vector<std::string>& line : std::vector<std::vector<std::string>>{
           {}, {"-j", "0", evil}, {"-j", "x", evil}, {"--bogus", evil}, {"-", "-"}}) {
    EXPECT_EQ(ScanWithRules(line).exitCode, 2) << ::testing::PrintToString(line);
  }
}

// Sparse files: the marker at the end of a file beyond any one buffer.
TEST_F(VeltorScan, EveryFileIsScannedWholeWhateverItsSize) {
  const std::string empty = Write("a-empty.txt", "");
  const std::string large = Write("b-large.bin", "");
  fs::resize_file(large, 20'000'000);
  std::ofstream(large, std::ios::binary | std::ios::app) << "evil-marker";
  const std::string small = Write("c-small.txt", "maybe-marker");

  const ProcessResult result = ScanWithRules({"--sort", Files()});
  EXPECT_EQ(result.exitCode, 1) << result.err;
  EXPECT_EQ(result.out, empty + ": OK\n" + large + ": " + EvilLine + "\n" + small + ": " + MaybeLine + "\n");
  EXPECT_EQ(SummaryValue(result.err, "Files scanned:"), "3");
  EXPECT_EQ(SummaryValue(result.err, "Bytes scanned:").rfind("20000023 (", 0), 0u) << result.err;

  // --max-filesize leaves large files out on request: listed, not errors.
  for (const std::string size : {"1M", "19531K", "12"}) {
    const ProcessResult limited = ScanWithRules({"--sort", "--max-filesize", size, Files()});
    EXPECT_EQ(limited.exitCode, 1) << size;
    EXPECT_EQ(limited.out, empty + ": OK\n" + large + ": skipped (larger than --max-filesize)\n" + small + ": " +
                               MaybeLine + "\n")
        << size;
    EXPECT_EQ(SummaryValue(limited.err, "Skipped:"), "1");
  }
  for (const std::string size : {"", "1T", "x", "-1"}) {
    EXPECT_EQ(ScanWithRules({"--max-filesize=" + size, small}).exitCode, 2) << size;
  }

  // Standard input the same, through a file as large.
  Options options;
  options.input = std::string(17'000'000, 'x') + "evil-marker";
  const ProcessResult input = ScanWithRules({"-"}, options);
  EXPECT_EQ(input.exitCode, 1) << input.err;
  EXPECT_EQ(input.out, std::string("(standard input): ") + EvilLine + "\n");
}

// Files are read in chunks; VELTOR_SCAN_CHUNK_SIZE makes them tiny so that
// a chunk border falls at every position in the marker.
TEST_F(VeltorScan, AMarkerAcrossAnyChunkBorderIsFound) {
  std::string expected;
  for (int offset = 0; offset < 24; ++offset) {
    const std::string name = "f" + std::string(offset < 10 ? "0" : "") + std::to_string(offset);
    expected += Write(name, std::string(static_cast<size_t>(offset), '.') + "evil-marker" + std::string(5, '.')) +
                ": " + EvilLine + "\n";
  }
  for (const char* size : {"1", "2", "3", "5", "10", "11", "12", "16"}) {
    SetChunkSize(size);
    const ProcessResult result = ScanWithRules({"--sort", "-j", "2", Files()});
    EXPECT_EQ(result.exitCode, 1) << size;
    EXPECT_EQ(result.out, expected) << size;
  }
  SetChunkSize("");
}

// The same reports from any chunk size as from one buffer, over random
// databases and inputs built from their own patterns.
TEST_F(VeltorScan, StreamedScansEqualOneBufferScansOverRandomDatabases) {
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    RandomDatabase random(seed);
    const rulelang::DatabaseEntries entries = random.Make();
    const std::vector<uint8_t> image = rulelang::WriteDatabaseImage(entries, 0x01D9A1B2C3D4E5F6ull);
    const std::string db = Write("db" + std::to_string(seed) + ".vlb",
                                 std::string_view(reinterpret_cast<const char*>(image.data()), image.size()));
    std::mt19937 bytes(seed);
    for (int file = 0; file < 6; ++file) {
      std::string text;
      for (int piece = 0; piece < 8; ++piece) {
        if (!entries.signatures.empty() && bytes() % 2 == 0) {
          const auto& pattern = entries.signatures[bytes() % entries.signatures.size()].pattern;
          text.append(pattern.begin(), pattern.end());
        } else {
          text.append(bytes() % 9, static_cast<char>(bytes() % 256));
        }
      }
      Write("in" + std::to_string(seed) + "/" + std::to_string(file), text);
    }
    const std::string folder = Files() + "/in" + std::to_string(seed);
    SetChunkSize("");
    const ProcessResult whole = Scan(scratch, {"--db", db, "--sort", "-q", "--json", folder});
    for (const char* size : {"1", "3", "7"}) {
      SetChunkSize(size);
      const ProcessResult streamed = Scan(scratch, {"--db", db, "--sort", "-q", "--json", folder});
      EXPECT_EQ(streamed.exitCode, whole.exitCode) << seed << " " << size;
      EXPECT_EQ(streamed.out, whole.out) << seed << " " << size;
    }
    SetChunkSize("");
  }
}

#ifndef _WIN32
TEST_F(VeltorScan, FilesThatCannotBeReadAreErrorsAndDevicesInFoldersAreExcluded) {
  const std::string fifo = (scratch.path() / "files" / "fifo").string();
  Write("evil.txt", "evil-marker");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string evil = Files() + "/evil.txt";

  // Named: errors, and the scan goes on. /proc/self/mem opens, then fails
  // to read from its first byte.
  const ProcessResult named = ScanWithRules({"-j", "1", fifo, "/proc/self/mem", "/dev/null", evil});
  EXPECT_EQ(named.exitCode, 2) << named.err;
  EXPECT_EQ(named.out, evil + ": " + EvilLine + "\n");
  EXPECT_NE(named.err.find("veltor scan: " + fifo + ": not a regular file: a FIFO\n"), std::string::npos) << named.err;
  EXPECT_NE(named.err.find("veltor scan: /proc/self/mem: read error: Input/output error\n"), std::string::npos);
  EXPECT_NE(named.err.find("veltor scan: /dev/null: not a regular file: a character device\n"), std::string::npos);
  EXPECT_EQ(SummaryValue(named.err, "Errors:"), "3");

  // Found in a folder: excluded, not an error; nothing waits on the FIFO.
  const ProcessResult inFolder = ScanWithRules({"--sort", Files()});
  EXPECT_EQ(inFolder.exitCode, 1) << inFolder.err;
  EXPECT_EQ(inFolder.out, evil + ": " + EvilLine + "\n" + fifo + ": excluded (not a regular file: a FIFO)\n");

  // A file of proc that would block a read (a read of /proc/kmsg, which
  // only the superuser may open, waits for kernel messages).
  if (geteuid() == 0) {
    const ProcessResult kmsg = ScanWithRules({"/proc/kmsg"});
    EXPECT_EQ(kmsg.exitCode, 2);
  }
  // A pseudo file system met inside a folder is not entered.
  fs::create_directories(scratch.path() / "mounts");
  fs::create_symlink("/proc", scratch.path() / "mounts" / "proc");
  const ProcessResult proc = ScanWithRules({"-rL", (scratch.path() / "mounts").string()});
  EXPECT_EQ(proc.exitCode, 0) << proc.err;
  EXPECT_EQ(proc.out, (scratch.path() / "mounts" / "proc").string() + ": excluded (pseudo file system (proc))\n");

  if (geteuid() != 0) {  // permissions do not stop the superuser
    const std::string locked = Write("locked.txt", "evil-marker");
    fs::permissions(locked, fs::perms::none);
    const ProcessResult denied = ScanWithRules({locked});
    EXPECT_EQ(denied.exitCode, 2);
    EXPECT_EQ(denied.err.find("veltor scan: " + locked + ": cannot open: Permission denied\n"), 0u) << denied.err;
  }
}

TEST_F(VeltorScan, FoldersWithoutRListTheirOwnFilesAndLinksAreFollowedOnlyWhenAsked) {
  const std::string target = Write("elsewhere/evil.txt", "evil-marker");
  const fs::path folder = scratch.path() / "tree";
  fs::create_directories(folder / "sub");
  std::ofstream(folder / "sub" / "deep.txt") << "evil-marker";
  std::ofstream(folder / "top.txt") << "evil-marker";
  fs::create_symlink(target, folder / "link-to-file");
  fs::create_symlink(scratch.path() / "files" / "elsewhere", folder / "link-to-folder");
  fs::create_symlink(folder, folder / "sub" / "loop");
  fs::create_symlink(scratch.path() / "nowhere", folder / "broken");
  const std::string top = (folder / "top.txt").string();
  const std::string deep = (folder / "sub" / "deep.txt").string();

  const ProcessResult flat = ScanWithRules({folder.string()});
  EXPECT_EQ(flat.exitCode, 1) << flat.err;
  EXPECT_EQ(flat.out, top + ": " + EvilLine + "\n");

  const ProcessResult plain = ScanWithRules({"-r", "--sort", folder.string()});
  EXPECT_EQ(plain.exitCode, 1) << plain.err;
  EXPECT_EQ(plain.out, deep + ": " + EvilLine + "\n" + top + ": " + EvilLine + "\n");
  EXPECT_EQ(SummaryValue(plain.err, "Links not followed:"), "4 (-L follows them)");

  const ProcessResult followed = ScanWithRules({"-rL", "--sort", folder.string()});
  EXPECT_EQ(followed.exitCode, 1) << followed.err;
  EXPECT_EQ(followed.out, (folder / "broken").string() + ": excluded (broken symbolic link)\n" +
                              (folder / "link-to-file").string() + ": " + EvilLine + "\n" +
                              (folder / "link-to-folder" / "evil.txt").string() + ": " + EvilLine + "\n" + deep +
                              ": " + EvilLine + "\n" + (folder / "sub" / "loop").string() +
                              ": excluded (symbolic link loop: the folder is one of its own parents)\n" + top + ": " +
                              EvilLine + "\n");

  // A link named on the command line is what the user asked for.
  const ProcessResult named = ScanWithRules({(folder / "link-to-file").string()});
  EXPECT_EQ(named.exitCode, 1);
}

// -x stops at the file system of the named folder, and a loop is a folder
// met again by (device, file number), not by its file number alone: the
// roots of /dev/shm and /sys are two file systems that commonly share file
// number 1.
TEST_F(VeltorScan, OneFileSystemAndLoopsTellFileSystemsApart) {
  struct stat shm {};
  struct stat sys {};
  if (stat("/dev/shm", &shm) != 0 || stat("/sys", &sys) != 0 || shm.st_dev == sys.st_dev ||
      shm.st_ino != sys.st_ino) {
    GTEST_SKIP() << "needs /dev/shm and /sys as two file systems whose roots share a file number";
  }
  const fs::path elsewhere = "/dev/shm/veltor-test-" + std::to_string(getpid());
  fs::create_directories(elsewhere);
  const std::unique_ptr<const fs::path, void (*)(const fs::path*)> removed(&elsewhere, [](const fs::path* path) {
    std::error_code ignored;
    fs::remove_all(*path, ignored);
  });
  std::ofstream(elsewhere / "evil.txt") << "evil-marker";
  fs::create_symlink("/sys", elsewhere / "sys");
  const fs::path tree = scratch.path() / "tree";
  fs::create_directories(tree);
  fs::create_symlink(elsewhere, tree / "other");

  const ProcessResult crossing = ScanWithRules({"-rL", tree.string()});
  EXPECT_EQ(crossing.exitCode, 1) << crossing.err;
  EXPECT_NE(crossing.out.find((tree / "other" / "evil.txt").string() + ": " + EvilLine), std::string::npos);
  const ProcessResult staying = ScanWithRules({"-rLx", tree.string()});
  EXPECT_EQ(staying.exitCode, 0) << staying.err;
  EXPECT_EQ(staying.out, (tree / "other").string() + ": excluded (on another file system (-x))\n");

  const ProcessResult roots = ScanWithRules({"-rL", "/dev/shm"});
  EXPECT_NE(roots.out.find((elsewhere / "sys").string() + ": excluded (pseudo file system (sysfs))"),
            std::string::npos)
      << roots.out;
}

// Nothing destroyed, nothing blocks, nothing silently lost: one command line
// per row, run by the shell in a folder holding rules.vsr and rules.vlb,
// evil.txt, a FIFO without a writer, `link` (a symbolic link to `target`)
// and a file whose name holds U+202E. VELTOR stands for the program. Each
// row gives the exit status, a piece of standard error and of standard
// output, and a shell command that must succeed afterwards.
TEST_F(VeltorScan, CommandLinesThatMustNotDestroyBlockOrLoseAnything) {
  const fs::path work = scratch.path() / "work";
  fs::create_directories(work);
  fs::copy_file(rulesDir->path() / "rules.vsr", work / "rules.vsr");
  fs::copy_file(database, work / "rules.vlb");
  std::ofstream(work / "evil.txt") << "evil-marker";
  std::ofstream(work / "target") << "kept";
  fs::create_symlink("target", work / "link");
  ASSERT_EQ(mkfifo((work / "fifo").c_str(), 0600), 0);
  std::ofstream(work / "x\u202Etxt.exe") << "evil-marker";

  struct Row {
    const char* line;
    int status;
    const char* err;    // a piece of standard error
    const char* out;    // a piece of standard output
    const char* after;  // a shell command that succeeds afterwards
  };
  const Row rows[] = {
      // Outputs: only a regular file or a new name is replaced.
      {"VELTOR compile rules.vsr -o link", 1, "cannot write link: a symbolic link, not replaced", "",
       "test -L link && grep -qx kept target"},
      {"VELTOR compile rules.vsr -o fifo", 1, "cannot write fifo: not a regular file: a FIFO", "", "test -p fifo"},
      {"VELTOR dump rules.vlb -o link", 1, "a symbolic link, not replaced", "", "test -L link"},
      {"VELTOR unpack rules.vlb -o fifo", 1, "not a regular file: a FIFO", "", "test -p fifo"},
      {"VELTOR compile rules.vsr -o target", 0, "", "", "test ! -L target && test -s target"},
      // Inputs are opened as scan opens them: regular files only, no wait.
      {"VELTOR info fifo", 1, "cannot read fifo: not a regular file: a FIFO", "", ""},
      {"VELTOR dump fifo", 1, "cannot read fifo: not a regular file: a FIFO", "", ""},
      {"VELTOR unpack fifo -o body", 1, "not a regular file: a FIFO", "", "test ! -e body"},
      {"VELTOR pack fifo -o packed", 1, "not a regular file: a FIFO", "", "test ! -e packed"},
      {"VELTOR compile fifo -o new.vlb", 1, "not a regular file: a FIFO", "", "test ! -e new.vlb"},
      {"VELTOR compile /dev/zero -o new.vlb", 1, "not a regular file: a character device", "", "test ! -e new.vlb"},
      // Report lines that cannot be written are an error.
      {"VELTOR scan --db rules.vlb evil.txt > /dev/full", 2, "cannot write to standard output", "", ""},
      {"VELTOR scan --db rules.vlb --json evil.txt > /dev/full", 2, "cannot write to standard output", "", ""},
      // Sizes that do not fit, and a bare suffix, are wrong command lines.
      {"VELTOR scan --db rules.vlb --max-filesize 17179869184G evil.txt", 2, "--max-filesize takes", "", ""},
      {"VELTOR scan --db rules.vlb --max-filesize 17179869185G evil.txt", 2, "--max-filesize takes", "", ""},
      {"VELTOR scan --db rules.vlb --max-filesize K evil.txt", 2, "--max-filesize takes", "", ""},
      {"VELTOR scan --db rules.vlb --max-unpacked 17179869184G evil.txt", 2, "--max-unpacked takes", "", ""},
      {"VELTOR_SCAN_CHUNK_SIZE=17179869184G VELTOR scan --db rules.vlb evil.txt", 2, "VELTOR_SCAN_CHUNK_SIZE takes",
       "", ""},
      {"VELTOR scan --db rules.vlb --max-filesize 17179869183G evil.txt", 1, "", "evil.txt: Test.Evil", ""},
      // A name that would show in another order is escaped.
      {"VELTOR scan --db rules.vlb x*", 1, "", "x\\xE2\\x80\\xAEtxt.exe: Test.Evil (level 1)", ""},
      {"VELTOR scan --db rules.vlb --json x*", 1, "", "\"path\":\"x\\u202etxt.exe\"", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    std::string line = row.line;
    for (size_t at = line.find("VELTOR "); at != std::string::npos; at = line.find("VELTOR ", at)) {
      const std::string program = "timeout 60 '" + ProgramPath().string() + "' ";
      line.replace(at, 7, program);
      at += program.size();
    }
    const std::string script = "cd '" + work.string() + "' || exit 99\n" + line + "\nstatus=$?\n" +
                               (*row.after != '\0' ? std::string(row.after) + " || exit 98\n" : "") +
                               "exit $status\n";
    const ProcessResult result = RunProcess(scratch, "/bin/sh", {scratch.Write("row.sh", script).string()});
    EXPECT_EQ(result.exitCode, row.status) << result.err;
    EXPECT_NE(result.err.find(row.err), std::string::npos) << result.err;
    EXPECT_NE(result.out.find(row.out), std::string::npos) << result.out;
  }
}
#endif

TEST_F(VeltorScan, JsonLinesCarryEveryOutcomeAndASummary) {
  const std::string evil = Write("evil.txt", "evil-marker maybe-marker control-marker");
  const std::string clean = Write("clean.txt", "nothing");
  const std::string empty = Write("empty.txt", "");
  const std::string missing = (scratch.path() / "missing").string();

  const ProcessResult result = ScanWithRules({"--json", "-j", "1", evil, clean, empty, missing});
  EXPECT_EQ(result.exitCode, 2);
  const std::vector<std::string> lines = Lines(result.out);
  ASSERT_EQ(lines.size(), 7u) << result.out;
  const auto quoted = [](const std::string& path) {
    std::string json;
    for (const char c : path) json += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return "{\"path\":\"" + json + "\",";
  };
  EXPECT_EQ(lines[0], quoted(evil) + "\"rule\":\"Test.Evil\",\"level\":1}");
  EXPECT_EQ(lines[1], quoted(evil) + "\"rule\":\"Caf\xC3\xA9 \\\"quoted\\\" \\\\ rule\",\"level\":2}");
  EXPECT_EQ(lines[2], quoted(evil) + "\"rule\":\"Bell\\u0007and\\nline\",\"level\":1}");
  EXPECT_EQ(lines[3], quoted(clean) + "\"clean\":true}");
  EXPECT_EQ(lines[4], quoted(empty) + "\"clean\":true}");
  EXPECT_EQ(lines[5], quoted(missing) + "\"error\":\"no such file or folder\"}");
  EXPECT_EQ(lines[6].rfind("{\"summary\":{\"filesScanned\":3,\"reports\":3,\"filesWithReports\":1,\"skipped\":0,"
                           "\"excluded\":0,\"errors\":1,\"linksNotFollowed\":0,\"bytes\":46,\"seconds\":",
                           0),
            0u)
      << lines[6];

  // In text, control characters in a name cannot break the line.
  const ProcessResult text = ScanWithRules({evil});
  EXPECT_NE(text.out.find(evil + ": Bell\\x07and\\x0Aline (level 1)\n"), std::string::npos) << text.out;

#ifndef _WIN32
  // A file name that is not UTF-8: \xNN in text (a backslash doubled, so
  // that \xNN stays unambiguous), U+FFFD in JSON and its bytes beside it.
  const std::string odd = Write("odd\xFF\n\\xFFname", "evil-marker");
  const ProcessResult oddText = ScanWithRules({odd});
  EXPECT_EQ(oddText.out, Files() + "/odd\\xFF\\x0A\\\\xFFname: " + EvilLine + "\n");
  const ProcessResult oddJson = ScanWithRules({"--json", odd});
  std::string hex;
  for (const unsigned char c : odd) hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
  EXPECT_EQ(oddJson.out.substr(0, oddJson.out.find('}') + 1),
            "{\"path\":\"" + Files() + "/odd\xEF\xBF\xBD\\n\\\\xFFname\",\"pathBytes\":\"" + hex +
                "\",\"rule\":\"Test.Evil\",\"level\":1}");
  // A backslash alone in a valid name: doubled in text, no pathBytes in JSON.
  const std::string slash = Write("back\\slash", "evil-marker");
  EXPECT_EQ(ScanWithRules({slash}).out, Files() + "/back\\\\slash: " + EvilLine + "\n");
  EXPECT_EQ(ScanWithRules({"--json", slash}).out.find("pathBytes"), std::string::npos);
#endif
}

TEST_F(VeltorScan, InfectedOnlyAndQuiet) {
  const std::string evil = Write("evil.txt", "evil-marker");
  const std::string clean = Write("clean.txt", "nothing");
  const std::string missing = (scratch.path() / "missing").string();

  const ProcessResult infected = ScanWithRules({"-i", evil, clean});
  EXPECT_EQ(infected.exitCode, 1);
  EXPECT_EQ(infected.out, evil + ": " + EvilLine + "\n");
  EXPECT_NE(infected.err.find("scan summary"), std::string::npos);

  const ProcessResult quiet = ScanWithRules({"-q", evil, clean});
  EXPECT_EQ(quiet.exitCode, 1);
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.err, "");

  const ProcessResult quietError = ScanWithRules({"-q", evil, missing});
  EXPECT_EQ(quietError.exitCode, 2);
  EXPECT_EQ(quietError.out, "");
  EXPECT_EQ(quietError.err, "veltor scan: " + missing + ": no such file or folder\n");
}

TEST_F(VeltorScan, WorkersReportWhatOneWorkerReportsAndSortGivesItsOrder) {
  for (int i = 0; i < 60; ++i) {
    const std::string name = std::string(i % 3 == 0 ? "Upper" : "lower") + "/d" + std::to_string(i % 4) + "/f" +
                              std::to_string(i) + (i % 2 == 0 ? ".txt" : "-x.txt");
    std::string text(static_cast<size_t>(100 + 37 * i), 'a');
    if (i % 5 == 0) text += " evil-marker";
    if (i % 7 == 0) text += " maybe-marker";
    Write(name, text);
  }
  Write("empty", "");

  const ProcessResult one = ScanWithRules({"-r", "-j", "1", Files()});
  const ProcessResult oneSorted = ScanWithRules({"-r", "-j", "1", "--sort", Files()});
  const ProcessResult four = ScanWithRules({"-r", "-j", "4", "--sort", Files()});
  const ProcessResult fourUnsorted = ScanWithRules({"-r", "-j", "4", "--json", Files()});
  EXPECT_EQ(one.exitCode, 1);
  EXPECT_EQ(four.exitCode, 1);
  // A line per clean file (42), one per report (21).
  EXPECT_EQ(Lines(one.out).size(), 63u);
  EXPECT_EQ(four.out, one.out);
  EXPECT_EQ(oneSorted.out, one.out);
  EXPECT_EQ(SummaryValue(four.err, "Reports:"), "21");

  // Without --sort, the same lines in any order.
  const ProcessResult fourText = ScanWithRules({"-r", "-j", "4", Files()});
  std::vector<std::string> expected = Lines(one.out);
  std::vector<std::string> actual = Lines(fourText.out);
  std::sort(expected.begin(), expected.end());
  std::sort(actual.begin(), actual.end());
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(Lines(fourUnsorted.out).size(), Lines(one.out).size() + 1);
}

TEST_F(VeltorScan, StandardInputIsScannedAsOneBuffer) {
  Options options;
  options.input = "some evil-marker here";
  const ProcessResult found = ScanWithRules({"-"}, options);
  EXPECT_EQ(found.exitCode, 1) << found.err;
  EXPECT_EQ(found.out, std::string("(standard input): ") + EvilLine + "\n");

  // Bytes through unchanged: carriage returns and NULs included.
  options.input = std::string("\r\n\0w\0i\0d\0e\0-\0s\0e\0c\0r\0e\0t\0", 25);
  const ProcessResult binary = ScanWithRules({"-"}, options);
  EXPECT_EQ(binary.out, "(standard input): Test.Wide (level 1)\n");
  EXPECT_EQ(SummaryValue(binary.err, "Bytes scanned:").rfind("25 (", 0), 0u);

  const ProcessResult empty = ScanWithRules({"-"});
  EXPECT_EQ(empty.exitCode, 0);
  EXPECT_EQ(empty.out, "(standard input): OK\n");
}

// A copy of the program in a folder of its own, with a database named
// qzdata.vlb beside it: the scan without --db opens that one.
TEST_F(VeltorScan, WithoutDbItOpensQzdataBesideTheProgram) {
  const fs::path folder = scratch.path() / "installed";
  fs::create_directories(folder);
  const ProcessResult compile = RunVeltor(scratch, {"compile", (rulesDir->path() / "rules.vsr").string(), "-o",
                                                    (folder / "qzdata.vlb").string()});
  ASSERT_EQ(compile.exitCode, 0) << compile.err;
  const std::string evil = Write("evil.txt", "evil-marker");
  const fs::path program = ProgramPath();
  fs::copy_file(program, folder / program.filename());
  Options options;
  options.program = folder / program.filename();
  const ProcessResult found = Scan(scratch, {evil}, options);
  EXPECT_EQ(found.exitCode, 1) << found.err;
  EXPECT_EQ(found.out, evil + ": " + EvilLine + "\n");

  fs::remove(folder / "qzdata.vlb");
  const ProcessResult missing = Scan(scratch, {evil}, options);
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_NE(missing.err.find("no default database (looked for " + (folder / "qzdata.vlb").string()),
            std::string::npos)
      << missing.err;
}

#ifdef VELTOR_DEFAULT_DATABASE
// The build puts the default database beside the built library.
TEST_F(VeltorScan, TheBuildTreeHasTheDefaultDatabase) {
  const fs::path samples = fs::path(VELTOR_SOURCE_DIR) / "samples";
  const ProcessResult result = Scan(scratch, {"-r", "--sort", "-i", samples.string()});
  EXPECT_EQ(result.exitCode, 1) << result.err;
  EXPECT_NE(result.out.find((samples / "test-file.com").string() + ": Test.File.AntivirusTestString (level 1)\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(result.out.find("notes.txt"), std::string::npos);
}
#endif

}  // namespace
}  // namespace veltor::testing
