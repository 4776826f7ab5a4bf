#include "cli/file_arguments.h"

#include <cinttypes>
#include <cstdio>
#include <string_view>

#include <memory>

#include "cli/progress.h"
#include "cli/switches.h"
#include "scan/scanner.h"
#include "walk/name_match.h"
#include "walk/walk_directory.h"

namespace bytrove {
namespace {

// Connects the walk to the scanner and the error stream for one run.
class search_run final : public walk_visitor {
 public:
  search_run(const run_settings& settings, const compiled_pattern& pattern,
             const search_plan& plan, io_context& io)
      : settings_(settings), io_(io), scanner_(pattern, plan, io.out, io.err, io.matcher) {
    if (settings.progress && io.stderr_is_terminal) {
      progress_ = std::make_unique<progress_meter>(io.out, io.err, io.stderr_columns, monotonic_ns);
      scanner_.set_observer(progress_.get());
    }
  }
  ~search_run() override {
    if (progress_) {
      scanner_.set_observer(nullptr);
      progress_->clear();
    }
  }
  search_run(const search_run&) = delete;
  search_run& operator=(const search_run&) = delete;

  void scan_file(const std::string& path, int fd) override {
    scanner_.scan_stream(path, fd, settings_.verbose);
  }
  void report_error(std::string_view message) override {
    write_error(io_.out, io_.err, message);
  }
  bool stopped() const override { return io_.out.failed(); }

  void search_file_argument(const std::string& argument) {
    const file_argument_split split = split_file_argument(argument, io_.fs);
    const walk_options options{settings_.recurse, settings_.attribute_mask};
    const bool matched = walk_directory(io_.fs, split.dir, split.name_pattern, options, *this);
    if (!matched && !stopped()) {
      report_error("Found no files matching '" + split.dir + split.name_pattern + "'.\n");
    }
  }

  void search_standard_input() { scanner_.scan_stream("StdIn", io_.stdin_fd, settings_.verbose); }

  void print_summary() {
    const run_counters& c = scanner_.counters();
    char line[160];
    const int length = std::snprintf(
        line, sizeof line, "Found %" PRIu64 " occurence(s) in %" PRIu64 " file(s) (%" PRIu64
        " bytes searched).\n", c.occurrences, c.files_searched, c.bytes_searched);
    io_.out.write(std::string_view(line, static_cast<std::size_t>(length)));
  }

 private:
  const run_settings& settings_;
  io_context& io_;
  scanner scanner_;
  std::unique_ptr<progress_meter> progress_;
};

}  // namespace

file_argument_split split_file_argument(const std::string& argument, file_system& fs) {
  const std::size_t slash = argument.rfind('/');
  const std::string name_part = slash == std::string::npos ? argument : argument.substr(slash + 1);
  if (name_part.empty()) return {argument, "*"};
  if (!has_wildcards(name_part) && fs.is_directory(argument)) return {argument + "/", "*"};
  return {slash == std::string::npos ? std::string() : argument.substr(0, slash + 1), name_part};
}

status finish_run(const std::vector<std::string>& args, std::size_t next, bool options_ended,
                  run_settings& settings, const compiled_pattern& pattern,
                  const search_plan& plan, io_context& io) {
  search_run run(settings, pattern, plan, io);
  bool any_file_argument = false;
  for (std::size_t i = next; i < args.size() && !run.stopped(); ++i) {
    const std::string& arg = args[i];
    if (!options_ended && arg == "--") {
      options_ended = true;
      continue;
    }
    if (!options_ended && is_switch_argument(arg)) {
      // Settings change for the file arguments that follow; the pattern is already compiled,
      // so a change of ignore-case has no effect on it.
      status s = parse_switches(std::string_view(arg).substr(1), settings);
      if (!s.ok()) return s;
      continue;
    }
    any_file_argument = true;
    run.search_file_argument(arg);
  }
  if (run.stopped()) return {};
  if (!any_file_argument) run.search_standard_input();
  if (settings.verbose && !run.stopped()) run.print_summary();
  return {};
}

}  // namespace bytrove
