// stream_search's side of --decompress: recognising a packed input and searching its members,
// or, for a stream whose head had to be read to find out, searching it as it is.

#include "search/member_search.h"
#include "search/stream_search.h"
#include "source/packed_input.h"

namespace bytrove {
namespace {

// What a stream keeps of what the library read while it found the stream was not packed, to
// search it as it is after all.
constexpr std::size_t k_stream_replay = std::size_t{1} << 20;

}  // namespace

bool stream_search::search_packed(std::string_view name, const input_source& input, bool verbose) {
  const int fd = input.fd;
  const bool regular = input.regular();
  const std::uint64_t size = regular ? input.size : 0;
  file_head head;
  if (regular && !file_looks_packed(fd, size, head, &whole_file_)) return false;
  fd_stream source(fd);
  headed_stream headed(source, k_stream_replay);
  if (!regular && (!headed.read_head() || !looks_packed(headed.head(), headed.head_size()))) {
    headed.stop_keeping();
    search_plain(name, headed, verbose);
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
  if (observer_ != nullptr) observer_->on_input_start(name, regular ? size : 0);
  const unpack_status status = regular
                                   ? unpacker_->unpack_file(fd, size, members, head, whole_file_)
                                   : unpacker_->unpack_stream(headed, members);
  if (status == unpack_status::not_packed) {
    if (regular) return false;  // the progress line starts the input again
    if (!headed.rewind()) {
      write_error(out_, err_,
                  "Error decompressing " + std::string(name) +
                      ": not recognised, and too much was read to search it as it is.\n");
      return true;
    }
    search_plain(name, headed, verbose);
    return true;
  }
  progress();
  counters_.files_searched += members.totals().files;
  counters_.bytes_searched += members.totals().bytes;
  counters_.occurrences += members.totals().occurrences;
  if (observer_ != nullptr) observer_->on_input_end();
  return true;
}

void stream_search::search_plain(std::string_view name, byte_stream& stream, bool verbose) {
  begin_input(name, -1, verbose);
  const scan_span span = span_within(options_.range_start, options_.range_end, options_.range_start,
                                     options_.range_end, target_.length, options_.context);
  part_request request;
  request.name = name;
  request.count_from = options_.range_start;
  end_input(part_.run(request, stream, span));
}

}  // namespace bytrove
