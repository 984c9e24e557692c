#pragma once
// Archives written in memory by libarchive, for the tests that walk and
// scan them.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace veltor::archive {

struct Member {
  std::string name;
  std::string content;
};

using Setup = int (*)(struct archive*);

// An archive in memory, written by libarchive: format, then filters, then
// write options (empty when none).
inline std::string Write(Setup format, std::vector<Setup> filters, const std::vector<Member>& members,
                         const char* options = "", const char* passphrase = nullptr) {
  std::string out;
  struct archive* writer = archive_write_new();
  EXPECT_EQ(format(writer), ARCHIVE_OK) << archive_error_string(writer);
  for (Setup filter : filters) EXPECT_EQ(filter(writer), ARCHIVE_OK) << archive_error_string(writer);
  if (*options != '\0') {
    EXPECT_EQ(archive_write_set_options(writer, options), ARCHIVE_OK) << archive_error_string(writer);
  }
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
    EXPECT_EQ(archive_write_header(writer, entry), ARCHIVE_OK) << archive_error_string(writer);
    if (!member.content.empty()) archive_write_data(writer, member.content.data(), member.content.size());
    archive_entry_free(entry);
  }
  EXPECT_EQ(archive_write_close(writer), ARCHIVE_OK) << archive_error_string(writer);
  archive_write_free(writer);
  return out;
}

}  // namespace veltor::archive
