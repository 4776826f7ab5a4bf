#include "cli/run.h"

#include <string_view>

#include "cli/file_arguments.h"
#include "cli/run_settings.h"
#include "cli/switches.h"
#include "pattern/compiled_pattern.h"
#include "pattern/search_plan.h"
#include "scan/scanner.h"

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
    "   --help, --version\n";

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
  bool options_ended = false;
  std::size_t index = 1;
  for (; index < args.size(); ++index) {
    const std::string& arg = args[index];
    if (options_ended || !is_switch_argument(arg)) break;
    if (arg == "--") {
      options_ended = true;
    } else if (arg == "--help") {
      io.out.write(k_usage_text);
      io.out.write(k_help_notes);
      return finish(io, {});
    } else if (arg == "--version") {
      return finish(io, {});
    } else if (arg == "--progress") {
      settings.progress = true;
    } else {
      status s = parse_switches(std::string_view(arg).substr(1), settings);
      if (!s.ok()) return finish(io, s);
    }
  }
  if (index >= args.size()) return finish(io, status::error(k_exit_usage, k_usage_text));

  compiled_pattern pattern;
  status parsed = parse_pattern(args[index], settings.ignore_case, pattern);
  if (!parsed.ok()) return finish(io, parsed);
  const search_plan plan = build_search_plan(pattern, settings.ignore_case);
  if (settings.verbose) io.out.write(pattern_echo(pattern));

  return finish(io, finish_run(args, index + 1, options_ended, settings, pattern, plan, io));
}

}  // namespace bytrove
