#include "cli/run.h"

#include <cstdlib>
#include <new>
#include <optional>
#include <string_view>

#include "cli/hints.h"
#include "cli/long_options.h"
#include "cli/run_settings.h"
#include "cli/search_subject.h"
#include "cli/switches.h"
#include "pattern/compiled_pattern.h"
#include "pattern/search_plan.h"
#include "search/stream_search.h"

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
    "\n"
    "Options for the whole run, before the pattern (--name=VALUE or --name VALUE):\n"
    "   --count    a line \"NAME:COUNT\" per input instead of the occurrences (no banner)\n"
    "   --files-with-matches\n"
    "              only the names of the inputs with an occurrence (no banner)\n"
    "   --null     names end in a NUL byte (--files-with-matches, --count)\n"
    "   --include-zero\n"
    "              with --count and a set, every pattern's count, 0 included\n"
    "   --status   exit 0 if something was found, 1 if nothing, 2 on any trouble\n"
    "   --include=GLOB, --exclude=GLOB, --exclude-dir=GLOB\n"
    "              search only / pass over the files (with -r: directories) so named\n"
    "   --no-follow\n"
    "              pass over links to files found by a wildcard or -r\n"
    "   --color[=auto|always|never]\n"
    "              colour the offsets and the occurrence in dumps (auto: a terminal)\n"
    "   --max-count=N\n"
    "              stop each input after its first N occurrences\n"
    "   --range=START:END\n"
    "              search only the bytes in [START, END) of each input; offsets stay\n"
    "              absolute (decimal or 0x hex, K M G T for powers of 1024; either end\n"
    "              may be left out)\n"
    "   --context=N\n"
    "              after each occurrence, a hex dump of the N bytes around it\n"
    "   --decompress[=DEPTH]\n"
    "              search compressed files and archives (recognised by content) inside:\n"
    "              each member as NAME{MEMBER}, offsets in its decompressed bytes;\n"
    "              DEPTH (default 1) levels of archives within archives\n"
    "   --utf16    strings in the pattern match as UTF-16LE ('ab' is 61 00 62 00)\n"
    "   --json     no banner; one JSON object per line (see the manual)\n"
    "   --patterns=FILE\n"
    "              search for every pattern in FILE (one per line, NAME = PATTERN)\n"
    "              in one pass; there is no pattern argument, each line ends in the\n"
    "              pattern's [NAME]; a bare NAME not in this directory is looked\n"
    "              up among the installed sets (--patterns=signatures.set)\n"
    "   --help, --version\n"
    "\n"
    "Each ? is one byte: ?? is two.\n"
    "\n"
    "Brace patterns, as signatures are written: '{ 4D 5A [0-256] ( 50 | 4E ) 45 }'\n"
    "   ?? any byte, 4? ?A nibbles, ~XX ~4? any byte but, ( A | B ) alternatives,\n"
    "   [n] [n-m] [n-] [-] jumps, 'text'; an occurrence spans at most 65536 bytes\n";

constexpr const char* k_path_hint = "Paths that begin with \"/\" go after --.\n";

// An argument starting with "/" is a switch, but one holding another "/" or naming something
// that exists (a dangling link too) was most likely meant as a path: the user is told how to
// write it, whether or not its letters happened to be switches.
bool looks_like_path(const std::string& arg, file_system& fs) {
  return !arg.empty() && arg[0] == '/' && (arg.find('/', 1) != std::string::npos || fs.exists(arg));
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

int run_arguments(const std::vector<std::string>& args, io_context& io);

// --status among the first switches (seen ahead of the parse, so that an error met before it
// is also reported as trouble; one after an option's value is seen when the parse reaches it).
bool asks_exit_status(const std::vector<std::string>& args) {
  for (std::size_t index = 1; index < args.size(); ++index) {
    if (args[index] == "--status") return true;
    if (args[index] == "--" || !is_switch_argument(args[index])) return false;
  }
  return false;
}

// grep's exit codes under --status: 0 when something was found, 1 when nothing, 2 for any
// trouble (an error before the search, or a message about an input while it ran).
int exit_status_code(int code, bool searched, bool found, bool trouble) {
  if (code != k_exit_ok) return 2;
  if (!searched) return code;
  if (trouble) return 2;
  return found ? 0 : 1;
}

// Checks made once every option before the pattern is known.
status check_options(run_request& request, const io_context& io) {
  const result_options& results = request.results;
  if (results.null_names && results.mode == result_mode::lines && !results.json) {
    return status::error(k_exit_usage,
                         "--null applies to the names of --files-with-matches and --count.\n");
  }
  using when = run_request::colour_when;
  request.results.colour = !results.json && results.mode == result_mode::lines &&
                           (request.colour == when::always ||
                            (request.colour == when::automatic && io.stdout_takes_colour));
  return {};
}

}  // namespace

int run(const std::vector<std::string>& args, io_context& io) {
  // Memory can run out anywhere (a huge pattern set, a system under pressure): every worker
  // has stopped by the time the failure gets here, so what was found is still written, then
  // one message.
  try {
    return run_arguments(args, io);
  } catch (const std::bad_alloc&) {
    return finish(io, status::error(k_exit_out_of_memory, k_out_of_memory_message));
  }
}

namespace {

int run_arguments(const std::vector<std::string>& args, io_context& io) {
  run_settings settings;
  run_request request;
  request.threads = io.default_threads != 0 ? io.default_threads : available_cpus();
  const bool exit_status = asks_exit_status(args);
  bool searched = false;
  bool found = false;
  bool trouble = false;
  pattern_syntax syntax;
  // The banner is written once the options before the pattern are known: --json has none, and
  // neither have --count and --files-with-matches, whose lines are for scripts.
  bool banner_done = false;
  const auto banner = [&] {
    if (!banner_done && !request.results.json && request.results.mode == result_mode::lines) {
      io.out.write(k_banner);
    }
    banner_done = true;
  };
  const auto end_run = [&](const status& result) {
    banner();
    const int code = finish(io, result);
    const bool asked = exit_status || request.exit_status_says_found;
    return asked ? exit_status_code(code, searched, found, trouble) : code;
  };
  bool options_ended = false;
  bool have_pattern = false;
  std::string set_file;          // --patterns: every argument after the switches is a file
  std::string late_walk_switch;  // a switch for files with no file argument after it yet
  search_subject subject;
  // What is searched for, once the switches before it are known.
  const auto load_subject = [&](const std::string* pattern_text) {
    status checked = check_options(request, io);
    banner();
    if (!checked.ok()) return checked;
    syntax.ignore_case = settings.ignore_case;
    status s = set_file.empty() ? subject.load_pattern(*pattern_text, syntax, io)
                                : subject.load_set(set_file, syntax, io);
    if (s.ok() && settings.verbose && !request.results.json) io.out.write(subject.echo());
    have_pattern = true;
    return s;
  };
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
          banner();
          io.out.write(k_usage_text);
          io.out.write(k_help_notes);
          return end_run({});
        }
        if (arg == "--version") return end_run({});
        if (arg == "--progress") {
          settings.progress = true;
          continue;
        }
        if (auto file = option_value(args, index, "--patterns")) {
          set_file = std::move(*file);
          if (set_file.empty()) {
            return end_run(
                status::error(k_exit_usage, "--patterns needs a value: a file of patterns.\n"));
          }
          continue;
        }
        bool known = false;
        status s = apply_long_option(args, index, request, syntax, known);
        if (!s.ok()) return end_run(s);
        if (known) continue;
      }
      status s = parse_switches(std::string_view(arg).substr(1), settings);
      const bool path_like = looks_like_path(arg, io.fs);
      if (s.ok()) {
        std::string notes;
        if (path_like) notes = "Note: \"" + arg + "\" was read as switches. " + k_path_hint;
        if (have_pattern) notes += late_ignore_case_note(arg);
        if (have_pattern && acts_on_later_files(arg)) late_walk_switch = arg;
        if (!notes.empty()) {
          if (have_pattern) {
            // After the results of the files named before it, like any message of the run.
            file_argument in_place;
            in_place.message = std::move(notes);
            request.files.push_back(std::move(in_place));
          } else {
            banner();
            write_error(io.out, io.err, notes);
          }
        }
        continue;
      }
      std::string message = s.message() + unknown_switch_hint(s.message());
      if (path_like) message += k_path_hint;
      s = status::error(s.exit_code(), message);
      if (!have_pattern) return end_run(s);
      // Files named before the bad switch are still searched, as they would have been had
      // the switch been met only when their search was over.
      request.stop_exit_code = s.exit_code();
      request.stop_message = s.message();
      break;
    }
    if (!have_pattern) {
      status s = load_subject(&arg);
      if (!s.ok()) return end_run(s);
      if (set_file.empty()) continue;
    }
    late_walk_switch.clear();
    // Machine-readable output holds records only: no "Searching" lines.
    request.files.push_back({arg,
                             settings.recurse,
                             settings.attribute_mask,
                             settings.verbose && !request.results.json,
                             {}});
  }
  if (!have_pattern && !set_file.empty()) {
    status s = load_subject(nullptr);
    if (!s.ok()) return end_run(s);
  }
  if (!have_pattern) return end_run(status::error(k_exit_usage, k_usage_text));
  if (!late_walk_switch.empty() && request.stop_exit_code == 0) {
    write_error(io.out, io.err, late_walk_switch_note(late_walk_switch));
  }
  request.verbose = settings.verbose;
  request.progress = settings.progress;
  const std::size_t messages_before = io.err.messages();
  run_counters totals;
  const status searched_status =
      search_inputs(request, subject.target(), subject.names(), io, &totals);
  searched = true;
  found = totals.occurrences != 0;
  trouble = io.err.messages() != messages_before;
  return end_run(searched_status);
}

}  // namespace

}  // namespace bytrove
