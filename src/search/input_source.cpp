#include "search/input_source.h"

#include <sys/stat.h>
#include <unistd.h>

namespace bytrove {

input_source describe_source(int fd, bool just_opened) {
  input_source source;
  source.fd = fd;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return source;
  source.size = static_cast<std::uint64_t>(st.st_size);
  source.identity = {st.st_dev, st.st_ino};
  if (S_ISREG(st.st_mode)) {
    source.kind = source_kind::regular;
    source.begun = !just_opened && ::lseek(fd, 0, SEEK_CUR) > 0;
  } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISSOCK(st.st_mode)) {
    source.kind = source_kind::live;
  } else {
    source.kind = source_kind::stream;
  }
  return source;
}

std::uint64_t regular_size(int fd) {
  const input_source source = describe_source(fd, true);
  return source.regular() ? source.size : 0;
}

read_mode read_mode_for(const input_source& source, const result_options& options) {
  switch (source.kind) {
    case source_kind::regular:
      if (source.begun) return read_mode::stream;
      return source.size >= k_sparse_min_size || options.ranged() ? read_mode::positioned
                                                                  : read_mode::stream;
    case source_kind::live:
      return read_mode::live;
    case source_kind::stream:
    case source_kind::unknown:
      break;
  }
  return read_mode::stream;
}

std::vector<read_range> reads_for(const input_source& source, read_mode mode,
                                  const result_options& options, std::size_t pattern_length,
                                  bool zeros_can_match) {
  std::vector<read_range> reads{{0, k_no_limit, 0}};
  if (mode == read_mode::positioned) {
    reads = plan_reads(source.fd, source.size, pattern_length, zeros_can_match);
  }
  return clip_reads(reads, options.range_start, options.range_end);
}

}  // namespace bytrove
