#pragma once

// The archive library, loaded the first time an input needs it rather than when the program
// starts: it and what it links (an XML parser, ICU, ACL and crypto libraries) cost a few
// milliseconds of every start, a third of a short run's time, and most runs, plain compressed
// streams among them, never call it. One table of the calls archive_reader makes, each under
// its library name; loaded once per process, read-only after, safe from any thread.

#include <archive.h>
#include <archive_entry.h>

#include <string>

namespace bytrove {

// clang-format off
#define BYTROVE_ARCHIVE_CALLS(X) \
  X(archive_read_new) \
  X(archive_read_free) \
  X(archive_read_support_filter_compress) \
  X(archive_read_support_filter_lzip) \
  X(archive_read_support_filter_lz4) \
  X(archive_read_support_format_raw) \
  X(archive_read_support_format_tar) \
  X(archive_read_support_format_zip) \
  X(archive_read_support_format_cpio) \
  X(archive_read_support_format_7zip) \
  X(archive_read_support_format_ar) \
  X(archive_read_support_format_iso9660) \
  X(archive_filter_count) \
  X(archive_filter_code) \
  X(archive_error_string) \
  X(archive_set_error) \
  X(archive_read_set_read_callback) \
  X(archive_read_set_callback_data) \
  X(archive_read_set_seek_callback) \
  X(archive_read_set_skip_callback) \
  X(archive_read_open1) \
  X(archive_read_next_header) \
  X(archive_format) \
  X(archive_read_data_block) \
  X(archive_entry_filetype) \
  X(archive_entry_hardlink) \
  X(archive_entry_size) \
  X(archive_entry_sparse_count) \
  X(archive_entry_pathname) \
  X(archive_entry_is_encrypted)
// clang-format on

struct archive_calls {
#define BYTROVE_ARCHIVE_CALL_FIELD(name) decltype(&::name) name = nullptr;
  BYTROVE_ARCHIVE_CALLS(BYTROVE_ARCHIVE_CALL_FIELD)
#undef BYTROVE_ARCHIVE_CALL_FIELD
};

struct archive_library {
  bool loaded = false;
  archive_calls calls;  // every one set when loaded
  std::string error;    // why not, for the message
};

// Loads `file` (a name the dynamic linker looks up, or a path) and every call of the table.
// A library loaded is never unloaded: the table may be copied and kept.
archive_library load_archive_library(const char* file);

// The library the build was linked against, loaded by the first call.
const archive_library& the_archive_library();

}  // namespace bytrove
