#include "cli/run.h"

#include <cstdlib>
#include <new>
#include <optional>
#include <string_view>

#include "base/output.h"
#include "cli/hints.h"
#include "cli/loaded_patterns.h"
#include "cli/long_options.h"
#include "cli/run_settings.h"
#include "cli/switches.h"
#include "pattern/compiled_pattern.h"
#include "search/scanner.h"  // run_counters

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

// One pass in order over the arguments: switches before the pattern, the pattern, then file
// arguments, each with the switches in force where it stands; then the search. Holds what the
// pass has learnt so far. Each step returns what the pass does next; a step that ends the run
// has written its messages and left the exit code in code_.
class argument_pass {
 public:
  argument_pass(const std::vector<std::string>& args, io_context& io)
      : args_(args), io_(io), exit_status_(asks_exit_status(args)) {
    request_.threads = io.default_threads != 0 ? io.default_threads : available_cpus();
  }

  int run() {
    for (std::size_t index = 1; index < args_.size(); ++index) {
      const std::string& arg = args_[index];
      const next step =
          !options_ended_ && is_switch_argument(arg) ? take_switch(index) : take_operand(arg);
      if (step == next::end) return code_;
      if (step == next::search) break;
    }
    return search();
  }

 private:
  enum class next {
    argument,  // go on with the next argument
    search,    // no more arguments are taken: search what was named
    end,       // the run is over
  };

  // The banner is written once the options before the pattern are known: --json has none, and
  // neither have --count and --files-with-matches, whose lines are for scripts.
  void banner() {
    if (!banner_done_ && !request_.results.json && request_.results.mode == result_mode::lines) {
      io_.out.write(k_banner);
    }
    banner_done_ = true;
  }

  int end_run(const status& result) {
    banner();
    const int code = finish(io_, result);
    const bool asked = exit_status_ || request_.exit_status_says_found;
    return asked ? exit_status_code(code, searched_, found_, trouble_) : code;
  }

  next ended(const status& result) {
    code_ = end_run(result);
    return next::end;
  }

  // What is searched for, once the switches before it are known.
  status load_patterns(const std::string* pattern_text) {
    status checked = check_options(request_, io_);
    banner();
    if (!checked.ok()) return checked;
    syntax_.ignore_case = settings_.ignore_case;
    status s = set_file_.empty() ? patterns_.load_pattern(*pattern_text, syntax_, io_)
                                 : patterns_.load_set(set_file_, syntax_, io_);
    if (s.ok() && settings_.verbose && !request_.results.json) io_.out.write(patterns_.echo());
    have_pattern_ = true;
    return s;
  }

  next take_switch(std::size_t& index) {
    const std::string& arg = args_[index];
    if (arg == "--") {
      options_ended_ = true;
      return next::argument;
    }
    if (!have_pattern_) {
      if (const std::optional<next> step = take_run_option(index)) return *step;
    }
    return take_switch_letters(arg);
  }

  // The options that only stand before the pattern; nothing when args_[index] is none.
  std::optional<next> take_run_option(std::size_t& index) {
    const std::string& arg = args_[index];
    if (arg == "--help") {
      banner();
      io_.out.write(k_usage_text);
      io_.out.write(k_help_notes);
      return ended({});
    }
    if (arg == "--version") return ended({});
    if (arg == "--progress") {
      settings_.progress = true;
      return next::argument;
    }
    if (auto file = option_value(args_, index, "--patterns")) {
      set_file_ = std::move(*file);
      if (set_file_.empty()) {
        return ended(
            status::error(k_exit_usage, "--patterns needs a value: a file of patterns.\n"));
      }
      return next::argument;
    }
    bool known = false;
    status s = apply_long_option(args_, index, request_, syntax_, known);
    if (!s.ok()) return ended(s);
    if (known) return next::argument;
    return std::nullopt;
  }

  next take_switch_letters(const std::string& arg) {
    status s = parse_switches(std::string_view(arg).substr(1), settings_);
    const bool path_like = looks_like_path(arg, io_.fs);
    if (s.ok()) {
      note_switch(arg, path_like);
      return next::argument;
    }
    std::string message = s.message() + unknown_switch_hint(s.message());
    if (path_like) message += k_path_hint;
    s = status::error(s.exit_code(), message);
    if (!have_pattern_) return ended(s);
    // Files named before the bad switch are still searched, as they would have been had
    // the switch been met only when their search was over.
    request_.stop_exit_code = s.exit_code();
    request_.stop_message = s.message();
    return next::search;
  }

  // The notes a switch that was applied may call for.
  void note_switch(const std::string& arg, bool path_like) {
    std::string notes;
    if (path_like) notes = "Note: \"" + arg + "\" was read as switches. " + k_path_hint;
    if (have_pattern_) notes += late_ignore_case_note(arg);
    if (have_pattern_ && acts_on_later_files(arg)) late_walk_switch_ = arg;
    if (notes.empty()) return;
    if (have_pattern_) {
      // After the results of the files named before it, like any message of the run.
      file_argument in_place;
      in_place.message = std::move(notes);
      request_.files.push_back(std::move(in_place));
    } else {
      banner();
      write_error(io_.out, io_.err, notes);
    }
  }

  // The pattern, or a file argument.
  next take_operand(const std::string& arg) {
    if (!have_pattern_) {
      status s = load_patterns(&arg);
      if (!s.ok()) return ended(s);
      if (set_file_.empty()) return next::argument;
    }
    late_walk_switch_.clear();
    // Machine-readable output holds records only: no "Searching" lines.
    request_.files.push_back({arg,
                              settings_.recurse,
                              settings_.attribute_mask,
                              settings_.verbose && !request_.results.json,
                              {}});
    return next::argument;
  }

  int search() {
    if (!have_pattern_ && !set_file_.empty()) {
      status s = load_patterns(nullptr);
      if (!s.ok()) return end_run(s);
    }
    if (!have_pattern_) return end_run(status::error(k_exit_usage, k_usage_text));
    if (!late_walk_switch_.empty() && request_.stop_exit_code == 0) {
      write_error(io_.out, io_.err, late_walk_switch_note(late_walk_switch_));
    }
    request_.verbose = settings_.verbose;
    request_.progress = settings_.progress;
    const std::size_t messages_before = io_.err.messages();
    run_counters totals;
    const status searched_status =
        search_inputs(request_, patterns_.target(), patterns_.names(), io_, &totals);
    searched_ = true;
    found_ = totals.occurrences != 0;
    trouble_ = io_.err.messages() != messages_before;
    return end_run(searched_status);
  }

  const std::vector<std::string>& args_;
  io_context& io_;
  const bool exit_status_;  // --status among the first switches
  run_settings settings_;
  run_request request_;
  pattern_syntax syntax_;
  loaded_patterns patterns_;
  std::string set_file_;          // --patterns: every argument after the switches is a file
  std::string late_walk_switch_;  // a switch for files with no file argument after it yet
  bool options_ended_ = false;
  bool have_pattern_ = false;
  bool banner_done_ = false;
  bool searched_ = false;
  bool found_ = false;
  bool trouble_ = false;
  int code_ = 0;
};

}  // namespace

int run(const std::vector<std::string>& args, io_context& io) {
  // Memory can run out anywhere (a huge pattern set, a system under pressure): every worker
  // has stopped by the time the failure gets here, so what was found is still written, then
  // one message.
  try {
    return argument_pass(args, io).run();
  } catch (const std::bad_alloc&) {
    return finish(io, status::error(k_exit_out_of_memory, k_out_of_memory_message));
  }
}

}  // namespace bytrove
