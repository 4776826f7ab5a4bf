// The scanner's side of --decompress: recognising a packed input and searching its members,
// or, for a stream whose head had to be read to find out, searching it as it is.

#include <sys/stat.h>

#include "search/member_search.h"
#include "search/scanner.h"
#include "source/packed_input.h"

namespace bytrove {
namespace {

// What a stream keeps of what the library read while it found the stream was not packed, to
// search it as it is after all.
constexpr std::size_t k_stream_replay = std::size_t{1} << 20;

}  // namespace

bool scanner::scan_packed(std::string_view name, int fd, bool verbose) {
  struct stat st {};
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  const auto size = regular ? static_cast<std::uint64_t>(st.st_size) : 0;
  if (regular && !file_looks_packed(fd, size)) return false;
  fd_stream source(fd);
  headed_stream headed(source, k_stream_replay);
  if (!regular && (!headed.read_head() || !looks_packed(headed.head(), headed.head_size()))) {
    headed.stop_keeping();
    scan_plain(name, headed, verbose);
    return true;
  }
  if (unpacker_ == nullptr)
    unpacker_ = std::make_unique<archive_reader>(unpack_limits_for(options_));
  std::uint64_t reported = 0;
  const auto progress = [&] {
    if (observer_ == nullptr) return;
    observer_->on_bytes(unpacker_->compressed_read() - reported);
    reported = unpacker_->compressed_read();
  };
  member_search<output> members(
      name, blocks_, results_, out_, options_, target_.length, verbose,
      {[&](const std::string& message) { write_error(out_, err_, message); },
       [&] { return !out_.failed(); }, progress});
  if (observer_ != nullptr) observer_->on_input_start(name, fd);
  const unpack_status status = regular ? unpacker_->unpack_file(fd, size, members)
                                       : unpacker_->unpack_stream(headed, members);
  if (status == unpack_status::not_packed) {
    if (regular) return false;  // the progress line starts the input again
    if (!headed.rewind()) {
      write_error(out_, err_,
                  "Error decompressing " + std::string(name) +
                      ": not recognised, and too much was read to search it as it is.\n");
      return true;
    }
    scan_plain(name, headed, verbose);
    return true;
  }
  progress();
  counters_.files_searched += members.totals().files;
  counters_.bytes_searched += members.totals().bytes;
  counters_.occurrences += members.totals().occurrences;
  if (observer_ != nullptr) observer_->on_input_end();
  return true;
}

void scanner::scan_plain(std::string_view name, byte_stream& stream, bool verbose) {
  begin_input(name, -1, verbose);
  const scan_span span = span_within(options_.range_start, options_.range_end, options_.range_start,
                                     options_.range_end, target_.length, options_.context);
  const std::uint64_t bytes_before = counters_.bytes_searched;
  const scan_outcome outcome = blocks_.scan(stream, span, *this);
  if (outcome.read_failed) write_error(out_, err_, read_error_message(name));
  end_input(bytes_before);
}

}  // namespace bytrove
