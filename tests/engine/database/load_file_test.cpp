// Loading database files from disk: the envelope checks, decryption, and
// files the loader must refuse without reading them.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "engine/database/database_file.h"
#include "engine/database/database_memory.h"
#include "engine/database/rc4.h"
#include "compiler/dbwriter/database_envelope.h"
#include "support/records.h"
#include "support/temp_dir.h"

namespace veltor::testing {
namespace {

SignatureLibraryPtr Load(const std::filesystem::path& path) { return LoadDatabaseFile(path.string().c_str()); }

std::vector<uint8_t> SampleFile() { return SealDatabase(SampleBody()); }

// Offset of the first byte of the signature table in the sealed sample.
constexpr std::size_t FirstTableByte = EnvelopeHeaderSize + BodyHeaderSize;

struct FileCase {
  std::string name;
  std::function<std::vector<uint8_t>()> make;
  bool loads;
};

// Shown by name in test output, not as raw bytes.
void PrintTo(const FileCase& c, std::ostream* out) { *out << c.name; }

std::string CaseName(const ::testing::TestParamInfo<FileCase>& info) { return info.param.name; }

class FileChecks : public ::testing::TestWithParam<FileCase> {};

TEST_P(FileChecks, LoadsOrIsRejected) {
  TempDir dir;
  const std::vector<uint8_t> bytes = GetParam().make();
  const auto path = dir.Write("db.vlb", bytes);
  const SignatureLibraryPtr library = Load(path);
  EXPECT_EQ(library != nullptr, GetParam().loads);
  // The same bytes already in memory load or fail alike.
  const SignatureLibraryPtr fromMemory = LoadDatabaseImage(bytes);
  ASSERT_EQ(fromMemory != nullptr, GetParam().loads);
  if (library) {
    EXPECT_EQ(fromMemory->header.signatureCount, library->header.signatureCount);
    EXPECT_EQ(fromMemory->header.ruleCount, library->header.ruleCount);
  }
}

std::vector<uint8_t> MagicThen(std::size_t size) {
  std::vector<uint8_t> file(size, 0);
  std::copy(EnvelopeMagic.begin(), EnvelopeMagic.end(), file.begin());
  return file;
}

std::vector<uint8_t> Changed(std::vector<uint8_t> file, std::size_t at) {
  file[at] ^= 0x20;
  return file;
}

std::vector<uint8_t> WithFiller(uint8_t value) {
  const std::vector<uint8_t> filler(EnvelopeFillerSize, value);
  return SealDatabase(SampleBody(), filler);
}

INSTANTIATE_TEST_SUITE_P(
    Envelope, FileChecks,
    ::testing::Values(
        FileCase{"Empty", [] { return std::vector<uint8_t>(); }, false},
        FileCase{"MagicOnly", [] { return MagicThen(16); }, false},
        FileCase{"Exactly256Bytes", [] { return MagicThen(256); }, false},
        FileCase{"Body1Byte", [] { return MagicThen(257); }, false},
        FileCase{"Smallest384Bytes", [] { return SealDatabase(WriteDatabaseBody({}, {})); }, true},
        FileCase{"Sample", [] { return SampleFile(); }, true},
        FileCase{"FillerAllOnes", [] { return WithFiller(0xFF); }, true},
        FileCase{"FillerLooksLikeMagic", [] { return WithFiller(0x1A); }, true},
        FileCase{"MagicLowerCase",
                 [] {
                   auto file = SampleFile();
                   for (std::size_t n = 4; n < 14; ++n) file[n] = static_cast<uint8_t>(std::tolower(file[n]));
                   return file;
                 },
                 false},
        FileCase{"MagicEndsIn1A1B",
                 [] {
                   auto file = SampleFile();
                   file[15] = 0x1B;
                   return file;
                 },
                 false},
        FileCase{"CiphertextChangedInHeader", [] { return Changed(SampleFile(), EnvelopeHeaderSize + 20); }, false},
        FileCase{"CiphertextChangedInTable", [] { return Changed(SampleFile(), FirstTableByte + 30); }, false},
        FileCase{"CiphertextChangedAfterTotalSize",
                 [] {
                   BodyOptions options;
                   options.bytesAfterTotalSize = 3;
                   auto file = SealDatabase(SampleBody(options));
                   return Changed(file, file.size() - 1);
                 },
                 true},
        FileCase{"OtherKey",
                 [] {
                   auto file = SampleFile();
                   const auto body = SampleBody();
                   Rc4State cipher;
                   const std::vector<uint8_t> key(276, 0x42);
                   Rc4Init(cipher, key);
                   Rc4Crypt(cipher, body.data(), file.data() + EnvelopeHeaderSize, static_cast<int32_t>(body.size()));
                   return file;
                 },
                 false},
        FileCase{"PlaintextBody",
                 [] {
                   auto file = SampleFile();
                   const auto body = SampleBody();
                   std::copy(body.begin(), body.end(), file.begin() + EnvelopeHeaderSize);
                   return file;
                 },
                 false}),
    CaseName);

TEST(LoadDatabaseFile, EveryMagicByteCounts) {
  TempDir dir;
  for (std::size_t at = 0; at < EnvelopeMagic.size(); ++at) {
    const auto path = dir.Write("db.vlb", Changed(SampleFile(), at));
    EXPECT_EQ(Load(path), nullptr) << "byte " << at;
  }
}

TEST(LoadDatabaseFile, NullMissingAndUnreadablePaths) {
  TempDir dir;
  EXPECT_EQ(LoadDatabaseFile(nullptr), nullptr);
  EXPECT_EQ(Load(dir.path() / "missing.vlb"), nullptr);
  EXPECT_EQ(Load(dir.path()), nullptr);  // a folder
}

// A valid database stretched (sparsely) to a size whose low 32 bits are its
// real size: read as a 32-bit size it would load; as a 64-bit one it is far
// beyond the 2 GiB limit. Exactly 2 GiB is refused as well.
TEST(LoadDatabaseFile, FilesOf2GiBOrMoreAreRefusedWhole) {
  TempDir dir;
  const std::vector<uint8_t> file = SampleFile();
  for (const uint64_t size : {uint64_t{1} << 31, (uint64_t{1} << 32) + file.size()}) {
    const auto path = dir.Write("big.vlb", file);
    std::error_code error;
    std::filesystem::resize_file(path, size, error);
    if (error) GTEST_SKIP() << "cannot make a sparse file here: " << error.message();
    EXPECT_EQ(Load(path), nullptr) << "size " << size;
  }
}

}  // namespace
}  // namespace veltor::testing
