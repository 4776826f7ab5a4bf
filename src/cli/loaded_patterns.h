#pragma once

#include <memory>
#include <string>

#include "base/status.h"
#include "pattern/compiled_pattern.h"
#include "pattern/extended_pattern.h"
#include "pattern/pattern_set.h"
#include "pattern/search_plan.h"
#include "report/result_options.h"
#include "scan/extended_matcher.h"
#include "scan/search_target.h"
#include "scan/set_matcher.h"
#include "search/search_inputs.h"

namespace bytrove {

// The patterns a run searches for, as the command line gives them: the pattern argument (plain
// or brace), or the set of patterns in a file, compiled once and owned here for the whole run.
// A brace pattern that is a plain one in disguise is searched as one. Warnings about patterns
// cut at 256 positions go to standard error as it is read. target() is what the engine
// searches (it points into this object).
class loaded_patterns {
 public:
  status load_pattern(const std::string& text, const pattern_syntax& syntax, io_context& io);
  // Reads the set file `path` (exit code 1 when it cannot be read or holds no pattern).
  status load_set(const std::string& path, const pattern_syntax& syntax, io_context& io);

  // The verbose echo: a line per pattern, a set's with its name.
  std::string echo() const;
  search_target target() const;
  const pattern_names& names() const { return names_; }
  bool is_set() const {
    return matcher_ != nullptr || (extended_ != nullptr && extended_->is_set());
  }

 private:
  compiled_pattern pattern_;
  search_plan plan_;
  pattern_set set_;
  std::unique_ptr<set_matcher> matcher_;
  extended_pattern brace_;
  std::unique_ptr<extended_matcher> extended_;  // brace patterns, alone or in the set
  pattern_names names_;
};

}  // namespace bytrove
