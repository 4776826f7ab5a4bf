#include "cli/run.h"

#include <cstdlib>
#include <optional>
#include <string_view>

#include "cli/run_settings.h"
#include "cli/switches.h"
#include "pattern/compiled_pattern.h"
#include "pattern/search_plan.h"
#include "search/scanner.h"

namespace bytrove {

const char* const k_banner = "Bytrove 2.1 - byte pattern search, (c) 2026 the Bytrove developers\n";

const char* const k_usage_text =
    "\n"
    "Usage:   Bytrove [-options] [\"]<pattern>[\"] files ...\n"
    "\n"
    "   options:  <i>gnore case, <r>ecurse into subdirectories,\n"
    "             include <h>idden or <s>ystem files, be <v>erbose\n"
    " <pattern>:  one or more of [ HEX-pair | 'string' | ? ]\n"
    "             (? = wildcard, pattern must be contiguous or quoted!)\n";

namespace {

constexpr const char* k_help_notes =
    "\n"
    "Linux notes:\n"
    "   --         ends the switches: every later argument is the pattern or a file,\n"
    "              so absolute paths and names starting with \"-\" go after it\n"
    "   hidden     a name starting with \".\" (-h includes them)\n"
    "   system     a FIFO, socket or device (-s includes them)\n"
    "   --progress live progress line on standard error when it is a terminal\n"
    "   --threads N\n"
    "              search with N threads (default: every CPU this process may use; 1\n"
    "              searches one input at a time); the output is the same for every N\n"
    "   --help, --version\n";

// The value of `--name=VALUE` or of `--name VALUE` (the next argument, consumed); nothing when
// args[index] is not that option. A missing value is an empty one.
std::optional<std::string> long_option_value(const std::vector<std::string>& args,
                                             std::size_t& index, std::string_view name) {
  const std::string_view arg = args[index];
  if (arg == name) {
    if (index + 1 >= args.size()) return std::string();
    return args[++index];
  }
  if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
    return std::string(arg.substr(name.size() + 1));
  }
  return std::nullopt;
}

constexpr const char* k_path_hint = "Paths that begin with \"/\" go after --.\n";

// An argument starting with "/" is a switch, but one holding another "/" or naming something
// that exists (a dangling link too) was most likely meant as a path: the user is told how to
// write it, whether or not its letters happened to be switches.
bool looks_like_path(const std::string& arg, file_system& fs) {
  return !arg.empty() && arg[0] == '/' &&
         (arg.find('/', 1) != std::string::npos || fs.exists(arg));
}

constexpr unsigned k_max_threads = 1024;

status parse_thread_count(const std::string& text, unsigned& threads) {
  unsigned long value = 0;
  bool valid = true;
  for (const char c : text) {
    if (c < '0' || c > '9') valid = false;
    // Stop growing past the limit, so leading zeros are fine and nothing overflows.
    if (valid && value <= k_max_threads) value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (text.empty()) {
    return status::error(k_exit_usage, "--threads needs a value: a whole number from 1 to " +
                                           std::to_string(k_max_threads) + ".\n");
  }
  if (!valid || value == 0 || value > k_max_threads) {
    return status::error(k_exit_usage, "Invalid value \"" + text +
                                           "\" for --threads: expected a whole number from 1 to " +
                                           std::to_string(k_max_threads) + ".\n");
  }
  threads = static_cast<unsigned>(value);
  return {};
}

// Ends the run: a failed standard output outranks everything, since results were lost.
int finish(io_context& io, const status& result) {
  if (!io.out.flush()) {
    io.err.write("Error writing output.\n");
    io.err.flush();
    return k_exit_write_failed;
  }
  if (!result.ok()) {
    io.err.write(result.message());
    io.err.flush();
  }
  return result.exit_code();
}

}  // namespace

int run(const std::vector<std::string>& args, io_context& io) {
  io.out.write(k_banner);
  run_settings settings;
  run_request request;
  request.threads = io.default_threads != 0 ? io.default_threads : available_cpus();
  bool options_ended = false;
  bool have_pattern = false;
  compiled_pattern pattern;
  search_plan plan;
  // One pass in order: switches before the pattern, the pattern, then file arguments, each
  // with the switches in force where it stands.
  for (std::size_t index = 1; index < args.size(); ++index) {
    const std::string& arg = args[index];
    if (!options_ended && is_switch_argument(arg)) {
      if (arg == "--") {
        options_ended = true;
        continue;
      }
      if (!have_pattern) {
        if (arg == "--help") {
          io.out.write(k_usage_text);
          io.out.write(k_help_notes);
          return finish(io, {});
        }
        if (arg == "--version") return finish(io, {});
        if (arg == "--progress") {
          settings.progress = true;
          continue;
        }
        if (const auto value = long_option_value(args, index, "--threads")) {
          status s = parse_thread_count(*value, request.threads);
          if (!s.ok()) return finish(io, s);
          continue;
        }
      }
      status s = parse_switches(std::string_view(arg).substr(1), settings);
      const bool path_like = looks_like_path(arg, io.fs);
      if (s.ok()) {
        if (path_like) {
          write_error(io.out, io.err,
                      "Note: \"" + arg + "\" was read as switches. " + k_path_hint);
        }
        continue;
      }
      if (path_like) s = status::error(s.exit_code(), s.message() + k_path_hint);
      if (!have_pattern) return finish(io, s);
      // Files named before the bad switch are still searched, as they would have been had
      // the switch been met only when their search was over.
      request.stop_exit_code = s.exit_code();
      request.stop_message = s.message();
      break;
    }
    if (!have_pattern) {
      status parsed = parse_pattern(arg, settings.ignore_case, pattern);
      if (!parsed.ok()) return finish(io, parsed);
      plan = build_search_plan(pattern, settings.ignore_case);
      if (settings.verbose) io.out.write(pattern_echo(pattern));
      have_pattern = true;
      continue;
    }
    request.files.push_back({arg, settings.recurse, settings.attribute_mask, settings.verbose});
  }
  if (!have_pattern) return finish(io, status::error(k_exit_usage, k_usage_text));
  request.verbose = settings.verbose;
  request.progress = settings.progress;
  return finish(io, search_inputs(request, pattern, plan, io));
}

}  // namespace bytrove
