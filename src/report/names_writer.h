#pragma once

// The file-name form (--files-with-matches): the name of each input with an occurrence, ending
// in a newline (a NUL with --null), or a {"type":"file",...} record with --json. An input stops
// at its first occurrence: input_results gives this form a limit of one per input.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "report/result_options.h"
#include "report/result_writer.h"

namespace bytrove {

// The line naming input `name`. `json_name`, when not empty, names it in a JSON record in
// place of "path":"<name>".
std::string name_line(const result_options& options, std::string_view name,
                      std::string_view json_name);

template <class sink_type>
class names_writer final : public result_writer<sink_type> {
 public:
  explicit names_writer(const result_options& options) : options_(options) {}

  void start(std::string_view name, std::string_view json_name) override {
    name_ = name;
    json_name_ = json_name;
  }
  void write(sink_type&, const found_block&, std::size_t) override {}
  void finish(sink_type& sink, bool whole, std::uint64_t found) override {
    if (whole && found > 0) sink.write(name_line(options_, name_, json_name_));
  }

 private:
  const result_options& options_;
  std::string name_;
  std::string json_name_;
};

}  // namespace bytrove
