// The archive walk over archives written here, with libarchive's writer
// and, for the bomb, by hand: every format hands its members over whole and
// named by their archive path; limits stop bombs and say so; damage and
// encryption are errors, never clean.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "archive/archive_writer.h"
#include "support/temp_dir.h"
#include "archive/archive_walk.h"

namespace veltor::archive {
namespace {

constexpr std::string_view Needle = "VELTOR-ARCHIVE-TEST-STRING";

// What a walk handed over: each member's bytes by its '!'-joined path, and
// every problem as "path: reason".
struct Recorder {
  static constexpr size_t KeptBytes = size_t{1} << 20;  // per member; the rest is only counted
  std::map<std::string, std::string> members;
  std::vector<std::string> errors;
  std::vector<std::string> incomplete;
  std::vector<std::string> open;  // the members open, outermost first
  size_t largestChunk = 0;
  size_t chunks = 0;
  bool protocolBroken = false;

  // For failure messages.
  std::string Describe() const {
    std::string text = "members:";
    for (const auto& [path, kept] : members) text += " " + path + " (" + std::to_string(kept.size()) + ")";
    for (const std::string& error : errors) text += "\nerror " + error;
    for (const std::string& stop : incomplete) text += "\nincomplete " + stop;
    return text;
  }

  static std::string Join(ArchivePath path) {
    std::string joined;
    for (const std::string& name : path) joined += (joined.empty() ? "" : "!") + name;
    return joined;
  }

  ArchiveSink Sink() {
    ArchiveSink sink;
    sink.user = this;
    sink.memberBegin = [](void* user, ArchivePath path, uint32_t level) {
      auto* self = static_cast<Recorder*>(user);
      self->protocolBroken |= level != self->open.size() + 1;
      self->open.push_back(Join(path));
      self->members[self->open.back()];
      return true;
    };
    sink.memberBytes = [](void* user, uint32_t level, std::span<const uint8_t> bytes) {
      auto* self = static_cast<Recorder*>(user);
      self->protocolBroken |= level == 0 || level > self->open.size() || bytes.empty();
      if (self->protocolBroken) return false;
      self->largestChunk = std::max(self->largestChunk, bytes.size());
      ++self->chunks;
      std::string& kept = self->members[self->open[level - 1]];
      const size_t room = KeptBytes - std::min(KeptBytes, kept.size());
      kept.append(reinterpret_cast<const char*>(bytes.data()), std::min(bytes.size(), room));
      return true;
    };
    sink.memberEnd = [](void* user, ArchivePath path, uint32_t level) {
      auto* self = static_cast<Recorder*>(user);
      self->protocolBroken |= level != self->open.size() || self->open.empty() || Join(path) != self->open.back();
      if (!self->open.empty()) self->open.pop_back();
    };
    sink.problem = [](void* user, ArchivePath path, ProblemKind kind, std::string_view reason) {
      auto* self = static_cast<Recorder*>(user);
      (kind == ProblemKind::Error ? self->errors : self->incomplete).push_back(Join(path) + ": " + std::string(reason));
    };
    return sink;
  }
};

std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

WalkResult WalkBytes(const std::string& bytes, std::string_view name, Recorder& recorder, ArchiveLimits limits = {}) {
  const WalkResult result = WalkArchiveBuffer(Bytes(bytes), name, limits, recorder.Sink());
  EXPECT_FALSE(recorder.protocolBroken);
  EXPECT_TRUE(recorder.open.empty());
  return result;
}

// Incompressible bytes with the needle straddling the first chunk border,
// so that a member is handed over in several chunks.
std::string Payload() {
  std::string bytes(2 * ArchiveChunkSize + 1000, '\0');
  uint32_t state = 12345;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 24);
  }
  bytes.replace(ArchiveChunkSize - Needle.size() / 2, Needle.size(), Needle);
  return bytes;
}

// ---------------------------------------------------------------- formats

struct FormatCase {
  const char* fileName;
  Setup format;
  std::vector<Setup> filters;
  bool raw;  // one member, named after the file
  const char* readme = "docs/readme.txt";  // ar has no folders
};

void PrintTo(const FormatCase& format, std::ostream* out) { *out << format.fileName; }

class ArchiveFormats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(ArchiveFormats, HandsOverEveryMemberWholeUnderItsPath) {
  const FormatCase& format = GetParam();
  const std::string payload = Payload();
  std::vector<Member> members{{"evil.bin", payload}};
  if (!format.raw) members.insert(members.begin(), {format.readme, "plain text\n"});
  const std::string archive = Write(format.format, format.filters, members);

  Recorder recorder;
  const WalkResult result = WalkBytes(archive, std::string("dir/") + format.fileName, recorder);
  EXPECT_EQ(result.outcome, WalkOutcome::Walked);
  EXPECT_TRUE(recorder.errors.empty() && recorder.incomplete.empty()) << recorder.Describe();
  // A compressed tar: what it unpacks to is handed over too, beside its
  // members, named as the file without its compression.
  if (!format.raw && !format.filters.empty()) {
    ASSERT_TRUE(recorder.members.contains("a.tar")) << recorder.Describe();
    EXPECT_NE(recorder.members["a.tar"].find(Needle), std::string::npos);
    recorder.members.erase("a.tar");
  }
  std::map<std::string, std::string> expected;
  if (format.raw) {
    expected["payload"] = payload;
  } else {
    expected[format.readme] = "plain text\n";
    expected["evil.bin"] = payload;
  }
  EXPECT_EQ(recorder.members.size(), expected.size()) << recorder.Describe();
  for (const auto& [path, content] : expected) {
    ASSERT_TRUE(recorder.members.contains(path)) << path;
    EXPECT_TRUE(recorder.members[path] == content) << path;
  }
  EXPECT_EQ(recorder.largestChunk, ArchiveChunkSize);
}

INSTANTIATE_TEST_SUITE_P(
    Walk, ArchiveFormats,
    ::testing::Values(FormatCase{"a.zip", archive_write_set_format_zip, {}, false},
                      FormatCase{"a.tar", archive_write_set_format_pax_restricted, {}, false},
                      FormatCase{"a.tar.gz", archive_write_set_format_ustar, {archive_write_add_filter_gzip}, false},
                      FormatCase{"a.tar.xz", archive_write_set_format_ustar, {archive_write_add_filter_xz}, false},
                      FormatCase{"a.tar.zst", archive_write_set_format_ustar, {archive_write_add_filter_zstd}, false},
                      FormatCase{"a.tar.bz2", archive_write_set_format_ustar, {archive_write_add_filter_bzip2}, false},
                      FormatCase{"a.7z", archive_write_set_format_7zip, {}, false},
                      FormatCase{"a.iso", archive_write_set_format_iso9660, {}, false},
                      FormatCase{"a.cpio", archive_write_set_format_cpio_newc, {}, false},
                      FormatCase{"a.a", archive_write_set_format_ar_svr4, {}, false, "readme.txt"},
                      FormatCase{"payload.gz", archive_write_set_format_raw, {archive_write_add_filter_gzip}, true},
                      FormatCase{"payload.xz", archive_write_set_format_raw, {archive_write_add_filter_xz}, true},
                      FormatCase{"payload.bz2", archive_write_set_format_raw, {archive_write_add_filter_bzip2}, true},
                      FormatCase{"payload.zst", archive_write_set_format_raw, {archive_write_add_filter_zstd}, true}),
    [](const ::testing::TestParamInfo<FormatCase>& param) {
      std::string name = param.param.fileName;
      std::replace(name.begin(), name.end(), '.', '_');
      return name;
    });

TEST(ArchiveWalk, OpensArchivesInsideArchivesFromADescriptor) {
  const std::string deep = Write(archive_write_set_format_7zip, {}, {{"evil.bin", Payload()}});
  const std::string middle =
      Write(archive_write_set_format_ustar, {archive_write_add_filter_gzip}, {{"deep.7z", deep}, {"note.txt", "x"}});
  const std::string outer = Write(archive_write_set_format_zip, {}, {{"docs/inner.tar.gz", middle}});
  testing::TempDir dir;
  const int descriptor = ::open(dir.Write("outer.zip", outer).c_str(), O_RDONLY);
  ASSERT_GE(descriptor, 0);

  Recorder recorder;
  const WalkResult result = WalkArchiveDescriptor(descriptor, "outer.zip", {}, recorder.Sink());
  ::close(descriptor);
  EXPECT_EQ(result.outcome, WalkOutcome::Walked);
  EXPECT_TRUE(recorder.errors.empty() && recorder.incomplete.empty()) << recorder.Describe();
  // Archives are handed over as bytes and opened; the tar.gz's members are
  // named under it, beside the tar it unpacks to.
  std::vector<std::string> paths;
  for (const auto& entry : recorder.members) paths.push_back(entry.first);
  EXPECT_EQ(paths, (std::vector<std::string>{"docs/inner.tar.gz", "docs/inner.tar.gz!deep.7z",
                                             "docs/inner.tar.gz!deep.7z!evil.bin", "docs/inner.tar.gz!inner.tar",
                                             "docs/inner.tar.gz!note.txt"}));
  EXPECT_TRUE(recorder.members["docs/inner.tar.gz!deep.7z!evil.bin"] == Payload());
  EXPECT_TRUE(recorder.members["docs/inner.tar.gz"] == middle);
  EXPECT_TRUE(recorder.members["docs/inner.tar.gz!deep.7z"] == deep);
  EXPECT_EQ(result.members, 5u);
}

TEST(ArchiveWalk, LeavesWhatIsNotAnArchiveAlone) {
  for (const std::string& bytes : {std::string(), std::string("just some text\n"), Payload()}) {
    Recorder recorder;
    const WalkResult result = WalkBytes(bytes, "file.txt", recorder);
    EXPECT_EQ(result.outcome, WalkOutcome::NotArchive);
    EXPECT_TRUE(recorder.members.empty() && recorder.errors.empty());
  }
}

// The walk's rule as a property: over random files (random members, some
// with the needle behind zeros, in random containers and compressions
// nested up to three deep, with trailing data), every needle is handed
// over at the archive path that holds it, unless a limit stopped the walk.
// A fixed set of seeds, and a few new ones each run (printed on failure).
TEST(ArchiveWalk, EveryPlantedNeedleIsHandedOverWhereItLies) {
  std::vector<uint32_t> seeds;
  for (uint32_t seed = 1; seed <= 60; ++seed) seeds.push_back(seed);
  std::random_device device;
  for (int i = 0; i < 4; ++i) seeds.push_back(device());
  size_t checked = 0;
  for (const uint32_t seed : seeds) {
    std::mt19937 random(seed);
    std::string name = "f";
    const generator::GeneratedFile file = generator::Generate(random, Needle, name);
    Recorder recorder;
    const WalkResult result = WalkBytes(file.bytes, name, recorder);
    std::string trace = "seed " + std::to_string(seed);
    trace.append(", ").append(name).append("\n").append(recorder.Describe());
    SCOPED_TRACE(trace);
    if (result.incomplete) continue;
    for (const std::string& path : file.needlePaths) {
      if (path.empty()) continue;  // the file itself: the caller's to scan
      ASSERT_TRUE(recorder.members.contains(path)) << path;
      EXPECT_NE(recorder.members[path].find(Needle), std::string::npos) << path;
      ++checked;
    }
  }
  EXPECT_GT(checked, seeds.size());
}

// ---------------------------------------------------------------- damage

TEST(ArchiveWalk, DamageIsAnErrorAfterWhatCouldBeRead) {
  const std::vector<Member> members{
      {"first.txt", std::string(Needle)}, {"second.bin", Payload()}, {"third.bin", Payload()}};
  struct Damage {
    const char* name;
    std::string bytes;
  };
  std::vector<Damage> damages;
  // A tar.gz cut inside its second member.
  std::string cut = Write(archive_write_set_format_ustar, {archive_write_add_filter_gzip}, members);
  cut.resize(cut.size() * 3 / 4);
  damages.push_back({"cut.tar.gz", cut});
  // A zip whose second member's data is overwritten: its check fails.
  std::string zip = Write(archive_write_set_format_zip, {}, members, "zip:compression=store");
  const size_t inside = zip.rfind(Payload().substr(1000, 64));
  ASSERT_NE(inside, std::string::npos);
  zip[inside + 5000] = static_cast<char>(zip[inside + 5000] ^ 0x55);
  damages.push_back({"flipped.zip", zip});

  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.name);
    Recorder recorder;
    const WalkResult result = WalkBytes(damage.bytes, damage.name, recorder);
    EXPECT_EQ(result.outcome, WalkOutcome::Walked);
    EXPECT_TRUE(result.errors);
    ASSERT_FALSE(recorder.errors.empty()) << recorder.Describe();
    EXPECT_EQ(recorder.errors.front().rfind("third.bin: ", 0), 0u) << recorder.errors.front();
    EXPECT_EQ(recorder.members["first.txt"], Needle);
    EXPECT_TRUE(recorder.members["second.bin"] == Payload());
  }
}

// A gzip member's trailer holds the CRC-32 and the length of what it
// unpacks to; one that does not match is damage even when the deflate data
// decodes, at the top and inside a container alike. Concatenated members
// and trailing data that starts no member are not.
TEST(ArchiveWalk, AGzipTrailerThatDoesNotMatchIsAnError) {
  const auto gzip = [](const std::string& content) {
    return Write(archive_write_set_format_raw, {archive_write_add_filter_gzip}, {{"data", content}});
  };
  const std::string first = gzip(Payload());
  const auto flipped = [](std::string bytes, size_t fromEnd) {
    bytes[bytes.size() - fromEnd] = static_cast<char>(bytes[bytes.size() - fromEnd] ^ 0x01);
    return bytes;
  };
  struct Case {
    const char* name;
    std::string bytes;
    const char* error;  // null: intact
  };
  const std::vector<Case> cases{
      {"crc.gz", flipped(first, 8), "CRC-32"},
      {"length.gz", flipped(first, 1), "length"},
      {"first-of-two.gz", flipped(first, 5) + gzip("more"), "CRC-32"},
      {"second-of-two.gz", first + flipped(gzip("more"), 3), "length"},
      {"inside.tar", Write(archive_write_set_format_ustar, {}, {{"in.gz", flipped(first, 8)}}), "CRC-32"},
      // libarchive undoes both in one reader: the inner trailer is checked too.
      {"twice.gz", Write(archive_write_set_format_raw, {archive_write_add_filter_gzip},
                         {{"data", flipped(first, 8)}}), "CRC-32"},
      {"twice-intact.gz", Write(archive_write_set_format_raw, {archive_write_add_filter_gzip}, {{"data", first}}),
       nullptr},
      {"two.gz", first + gzip("more"), nullptr},
      {"trailing.gz", first + "not a member", nullptr},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    Recorder recorder;
    const WalkResult result = WalkBytes(test.bytes, test.name, recorder);
    EXPECT_EQ(result.outcome, WalkOutcome::Walked);
    EXPECT_EQ(result.errors, test.error != nullptr) << recorder.Describe();
    if (test.error != nullptr) {
      ASSERT_EQ(recorder.errors.size(), 1u) << recorder.Describe();
      EXPECT_NE(recorder.errors.front().find(test.error), std::string::npos) << recorder.errors.front();
    }
    // What was unpacked was handed over all the same.
    std::string unpacked = test.name;
    unpacked = unpacked.ends_with(".tar") ? "in.gz!in" : unpacked.substr(0, unpacked.size() - 3);
    EXPECT_TRUE(recorder.members[unpacked].starts_with(Payload().substr(0, 4096))) << recorder.Describe();
  }
}

TEST(ArchiveWalk, AnEncryptedMemberIsAnError) {
  const std::string zip = Write(archive_write_set_format_zip, {},
                                {{"secret.bin", std::string(Needle)}, {"open.txt", "visible"}},
                                "zip:encryption=zipcrypt", "pw");
  Recorder recorder;
  const WalkResult result = WalkBytes(zip, "locked.zip", recorder);
  EXPECT_TRUE(result.errors);
  ASSERT_EQ(recorder.errors.size(), 2u) << "every member is encrypted\n" << recorder.Describe();
  EXPECT_NE(recorder.errors.front().find("encrypted"), std::string::npos) << recorder.errors.front();
  EXPECT_FALSE(recorder.members.contains("secret.bin"));
}

// ---------------------------------------------------------------- limits

// A zip whose one member inflates to `mebibytes` MiB of zeros, written by
// hand: 1 MiB of zeros deflated once, the segment repeated.
std::string ZipBomb(uint32_t mebibytes) {
  const std::string zeros(size_t{1} << 20, '\0');
  z_stream stream{};
  deflateInit2(&stream, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  std::string segment(8192, '\0'), tail(64, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
  stream.avail_in = static_cast<uInt>(zeros.size());
  stream.next_out = reinterpret_cast<Bytef*>(segment.data());
  stream.avail_out = static_cast<uInt>(segment.size());
  EXPECT_EQ(deflate(&stream, Z_FULL_FLUSH), Z_OK);  // byte-aligned, no reference back
  segment.resize(segment.size() - stream.avail_out);
  stream.next_out = reinterpret_cast<Bytef*>(tail.data());
  stream.avail_out = static_cast<uInt>(tail.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  tail.resize(tail.size() - stream.avail_out);
  deflateEnd(&stream);

  const uLong segmentCrc = crc32(0, reinterpret_cast<const Bytef*>(zeros.data()), static_cast<uInt>(zeros.size()));
  uLong crc = 0;
  std::string data;
  for (uint32_t i = 0; i < mebibytes; ++i) {
    crc = crc32_combine(crc, segmentCrc, static_cast<z_off_t>(zeros.size()));
    data += segment;
  }
  data += tail;
  const uint32_t unpacked = mebibytes << 20;
  std::string zip;
  auto put = [&zip](uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) zip += static_cast<char>((value >> (8 * i)) & 0xff);
  };
  const std::string name = "zeros.bin";
  auto common = [&] {
    put(20, 2), put(0, 2), put(8, 2), put(0, 2), put(0x21, 2), put(crc, 4), put(data.size(), 4), put(unpacked, 4);
    put(name.size(), 2), put(0, 2);
  };
  put(0x04034b50, 4), common(), zip += name, zip += data;
  const size_t directory = zip.size();
  put(0x02014b50, 4), put(20, 2), common(), put(0, 2), put(0, 2), put(0, 2), put(0, 4), put(0, 4), zip += name;
  const size_t directorySize = zip.size() - directory;
  put(0x06054b50, 4), put(0, 4), put(1, 2), put(1, 2), put(directorySize, 4), put(directory, 4), put(0, 2);
  return zip;
}

std::string ManyEmptyMembers(uint32_t count, Setup format = archive_write_set_format_ustar,
                             std::vector<Setup> filters = {archive_write_add_filter_zstd}) {
  std::vector<Member> members(count);
  char name[16];
  for (uint32_t i = 0; i < count; ++i) {
    std::snprintf(name, sizeof name, "e%07u", i);
    members[i].name = name;
  }
  return Write(format, filters, members);
}

std::string Nested(int depth) {
  std::string inner = Write(archive_write_set_format_zip, {}, {{"evil.bin", std::string(Needle)}});
  for (int level = 1; level < depth; ++level) inner = Write(archive_write_set_format_zip, {}, {{"in.zip", inner}});
  return inner;
}

// The ratio divides by the file's bytes read, each counted once, though
// the zip and 7-Zip readers read the index at the end and seek back: a
// file that unpacks to a little over R times its size stops at a limit of
// R and passes at R + 1.
TEST(ArchiveWalk, TheRatioCountsEachByteOfTheFileOnce) {
  const std::string zeros(size_t{16} << 20, '\0');
  const std::pair<const char*, std::string> files[] = {
      {"zeros.zip", Write(archive_write_set_format_zip, {}, {{"zeros", zeros}})},
      {"zeros.7z", Write(archive_write_set_format_7zip, {}, {{"zeros", zeros}})}};
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    const uint64_t ratio = zeros.size() / bytes.size();
    ASSERT_NE(zeros.size() % bytes.size(), 0u);
    Recorder stopped, passed;
    EXPECT_TRUE(WalkBytes(bytes, name, stopped, {.maxRatio = ratio}).incomplete);
    EXPECT_EQ(stopped.incomplete,
              std::vector<std::string>{"zeros: unpacked to packed ratio limit (" + std::to_string(ratio) + ")"});
    const WalkResult whole = WalkBytes(bytes, name, passed, {.maxRatio = ratio + 1});
    EXPECT_FALSE(whole.incomplete) << passed.Describe();
    EXPECT_EQ(whole.unpackedBytes, zeros.size());
  }
}

// ------------------------------------------------------- bytes in memory

// The same bytes through read and seek calls of the caller's own: the walk
// takes the general road there.
WalkResult WalkThroughCalls(const std::string& bytes, std::string_view name, Recorder& recorder) {
  struct Cursor {
    const std::string& bytes;
    size_t offset = 0;
  } cursor{bytes};
  ArchiveInput input;
  input.user = &cursor;
  input.read = [](void* user, uint8_t* buffer, size_t capacity, std::string&) -> int64_t {
    auto* at = static_cast<Cursor*>(user);
    const size_t count = std::min(capacity, at->bytes.size() - at->offset);
    std::memcpy(buffer, at->bytes.data() + at->offset, count);
    at->offset += count;
    return static_cast<int64_t>(count);
  };
  input.seek = [](void* user, int64_t offset, int whence) -> int64_t {
    auto* at = static_cast<Cursor*>(user);
    const int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? static_cast<int64_t>(at->offset)
                                                                      : static_cast<int64_t>(at->bytes.size());
    if (base + offset < 0 || base + offset > static_cast<int64_t>(at->bytes.size())) return -1;
    at->offset = static_cast<size_t>(base + offset);
    return base + offset;
  };
  input.size = static_cast<int64_t>(bytes.size());
  return WalkArchive(input, name, {}, recorder.Sink());
}

// Bytes in memory take a shorter road (bytes that no compression starts
// with skip the reader of compressions; chunks are handed to libarchive
// where they lie): the walk must come out exactly as through any input,
// over every kind of file these tests make, damaged ones, and the first
// bytes of each compression (and near misses) before random bytes.
TEST(ArchiveWalk, BytesInMemoryWalkAsThroughAnyInput) {
  std::vector<std::pair<std::string, std::string>> files;
  const std::string payload = Payload();
  const std::vector<Member> members{{"docs/readme.txt", "plain text\n"}, {"evil.bin", payload}};
  const std::pair<const char*, archive::Setup> formats[] = {
      {"a.zip", archive_write_set_format_zip},     {"a.tar", archive_write_set_format_pax_restricted},
      {"a.7z", archive_write_set_format_7zip},     {"a.iso", archive_write_set_format_iso9660},
      {"a.cpio", archive_write_set_format_cpio_newc}, {"a.a", archive_write_set_format_ar_svr4},
      {"a.xar", archive_write_set_format_xar}};
  for (const auto& [name, format] : formats) {
    files.emplace_back(name, Write(format, {}, format == archive_write_set_format_ar_svr4
                                                   ? std::vector<Member>{{"readme.txt", "x"}, {"evil.bin", payload}}
                                                   : members));
  }
  const std::pair<const char*, archive::Setup> compressions[] = {
      {"p.gz", archive_write_add_filter_gzip},   {"p.xz", archive_write_add_filter_xz},
      {"p.bz2", archive_write_add_filter_bzip2}, {"p.zst", archive_write_add_filter_zstd},
      {"p.lzma", archive_write_add_filter_lzma}, {"p.lz", archive_write_add_filter_lzip},
      {"p.lz4", archive_write_add_filter_lz4},   {"p.Z", archive_write_add_filter_compress}};
  for (const auto& [name, filter] : compressions) {
    files.emplace_back(name, Write(archive_write_set_format_raw, {filter}, {{"payload", payload}}));
    files.emplace_back(std::string(name) + ".tar", Write(archive_write_set_format_ustar, {filter}, members));
  }
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    std::mt19937 random(seed);
    std::string name = "f";
    std::string bytes = generator::Generate(random, Needle, name).bytes;
    files.emplace_back(name, std::move(bytes));
  }
  // Damage: each file cut short, and with its first bytes only.
  for (size_t i = 0, count = files.size(); i < count; ++i) {
    const auto [name, bytes] = files[i];
    files.emplace_back(name + ".half", bytes.substr(0, bytes.size() / 2));
    files.emplace_back(name + ".start", bytes.substr(0, 16));
  }
  // Each compression's magic, and near misses, before random bytes; lzma's
  // header with every dictionary size it takes and sizes beside them.
  std::mt19937 random(7);
  const auto noise = [&random](size_t size) {
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    return bytes;
  };
  const std::string magics[] = {"\x1f\x8b\x08", "\x1f\x9d\x90", "BZh9", "\xfd" "7zXZ", "LZIP\x01\x0c",
                                "\x28\xb5\x2f\xfd", "\x50\x2a\x4d\x18", "\x04\x22\x4d\x18\x64\x40",
                                "\x02\x21\x4c\x18", "\x1e", "BZ", "LZI"};
  for (const std::string& magic : magics) {
    for (const size_t size : {size_t{0}, size_t{8}, size_t{4096}}) files.emplace_back("m", magic + noise(size));
  }
  for (uint32_t shift = 10; shift <= 28; ++shift) {
    for (const uint32_t dictionary : {uint32_t{1} << shift, (uint32_t{1} << shift) + 1, (shift + 1) << 20}) {
      std::string header = "\x5d" + std::string(12, '\xff');
      for (int i = 0; i < 4; ++i) header[1 + i] = static_cast<char>(dictionary >> (8 * i));
      files.emplace_back("lzma", header + noise(4096));
    }
  }
  for (size_t size = 0; size <= 20; ++size) {
    for (int i = 0; i < 20; ++i) files.emplace_back("r", noise(size));
  }
  // Each container's marks before random bytes, programs with an archive
  // after them, a zip's end record at the end, text, a tar block whose
  // checksum adds up but holds a letter, a block of zeros.
  const std::string zip = Write(archive_write_set_format_zip, {}, members);
  const std::string sevenZip = Write(archive_write_set_format_7zip, {}, members);
  const std::string containerMarks[] = {
      "MZ", "\x7f" "ELF", "PK\x03\x04", "PK\x05\x06", "7z\xbc\xaf\x27\x1c", "Rar!\x1a\x07\x00",
      "Rar!\x1a\x07\x01\x00", std::string("MSCF\0\0\0\0", 8), "xar!\x00\x1c", "!<arch>\n", "070707", "070701",
      "\x71\xc7", "\xc7\x71", std::string("\x20\x00-lh5-", 7), std::string("\x20\x00-lz4-", 7)};
  for (const std::string& mark : containerMarks) {
    for (const size_t size : {size_t{0}, size_t{64}, size_t{4096}}) files.emplace_back("c", mark + noise(size));
  }
  // LHa's level-2 header and xar's header, each far enough to be taken.
  const std::string lha = std::string("\x1a\x00-lh5-", 7) + std::string(12, '\x01') + std::string("\x20\x02", 2);
  const std::string xar = std::string("xar!\x00\x1c\x00\x01", 8) + std::string(15, '\0') + "\x10" +
                          std::string(7, '\0') + "\x20" + std::string("\x00\x00\x00\x01", 4);
  for (const std::string& header : {lha, xar}) files.emplace_back("h", header + noise(4096));
  files.emplace_back("sfx.exe", "MZ" + noise(1000) + std::string("MSCF\0\0\0\0", 8) + noise(3000));
  files.emplace_back("sfx.exe", "MZ" + noise(1000) + lha + noise(3000));
  // An ISO 9660 image whose first 32 KiB (unused by it) are not zeros.
  for (const auto& [name, bytes] : files) {
    if (name != "a.iso") continue;
    std::string iso = bytes;
    iso.replace(0, 4096, noise(4096));
    files.emplace_back("noisy.iso", std::move(iso));
    break;
  }
  // Small archives of each format (no rule on size stands for them).
  for (const auto& [name, format] : formats) {
    files.emplace_back(std::string("small-") + name, Write(format, {}, {{"a.txt", "x"}}));
  }
  files.emplace_back("sfx.exe", "MZ" + noise(3000) + zip);
  files.emplace_back("sfx", "\x7f" "ELF" + noise(3000) + sevenZip);
  files.emplace_back("end", noise(4000) + "PK\x05\x06" + std::string(18, '\0'));
  files.emplace_back("page.html", "<!-- a page -->\n<html><body>" + std::string(4000, 'x') + "</body></html>\n");
  files.emplace_back("notes.txt", std::string(4096, 'a'));
  files.emplace_back("zeros", std::string(4096, '\0'));
  std::string block(512, '\0');
  block.replace(148, 8, "0000400x");  // 256, the sum of the block with its field taken as spaces
  files.emplace_back("block", block + noise(4096));
  for (int i = 0; i < 50; ++i) files.emplace_back("body", noise(4096));

  size_t archives = 0;
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name + " (" + std::to_string(bytes.size()) + " bytes)");
    Recorder inMemory, throughCalls;
    const WalkResult memory = WalkBytes(bytes, name, inMemory);
    const WalkResult calls = WalkThroughCalls(bytes, name, throughCalls);
    EXPECT_EQ(memory.outcome, calls.outcome);
    EXPECT_EQ(memory.members, calls.members);
    EXPECT_EQ(memory.unpackedBytes, calls.unpackedBytes);
    EXPECT_TRUE(inMemory.members == throughCalls.members) << inMemory.Describe() << "\n--\n" << throughCalls.Describe();
    EXPECT_EQ(inMemory.errors, throughCalls.errors);
    EXPECT_EQ(inMemory.incomplete, throughCalls.incomplete);
    EXPECT_EQ(inMemory.chunks, throughCalls.chunks);
    archives += memory.outcome != WalkOutcome::NotArchive;
  }
  EXPECT_GT(archives, files.size() / 4);  // the corpus is not all plain bytes
}

struct LimitCase {
  const char* name;
  std::string (*make)();
  ArchiveLimits limits;
  const char* expected;  // the Incomplete problem, after the member path
};

void PrintTo(const LimitCase& limit, std::ostream* out) { *out << limit.name; }

class ArchiveLimitsStop : public ::testing::TestWithParam<LimitCase> {};

TEST_P(ArchiveLimitsStop, AtTheLimitAndSaysSo) {
  const LimitCase& limit = GetParam();
  const std::string bytes = limit.make();
  Recorder recorder;
  const WalkResult result = WalkBytes(bytes, limit.name, recorder, limit.limits);
  EXPECT_EQ(result.outcome, WalkOutcome::Walked);
  EXPECT_TRUE(result.incomplete);
  ASSERT_EQ(recorder.incomplete.size(), 1u) << recorder.Describe();
  EXPECT_EQ(recorder.incomplete.front(), limit.expected);
  EXPECT_TRUE(recorder.errors.empty()) << recorder.Describe();
  EXPECT_LE(result.unpackedBytes, std::max<uint64_t>(limit.limits.maxUnpacked, 64u << 20));
}

INSTANTIATE_TEST_SUITE_P(
    Walk, ArchiveLimitsStop,
    ::testing::Values(
        LimitCase{"bomb_ratio", [] { return ZipBomb(4000); }, {}, "zeros.bin: unpacked to packed ratio limit (200)"},
        LimitCase{"bomb_unpacked", [] { return ZipBomb(4000); }, {.maxUnpacked = 64 << 20, .maxRatio = 0},
                  "zeros.bin: unpacked bytes limit (67108864)"},
        LimitCase{"ratio", [] { return Write(archive_write_set_format_ustar, {archive_write_add_filter_gzip},
                                             {{"a.txt", "small"}, {"zeros", std::string(size_t{16} << 20, '\0')}}); },
                  {}, "zeros: unpacked to packed ratio limit (200)"},
        LimitCase{"members", [] { return ManyEmptyMembers(1'000'000); }, {.maxRatio = 0},
                  "e0099999: member limit (100000)"},
        // A zip's directory declares more entries than the limit: read as a
        // stream, not slurped whole.
        LimitCase{"members_zip", [] { return ManyEmptyMembers(3000, archive_write_set_format_zip, {}); },
                  {.maxMembers = 1000}, "e0001000: member limit (1000)"},
        LimitCase{"depth", [] { return Nested(10); }, {},
                  "in.zip!in.zip!in.zip!in.zip!in.zip!in.zip!in.zip!in.zip: archive depth limit (8)"}),
    [](const ::testing::TestParamInfo<LimitCase>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace veltor::archive
