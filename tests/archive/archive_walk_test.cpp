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
  std::string current;
  size_t largestChunk = 0;
  size_t chunks = 0;
  bool inMember = false;
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
    sink.memberBegin = [](void* user, ArchivePath path) {
      auto* self = static_cast<Recorder*>(user);
      self->protocolBroken |= self->inMember;
      self->inMember = true;
      self->current = Join(path);
      self->members[self->current];
      return true;
    };
    sink.memberBytes = [](void* user, std::span<const uint8_t> bytes) {
      auto* self = static_cast<Recorder*>(user);
      self->protocolBroken |= !self->inMember || bytes.empty();
      self->largestChunk = std::max(self->largestChunk, bytes.size());
      ++self->chunks;
      std::string& kept = self->members[self->current];
      const size_t room = KeptBytes - std::min(KeptBytes, kept.size());
      kept.append(reinterpret_cast<const char*>(bytes.data()), std::min(bytes.size(), room));
      return true;
    };
    sink.memberEnd = [](void* user, ArchivePath path) {
      auto* self = static_cast<Recorder*>(user);
      self->protocolBroken |= !self->inMember || Join(path) != self->current;
      self->inMember = false;
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
  EXPECT_FALSE(recorder.inMember);
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
  // Archives are opened, not handed over; only the leaves are.
  std::vector<std::string> paths;
  for (const auto& entry : recorder.members) paths.push_back(entry.first);
  EXPECT_EQ(paths, (std::vector<std::string>{"docs/inner.tar.gz!deep.7z!evil.bin", "docs/inner.tar.gz!note.txt"}));
  EXPECT_TRUE(recorder.members["docs/inner.tar.gz!deep.7z!evil.bin"] == Payload());
  EXPECT_EQ(result.members, 4u);
}

TEST(ArchiveWalk, LeavesWhatIsNotAnArchiveAlone) {
  for (const std::string& bytes : {std::string(), std::string("just some text\n"), Payload()}) {
    Recorder recorder;
    const WalkResult result = WalkBytes(bytes, "file.txt", recorder);
    EXPECT_EQ(result.outcome, WalkOutcome::NotArchive);
    EXPECT_TRUE(recorder.members.empty() && recorder.errors.empty());
  }
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
                  "e0100000: member limit (100000)"},
        // A zip's directory declares more entries than the limit: read as a
        // stream, not slurped whole.
        LimitCase{"members_zip", [] { return ManyEmptyMembers(3000, archive_write_set_format_zip, {}); },
                  {.maxMembers = 1000}, "e0001000: member limit (1000)"},
        LimitCase{"depth", [] { return Nested(10); }, {},
                  "in.zip!in.zip!in.zip!in.zip!in.zip!in.zip!in.zip!in.zip: archive depth limit (8)"}),
    [](const ::testing::TestParamInfo<LimitCase>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace veltor::archive
