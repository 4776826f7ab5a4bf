// --decompress on several threads against one: archives of many members (zip stored and
// deflated, tar.gz), damaged and truncated ones, multi-member gzip and a decompression bomb,
// written here with the archive library, searched with the options that place lines and
// messages (counts, names, per-member limits, context, ranges, JSON, -v). Packed inputs large
// enough are decoded on a thread of their own ahead of their search; the output must be the
// bytes one thread prints.

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <string>
#include <utility>
#include <vector>

#include "scanner_harness.h"

namespace bytrove {
namespace {

using namespace scan_harness;

constexpr char k_marker[] = "MARKER:)";
constexpr char k_marker_hex[] = "4D41524B45523A29";

using member_list = std::vector<std::pair<std::string, std::string>>;

// Random bytes with the marker at random places and across the block boundaries the decoder
// hands over (1 MiB, and the library's 64 KiB).
std::string member_bytes(rng_type& rng, std::size_t size) {
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(pick(rng, 0, 255));
  const std::size_t marks = size / 20000 + pick(rng, 0, 3);
  for (std::size_t i = 0; i < marks && size >= 8; ++i) {
    std::size_t at = pick(rng, 0, size - 8);
    if (chance(rng, 0.4)) {
      const std::size_t boundary = (chance(rng, 0.5) ? k_block : 65536) * pick(rng, 1, 2);
      if (boundary + 4 <= size) at = boundary - pick(rng, 0, 7);
    }
    if (at + 8 <= size) data.replace(at, 8, k_marker);
  }
  return data;
}

// An archive of `members` in `format` through `filter`; zip members stored when asked.
void write_archive(const std::string& path, int format, int filter, const member_list& members,
                   bool store = false) {
  archive* a = archive_write_new();
  ASSERT_EQ(archive_write_set_format(a, format), ARCHIVE_OK);
  if (filter != ARCHIVE_FILTER_NONE) {
    ASSERT_EQ(archive_write_add_filter(a, filter), ARCHIVE_OK);
  }
  if (store) {
    ASSERT_EQ(archive_write_set_options(a, "zip:compression=store"), ARCHIVE_OK);
  }
  ASSERT_EQ(archive_write_open_filename(a, path.c_str()), ARCHIVE_OK);
  for (const auto& [name, data] : members) {
    archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, name.c_str());
    archive_entry_set_size(e, static_cast<la_int64_t>(data.size()));
    archive_entry_set_filetype(e, AE_IFREG);
    archive_entry_set_perm(e, 0644);
    ASSERT_EQ(archive_write_header(a, e), ARCHIVE_OK);
    ASSERT_EQ(archive_write_data(a, data.data(), data.size()),
              static_cast<la_ssize_t>(data.size()));
    archive_entry_free(e);
  }
  ASSERT_EQ(archive_write_close(a), ARCHIVE_OK);
  archive_write_free(a);
}

// A gzip file of one member per part.
void write_gzip(const std::string& path, const std::vector<std::string>& parts) {
  for (std::size_t i = 0; i < parts.size(); ++i) {
    gzFile f = gzopen(path.c_str(), i == 0 ? "wb6" : "ab6");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(gzwrite(f, parts[i].data(), static_cast<unsigned>(parts[i].size())),
              static_cast<int>(parts[i].size()));
    ASSERT_EQ(gzclose(f), Z_OK);
  }
}

member_list random_members(rng_type& rng, std::size_t n) {
  member_list members;
  for (std::size_t i = 0; i < n; ++i) {
    // Mostly small, some empty, a few past a block.
    const std::size_t size = chance(rng, 0.1)    ? 0
                             : chance(rng, 0.08) ? pick(rng, k_block, k_block + 70000)
                                                 : pick(rng, 1, 60000);
    members.emplace_back("m/" + std::to_string(i) + ".bin", member_bytes(rng, size));
  }
  return members;
}

std::string file_bytes(const std::string& path) {
  std::string data;
  const unique_fd fd(::open(path.c_str(), O_RDONLY));
  char buffer[65536];
  for (ssize_t n; (n = ::read(fd.get(), buffer, sizeof buffer)) > 0;) {
    data.append(buffer, static_cast<std::size_t>(n));
  }
  return data;
}

// Damages 64 bytes of the file in its middle, or cuts it there.
void damage(temp_dir& tmp, const std::string& from, const std::string& to, bool cut) {
  std::string data = file_bytes(from);
  const std::size_t middle = data.size() / 2 + 37;
  if (cut) {
    data.resize(middle);
  } else {
    for (std::size_t i = middle; i < middle + 64 && i < data.size(); ++i) data[i] ^= 0x5a;
  }
  tmp.write_file(to, data);
}

// The packed corpus of one case, in the current directory.
std::vector<std::string> write_corpus(temp_dir& tmp, rng_type& rng) {
  write_archive("deflate.zip", ARCHIVE_FORMAT_ZIP, ARCHIVE_FILTER_NONE,
                random_members(rng, pick(rng, 10, 40)));
  write_archive("stored.zip", ARCHIVE_FORMAT_ZIP, ARCHIVE_FILTER_NONE,
                random_members(rng, pick(rng, 5, 20)), true);
  write_archive("t.tar.gz", ARCHIVE_FORMAT_TAR_PAX_RESTRICTED, ARCHIVE_FILTER_GZIP,
                random_members(rng, pick(rng, 10, 40)));
  write_archive("t.tar.zst", ARCHIVE_FORMAT_TAR_PAX_RESTRICTED, ARCHIVE_FILTER_ZSTD,
                random_members(rng, pick(rng, 5, 20)));
  write_gzip("multi.gz", {member_bytes(rng, pick(rng, 1, 2 * k_block)),
                          member_bytes(rng, pick(rng, 1, 300000))});
  damage(tmp, "deflate.zip", "damaged.zip", false);
  damage(tmp, "t.tar.gz", "cut.tar.gz", true);
  damage(tmp, "multi.gz", "cut.gz", true);
  tmp.write_file("plain.bin", member_bytes(rng, 100000));
  std::vector<std::string> files{"deflate.zip", "stored.zip", "t.tar.gz", "t.tar.zst", "multi.gz",
                                 "damaged.zip", "cut.tar.gz", "cut.gz",   "plain.bin"};
  std::shuffle(files.begin(), files.end(), rng);
  return files;
}

TEST(packed_parallel, members_match_one_thread) {
  rng_type rng(0x5eed0300 + test_threads());
  const unique_fd no_input = input_file("");
  const std::vector<std::vector<std::string>> option_sets = {{},
                                                             {"--count"},
                                                             {"--files-with-matches"},
                                                             {"--max-count=2"},
                                                             {"-v"},
                                                             {"--context=9"},
                                                             {"--json"},
                                                             {"--range=70000:1100000"},
                                                             {"--count", "--max-count=1"}};
  for (int c = 0; c < 3; ++c) {
    temp_dir tmp;
    const scoped_chdir cd(tmp.path());
    const std::vector<std::string> files = write_corpus(tmp, rng);
    for (const std::vector<std::string>& options : option_sets) {
      std::vector<std::string> args{"--decompress"};
      args.insert(args.end(), options.begin(), options.end());
      args.push_back(k_marker_hex);
      args.insert(args.end(), files.begin(), files.end());
      const run_result want = run_threads(args, "1", 0, no_input.get());
      SCOPED_TRACE(testing::Message()
                   << "case " << c << ", options " << testing::PrintToString(options));
      // Something was found, and a problem was reported: the cases are not empty.
      EXPECT_NE(want.out, "");
      EXPECT_NE(want.err.find("Error decompressing"), std::string::npos);
      for (const unsigned threads : {2u, 4u, 8u}) {
        SCOPED_TRACE(testing::Message() << "--threads " << threads);
        // Small chunks: every packed input here is decoded ahead of its search.
        expect_same_run(run_threads(args, std::to_string(threads), 4099, no_input.get()), want);
      }
      if (testing::Test::HasFailure()) return;
    }
  }
}

TEST(packed_parallel, bomb_is_cut_where_one_thread_cuts_it) {
  temp_dir tmp;
  const scoped_chdir cd(tmp.path());
  // 128 MiB of zeros expand past the limit (a thousand times the compressed bytes, past
  // 64 MiB); the marker lies before the cut and after it. As gzip, whose decoder hands out what
  // one input buffer inflates to, and as that gzip inside a zip, read through the archive
  // library, which fills every read whole.
  const std::string zeros(k_block, '\0');
  const std::string marked = std::string(k_marker) + zeros.substr(8);
  gzFile f = gzopen("bomb.gz", "wb9");
  ASSERT_NE(f, nullptr);
  for (std::size_t i = 0; i < 128; ++i) {
    const std::string& piece = i == 0 || i == 100 ? marked : zeros;
    ASSERT_EQ(gzwrite(f, piece.data(), static_cast<unsigned>(piece.size())),
              static_cast<int>(piece.size()));
  }
  ASSERT_EQ(gzclose(f), Z_OK);
  write_archive("bomb.zip", ARCHIVE_FORMAT_ZIP, ARCHIVE_FILTER_NONE,
                {{"zeros.gz", file_bytes("bomb.gz")}});
  rng_type rng(0x5eed0400);
  tmp.write_file("after.bin", member_bytes(rng, 50000));
  const unique_fd no_input = input_file("");
  // Counting zeros shows the byte the cut falls on.
  for (const char* pattern : {k_marker_hex, "00000000"}) {
    for (const char* bomb : {"bomb.zip", "bomb.gz"}) {
      const std::vector<std::string> args{"--decompress=2", "--count", pattern, bomb, "after.bin"};
      const run_result want = run_threads(args, "1", 0, no_input.get());
      EXPECT_NE(want.err.find("cut: it expands"), std::string::npos);
      EXPECT_NE(want.out.find("bomb."), std::string::npos);
      for (const unsigned threads : {2u, 4u}) {
        SCOPED_TRACE(testing::Message() << bomb << " " << pattern << ", --threads " << threads);
        expect_same_run(run_threads(args, std::to_string(threads), 4099, no_input.get()), want);
      }
    }
  }
}

}  // namespace
}  // namespace bytrove
