#pragma once
// Archives written in memory by libarchive: the tests that walk and scan
// archives, and the archive fuzz target's seeds. Write takes the members
// given; Generate makes random files for the walk's property test: members
// of random bytes, some with a planted needle behind a run of zeros, in
// random containers (zip, tar, 7z, cpio) and compressions (gzip, xz,
// bzip2, zstd), nested up to three containers deep, with random trailing
// data. Each generated file comes with the archive paths where the walk
// must hand a needle over, named as the walk names them. libarchive only
// (no test framework), so that the seed writer can use it too.
#include <archive.h>
#include <archive_entry.h>

#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace veltor::archive {

struct Member {
  std::string name;
  std::string content;
};

using Setup = int (*)(struct archive*);

// An archive in memory, written by libarchive: format, then filters, then
// write options (empty when none). Throws std::runtime_error with
// libarchive's reason when a step fails.
inline std::string Write(Setup format, const std::vector<Setup>& filters, const std::vector<Member>& members,
                         const char* options = "", const char* passphrase = nullptr) {
  std::string out;
  struct archive* writer = archive_write_new();
  const auto check = [writer](int status) {
    if (status == ARCHIVE_OK) return;
    const char* reason = archive_error_string(writer);
    const std::string text = reason != nullptr ? reason : "libarchive failed";
    archive_write_free(writer);
    throw std::runtime_error("writing an archive: " + text);
  };
  check(format(writer));
  for (Setup filter : filters) check(filter(writer));
  if (*options != '\0') check(archive_write_set_options(writer, options));
  if (passphrase != nullptr) archive_write_set_passphrase(writer, passphrase);
  archive_write_set_bytes_in_last_block(writer, 1);
  archive_write_open2(
      writer, &out, nullptr,
      [](struct archive*, void* data, const void* buffer, size_t length) -> la_ssize_t {
        static_cast<std::string*>(data)->append(static_cast<const char*>(buffer), length);
        return static_cast<la_ssize_t>(length);
      },
      nullptr, nullptr);
  for (const Member& member : members) {
    struct archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, member.name.c_str());
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_perm(entry, 0644);
    archive_entry_set_size(entry, static_cast<la_int64_t>(member.content.size()));
    const int status = archive_write_header(writer, entry);
    archive_entry_free(entry);
    check(status);
    if (!member.content.empty()) archive_write_data(writer, member.content.data(), member.content.size());
  }
  check(archive_write_close(writer));
  archive_write_free(writer);
  return out;
}

namespace generator {

struct GeneratedFile {
  std::string bytes;
  // '!'-joined archive paths that hold a needle ("" for the file itself).
  std::vector<std::string> needlePaths;
};

namespace detail {

struct Compression {
  const char* suffix;
  Setup filter;
};
inline constexpr Compression Compressions[] = {{".gz", archive_write_add_filter_gzip},
                                               {".xz", archive_write_add_filter_xz},
                                               {".bz2", archive_write_add_filter_bzip2},
                                               {".zst", archive_write_add_filter_zstd}};

struct Container {
  const char* suffix;
  Setup format;
};
inline constexpr Container Containers[] = {{".zip", archive_write_set_format_zip},
                                           {".tar", archive_write_set_format_pax_restricted},
                                           {".7z", archive_write_set_format_7zip},
                                           {".cpio", archive_write_set_format_cpio_newc}};

struct Generator {
  std::mt19937& random;
  std::string_view needle;
  std::vector<std::string> needlePaths{};
  int members = 0;

  size_t Below(size_t bound) { return std::uniform_int_distribution<size_t>(0, bound - 1)(random); }

  static std::string Join(const std::vector<std::string>& path) {
    std::string joined;
    for (const std::string& name : path) {
      if (!joined.empty()) joined += '!';
      joined += name;
    }
    return joined;
  }

  // Random bytes, sometimes zeros first (what reads as an empty tar), and
  // the needle planted (noted at `holder`) in most.
  std::string Leaf(const std::vector<std::string>& holder) {
    // Sometimes past a 64 KiB chunk: readers take whole chunks.
    const size_t zeros = Below(3) == 0 ? 512 * (1 + Below(3)) : Below(5) == 0 ? 70'000 + Below(70'000) : 0;
    std::string bytes(zeros, '\0');
    const size_t length = Below(3000);
    for (size_t i = 0; i < length; ++i) bytes += static_cast<char>(Below(256));
    if (Below(4) != 0) {
      bytes.insert(bytes.size() - Below(length + 1), needle);
      needlePaths.push_back(Join(holder));
    }
    return bytes;
  }

  // A container of 1 to 3 members named under `parent`, each a random
  // stream, and sometimes trailing data (handed over at `holder`).
  std::string MakeContainer(const Container& container, const std::vector<std::string>& parent,
                            const std::vector<std::string>& holder, int depth) {
    std::vector<Member> entries;
    for (size_t count = 1 + Below(3); count-- > 0;) {
      std::string member = std::to_string(members++);
      member.insert(0, 1, 'm');
      std::string content = Node(member, parent, false, depth + 1);
      entries.push_back({member, std::move(content)});
    }
    std::string bytes = Write(container.format, {}, entries);
    if (Below(3) == 0) bytes += Leaf(holder);
    return bytes;
  }

  // The bytes of a random stream: a leaf, a container (up to three deep) or
  // one compression of either. `name` comes in as a stem and leaves with
  // the suffixes chosen; the stream is the member `name` under `parent`, or
  // the outermost file when `top`.
  std::string Node(std::string& name, const std::vector<std::string>& parent, bool top, int depth) {
    auto own = [&] {
      std::vector<std::string> path = parent;
      if (!top) path.push_back(name);
      return path;
    };
    const size_t kind = Below(depth >= 3 ? 2 : 3);
    if (kind == 0) return Leaf(own());
    if (kind == 1) {
      // What it unpacks to is handed over as a member named after it
      // without the compression's suffix; a container in it has its
      // members named as the compressed stream's own.
      const Compression& compression = Compressions[Below(std::size(Compressions))];
      const bool container = depth < 3 && Below(2) == 0;
      const Container& format = Containers[Below(std::size(Containers))];
      const std::string stem = name + (container ? format.suffix : "");
      name = stem + compression.suffix;
      std::vector<std::string> stream = own();
      stream.push_back(stem);
      const std::string inner = container ? MakeContainer(format, own(), stream, depth) : Leaf(stream);
      return Write(archive_write_set_format_raw, {compression.filter}, {{"data", inner}});
    }
    const Container& format = Containers[Below(std::size(Containers))];
    name += format.suffix;
    return MakeContainer(format, own(), own(), depth);
  }
};

}  // namespace detail

// One random file named `name` plus the suffixes chosen ("f" may become
// "f.tar.gz"), with the needle planted in some of its members.
inline GeneratedFile Generate(std::mt19937& random, std::string_view needle, std::string& name) {
  detail::Generator generator{random, needle};
  GeneratedFile file;
  file.bytes = generator.Node(name, {}, true, 0);
  file.needlePaths = std::move(generator.needlePaths);
  return file;
}

}  // namespace generator
}  // namespace veltor::archive
