#pragma once

// Searches the members an archive_reader hands out, each as one input of its own through the
// same block scanner and per-input results as a plain input: its own name, counts, limit per
// input, range and context on its decompressed offsets (one part_search each). One per input
// being unpacked; the block scanner, results and output belong to the thread that searches.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "report/input_results.h"
#include "report/member_name.h"
#include "report/result_options.h"
#include "scan/block_scanner.h"
#include "search/part_search.h"
#include "source/archive_reader.h"

namespace bytrove {

// What one unpacked input added up to.
struct member_totals {
  std::uint64_t files = 0;  // members searched
  std::uint64_t bytes = 0;  // decompressed bytes searched
  std::uint64_t occurrences = 0;
};

template <class out_type>
class member_search final : public member_visitor, private part_hooks {
 public:
  struct hooks {
    std::function<void(std::string)> message;  // an error line, in its place among the results
    std::function<bool()> go_on;               // false once the run stops
    std::function<void()> after_block;         // progress
  };

  member_search(std::string_view input, block_scanner& blocks, input_results<out_type>& results,
                out_type& out, const result_options& options, std::size_t pattern_length,
                bool verbose, hooks h)
      : input_(input),
        part_(blocks, results, out, *this),
        out_(out),
        options_(options),
        pattern_length_(pattern_length),
        verbose_(verbose),
        hooks_(std::move(h)) {}

  bool on_member(const std::vector<std::string>& chain, byte_stream& data) override {
    const std::string name = member_display_name(input_, chain);
    if (verbose_) write_searching_line(out_, name);
    part_request request;
    request.name = name;
    if (options_.json) request.json_name = member_json_name(input_, chain);
    request.count_from = options_.range_start;
    const scan_span span =
        span_within(options_.range_start, options_.range_end, options_.range_start,
                    options_.range_end, pattern_length_, options_.context);
    const part_outcome outcome = part_.run(request, data, span);
    totals_.bytes += outcome.bytes;
    totals_.occurrences += outcome.found;
    ++totals_.files;
    return hooks_.go_on();
  }

  void on_problem(const std::vector<std::string>& chain, const std::string& reason) override {
    hooks_.message("Error decompressing " + member_display_name(input_, chain) + ": " + reason +
                   ".\n");
  }

  const member_totals& totals() const { return totals_; }

 private:
  bool after_block(const found_block& /*block*/) override {
    if (hooks_.after_block) hooks_.after_block();
    return hooks_.go_on();
  }
  // A member's stream reports its own problems (on_problem): the archive reader knows them.
  void on_read_failed() override {}

  std::string_view input_;
  part_search<out_type> part_;
  out_type& out_;
  const result_options& options_;
  std::size_t pattern_length_;
  bool verbose_;
  hooks hooks_;
  member_totals totals_;
};

// The limits an unpacking runs under for these options.
inline unpack_limits unpack_limits_for(const result_options& options) {
  unpack_limits limits;
  limits.depth = options.decompress;
  return limits;
}

}  // namespace bytrove
