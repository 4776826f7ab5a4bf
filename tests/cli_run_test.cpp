#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/output.h"
#include "cli/run.h"
#include "test_support.h"
#include "walk/file_system.h"

namespace bytrove {
namespace {

const std::string k_usage =
    "\n"
    "Usage:   Bytrove [-options] [\"]<pattern>[\"] files ...\n"
    "\n"
    "   options:  <i>gnore case, <r>ecurse into subdirectories,\n"
    "             include <h>idden or <s>ystem files, be <v>erbose\n"
    " <pattern>:  one or more of [ HEX-pair | 'string' | ? ]\n"
    "             (? = wildcard, pattern must be contiguous or quoted!)\n";

const std::string k_banner_line = k_banner;

std::string line(std::uint64_t offset, const std::string& name) {
  return reference_report_line(offset, name);
}

std::string summary(int occurrences, int files, int bytes) {
  return "Found " + std::to_string(occurrences) + " occurence(s) in " + std::to_string(files) +
         " file(s) (" + std::to_string(bytes) + " bytes searched).\n";
}

std::string no_match(const std::string& what) {
  return "Found no files matching '" + what + "'.\n";
}

std::string joined(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& arg : args) text += "<" + arg + "> ";
  return text;
}

void expect_run(const std::vector<std::string>& args, const std::string& out,
                const std::string& err, int code, const std::string& stdin_data = {}) {
  const run_result r = run_capture(args, stdin_data);
  EXPECT_EQ(r.out, out) << "args " << joined(args);
  EXPECT_EQ(r.err, err) << "args " << joined(args);
  EXPECT_EQ(r.code, code) << "args " << joined(args);
}

TEST(cli_run, banner_is_one_line_with_name_and_version) {
  EXPECT_EQ(k_banner_line.rfind("Bytrove 2.1 ", 0), 0u);
  EXPECT_GT(k_banner_line.size(), std::string("Bytrove 2.1 \n").size());  // a credit follows
  EXPECT_EQ(k_banner_line.find('\n'), k_banner_line.size() - 1);
}

TEST(cli_run, missing_pattern_prints_usage_with_exit_1) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"-i"}, {"-i", "/v", "-R+"}, {"--"}, {"-v", "--"}, {"--progress"}}) {
    expect_run(args, k_banner_line, k_usage, 1, "A");
  }
}

const std::string k_path_hint = "Paths that begin with \"/\" go after --.\n";

TEST(cli_run, unknown_switch_before_the_pattern_is_exit_3) {
  struct row {
    std::vector<std::string> args;
    std::string option;
    bool hint = false;  // looks like a path: another "/", or a name that exists ("/" does)
  };
  // clang-format off
  const std::vector<row> rows = {
      {{"-q"}, "q"},
      {{"-q", "GG"}, "q"},  // switches are applied before the pattern is looked at
      {{"-"}, ""},
      {{"-", "41"}, ""},
      {{"/", "41"}, "", true},
      {{"/x", "41"}, "x"},
      {{"-x+"}, "x+"},
      {{"--x", "41"}, "-x"},
      {{"--helpme"}, "-helpme"},
      {{"/tmp/a.bin"}, "tmp/a.bin", true},
      {{"-v", "-iQ", "41"}, "Q"},
  };
  // clang-format on
  for (const row& r : rows) {
    expect_run(r.args, k_banner_line,
               "Unknown option \"" + r.option + "\".\n" + (r.hint ? k_path_hint : ""), 3, "A");
  }
}

// Nothing exists but the names given, so "/" arguments made of switch letters can name
// something, as "/srv" does on many systems. Runs on it search standard input only.
class names_only_file_system final : public file_system {
 public:
  explicit names_only_file_system(std::set<std::string> names) : names_(std::move(names)) {}
  bool list_directory(const std::string&, std::vector<dir_entry>&) override { return false; }
  bool find_entry(const std::string&, const std::string&, dir_entry&) override { return false; }
  bool is_directory(const std::string&) override { return false; }
  bool exists(const std::string& path) override { return names_.count(path) != 0; }
  int open_file(const std::string&, const dir_entry&) override { return -1; }
  void close_file(int) override {}

 private:
  std::set<std::string> names_;
};

TEST(cli_run, switch_arguments_that_name_something_get_a_hint) {
  names_only_file_system fs({"/rv", "/I", "/q"});
  auto run_both = [&](const std::vector<std::string>& args, int& code) {
    std::string both;  // both streams in one text, to see the note in its place
    output out(&both);
    output err(&both);
    const unique_fd stdin_fd = input_file("aA");
    io_context io{out, err, stdin_fd.get(), fs};
    apply_test_environment(io);
    code = run(args, io);
    out.flush();
    return both;
  };
  const auto note = [](const std::string& arg) {
    return "Note: \"" + arg + "\" was read as switches. " + k_path_hint;
  };
  int code = -1;
  // Accepted: applied, and noted at once; "/v" names nothing, so it passes without a word.
  EXPECT_EQ(run_both({"bytrove", "/rv", "/v", "'a'", "/I"}, code),
            k_banner_line + note("/rv") + "Searching for HEX pattern 61 ...\n" + note("/I") +
                "Note: -i after the pattern changes nothing; it goes before the pattern.\n" +
                "Searching StdIn ...\n" + line(0, "StdIn") + summary(1, 1, 2));
  EXPECT_EQ(code, 0);
  // After a file argument, in its place: after that argument's messages and results.
  EXPECT_EQ(run_both({"bytrove", "41", "x", "/rv", "y"}, code),
            k_banner_line + "Found no files matching 'x'.\n" + note("/rv") +
                "Found no files matching 'y'.\n" + summary(0, 0, 0));
  EXPECT_EQ(code, 0);
  EXPECT_EQ(run_both({"bytrove", "41", "/q"}, code),
            k_banner_line + "Unknown option \"q\".\n" + k_path_hint);
  EXPECT_EQ(code, 3);
}

TEST(cli_run, pattern_errors_end_the_run_before_any_input) {
  const std::string bad_hex = "Hexadecimal pattern is not valid.\n";
  const std::string trailing = "Trailing wildcard is not allowed.\n";
  expect_run({"GG"}, k_banner_line, bad_hex, 2, "A");
  expect_run({""}, k_banner_line, bad_hex, 2, "A");
  expect_run({"-v", "4 1"}, k_banner_line, bad_hex, 2, "A");
  expect_run({"--", "-41"}, k_banner_line, bad_hex, 2, "A");
  expect_run({"--", "--help"}, k_banner_line, bad_hex, 2, "A");
  expect_run({"41?"}, k_banner_line, trailing, 4, "A");
  expect_run({"-v", "41?", "x.bin"}, k_banner_line, trailing, 4, "A");
  expect_run({" "}, k_banner_line, trailing, 4, "A");
  expect_run({"''"}, k_banner_line, trailing, 4, "A");
}

TEST(cli_run, help_and_version) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--help"}, {"-v", "--help", "GG"}}) {
    const run_result r = run_capture(args);
    EXPECT_EQ(r.code, 0) << joined(args);
    EXPECT_EQ(r.err, "") << joined(args);
    EXPECT_EQ(r.out.rfind(k_banner_line + k_usage, 0), 0u) << r.out;
    EXPECT_NE(r.out.find("--", (k_banner_line + k_usage).size()), std::string::npos)
        << "the help should explain \"--\": " << r.out;
  }
  expect_run({"--version"}, k_banner_line, "", 0, "A");
  expect_run({"-i", "--version", "41"}, k_banner_line, "", 0, "A");
  // After the pattern they are ordinary switch texts.
  expect_run({"41", "--help"}, k_banner_line, "Unknown option \"-help\".\n", 3, "A");
  expect_run({"41", "--version"}, k_banner_line, "Unknown option \"-version\".\n", 3, "A");
  expect_run({"41", "--progress"}, k_banner_line, "Unknown option \"-progress\".\n", 3, "A");
  // Before it, --progress is accepted and the run goes on.
  expect_run({"--progress", "41"}, k_banner_line + line(0, "StdIn"), "", 0, "A");
}

TEST(cli_run, standard_input_is_searched_as_StdIn) {
  expect_run({"41 42"}, k_banner_line + line(0, "StdIn") + line(3, "StdIn"), "", 0, "ABxAB");
  expect_run({"41"}, k_banner_line, "", 0, "");
  // Switches alone after the pattern still leave standard input to be searched; -v given
  // there prints the per-input line and the summary but no echo.
  expect_run({"41", "-v"},
             k_banner_line + "Searching StdIn ...\n" + line(0, "StdIn") + summary(1, 1, 1), "", 0,
             "A");
}

TEST(cli_run, standard_input_from_a_pipe) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const unique_fd read_end(fds[0]);
  {
    const unique_fd write_end(fds[1]);
    write_all(write_end.get(), "xxAB");
  }
  std::string out;
  std::string err;
  int code = -1;
  {
    output out_sink(&out);
    output err_sink(&err);
    posix_file_system fs;
    io_context io{out_sink, err_sink, read_end.get(), fs};
    apply_test_environment(io);
    code = run({"bytrove", "-v", "'AB'"}, io);
  }
  EXPECT_EQ(out, k_banner_line + "Searching for HEX pattern 41 42 ...\n" + "Searching StdIn ...\n" +
                     line(2, "StdIn") + summary(1, 1, 4));
  EXPECT_EQ(err, "");
  EXPECT_EQ(code, 0);
}

TEST(cli_run, verbose_echo_and_summary) {
  expect_run({"-v", "41 ? 'a'"},
             k_banner_line + "Searching for HEX pattern 41 ?? 61 ...\n" + "Searching StdIn ...\n" +
                 line(0, "StdIn") + line(3, "StdIn") + summary(2, 1, 6),
             "", 0, "AzaAAa");
  // Letters of the switch are case-insensitive.
  expect_run({"-V", "'a'"},
             k_banner_line + "Searching for HEX pattern 61 ...\n" + "Searching StdIn ...\n" +
                 summary(0, 1, 0),
             "", 0, "");
}

TEST(cli_run, summary_counts_every_searched_file) {
  temp_dir dir;
  dir.write_file("a.bin", "AAAA");
  dir.write_file("empty.bin", "");
  dir.write_file("c.bin", "zAA");
  const scoped_chdir cd(dir.path());
  expect_run({"-v", "41 41", "a.bin", "empty.bin", "missing.bin", "c.bin"},
             k_banner_line + "Searching for HEX pattern 41 41 ...\n" + "Searching a.bin ...\n" +
                 line(0, "a.bin") + line(1, "a.bin") + line(2, "a.bin") +
                 "Searching empty.bin ...\n" + "Searching c.bin ...\n" + line(1, "c.bin") +
                 summary(4, 3, 7),
             no_match("missing.bin"), 0, "AAAA");
}

TEST(cli_run, double_dash_ends_the_switches) {
  temp_dir dir;
  const std::string file = dir.write_file("f.bin", "xAx");
  const scoped_chdir cd(dir.path());
  // An absolute path can only be named after "--".
  expect_run({"--", "41", file}, k_banner_line + line(1, file), "", 0);
  expect_run({"41", "--", file}, k_banner_line + line(1, file), "", 0);
  // After "--", switch-like arguments and a second "--" are file names.
  expect_run({"-v", "--", "41", "--", file},
             k_banner_line + "Searching for HEX pattern 41 ...\n" + "Searching " + file + " ...\n" +
                 line(1, file) + summary(1, 1, 3),
             no_match("--"), 0);
  expect_run({"41", "--", "-r", "--", "-q"}, k_banner_line,
             no_match("-r") + no_match("--") + no_match("-q"), 0, "A");
}

TEST(cli_run, switch_between_file_arguments_holds_for_the_following_ones) {
  temp_dir dir;
  for (const char* name : {"a.bin", "b.bin", "sub/a.bin", "sub/b.bin"}) dir.write_file(name, "A");
  const scoped_chdir cd(dir.path());
  expect_run({"41", "-r", "a.bin", "-r-", "b.bin"},
             k_banner_line + line(0, "a.bin") + line(0, "sub/a.bin") + line(0, "b.bin"), "", 0);
  expect_run({"41", "a.bin", "-v", "b.bin"},
             k_banner_line + line(0, "a.bin") + "Searching b.bin ...\n" + line(0, "b.bin") +
                 summary(2, 2, 2),
             "", 0);
}

TEST(cli_run, unknown_switch_after_the_pattern_stops_the_run_there) {
  temp_dir dir;
  dir.write_file("a.bin", "A");
  dir.write_file("b.bin", "A");
  const scoped_chdir cd(dir.path());
  // a.bin was searched; b.bin, standard input and the summary are not reached.
  expect_run({"-v", "41", "a.bin", "-q", "b.bin"},
             k_banner_line + "Searching for HEX pattern 41 ...\n" + "Searching a.bin ...\n" +
                 line(0, "a.bin"),
             "Unknown option \"q\".\n", 3, "A");
  expect_run({"41", "-q"}, k_banner_line, "Unknown option \"q\".\n", 3, "A");
  expect_run({"41", "/tmp/a.bin"}, k_banner_line, "Unknown option \"tmp/a.bin\".\n" + k_path_hint,
             3, "A");
}

TEST(cli_run, file_argument_that_matches_nothing) {
  temp_dir dir;
  dir.write_file("d/.hidden", "A");
  dir.write_file("d/sub/f.bin", "A");
  const scoped_chdir cd(dir.path());
  // No standard-input fallback once a file argument was given.
  expect_run({"41", "x.bin"}, k_banner_line, no_match("x.bin"), 0, "A");
  expect_run({"41", "nodir/x.bin"}, k_banner_line, no_match("nodir/x.bin"), 0, "A");
  expect_run({"41", "*.none"}, k_banner_line, no_match("*.none"), 0, "A");
  expect_run({"41", "--", dir.path("x.bin")}, k_banner_line, no_match(dir.path("x.bin")), 0);
  // A directory whose only file is hidden and whose subdirectory is not entered.
  expect_run({"41", "d"}, k_banner_line, no_match("d/*"), 0);
  expect_run({"41", "d/"}, k_banner_line, no_match("d/*"), 0);
  expect_run({"41", "--", dir.path("d")}, k_banner_line, no_match(dir.path("d") + "/*"), 0);
  // With the switches that admit them, the same arguments find files.
  expect_run({"41", "-h", "d"}, k_banner_line + line(0, "d/.hidden"), "", 0);
  expect_run({"41", "-r", "d"}, k_banner_line + line(0, "d/sub/f.bin"), "", 0);
}

TEST(cli_run, empty_file_argument_searches_the_current_directory) {
  temp_dir dir;
  dir.write_file("b.bin", "A");
  dir.write_file("a.bin", "xA");
  dir.write_file(".hidden", "A");
  dir.write_file("sub/c.bin", "A");
  dir.make_dir("empty");
  {
    const scoped_chdir cd(dir.path());
    expect_run({"41", ""}, k_banner_line + line(1, "a.bin") + line(0, "b.bin"), "", 0, "A");
  }
  const scoped_chdir cd(dir.path("empty"));
  expect_run({"41", ""}, k_banner_line, no_match("*"), 0, "A");
}

TEST(cli_run, ignore_case_given_after_the_pattern_changes_nothing) {
  temp_dir dir;
  dir.write_file("f", "aA");
  const scoped_chdir cd(dir.path());
  // It says so: the switch has nothing left to change.
  const std::string late =
      "Note: -i after the pattern changes nothing; it goes before the pattern.\n";
  expect_run({"'a'", "-i", "f"}, k_banner_line + line(0, "f"), late, 0);
  expect_run({"-i", "'a'", "-i-", "f"}, k_banner_line + line(0, "f") + line(1, "f"), late, 0);
}

TEST(cli_run, ignore_case_before_the_pattern_folds_string_letters_only) {
  expect_run({"-i", "41 'a'"}, k_banner_line + line(1, "StdIn") + line(3, "StdIn"), "", 0, "xAaAA");
  expect_run({"-i", "61 'A'"}, k_banner_line + line(0, "StdIn") + line(1, "StdIn"), "", 0, "aaa");
  expect_run({"-i", "-v", "'Ab'"},
             k_banner_line + "Searching for HEX pattern 61 62 ...\n" + "Searching StdIn ...\n" +
                 line(0, "StdIn") + line(2, "StdIn") + line(4, "StdIn") + line(6, "StdIn") +
                 summary(4, 1, 8),
             "", 0, "abABaBAb");
}

TEST(cli_run, messages_keep_their_place_among_the_results) {
  temp_dir dir;
  dir.write_file("a.bin", "A");
  dir.write_file("c.bin", "A");
  const scoped_chdir cd(dir.path());
  // Both streams into one text: standard output must be flushed before each message.
  std::string both;
  int code = -1;
  {
    output out(&both);
    output err(&both);
    posix_file_system fs;
    const unique_fd stdin_fd = input_file("");
    io_context io{out, err, stdin_fd.get(), fs};
    apply_test_environment(io);
    code = run({"bytrove", "41", "a.bin", "missing", "c.bin", "-q"}, io);
  }
  EXPECT_EQ(both, k_banner_line + line(0, "a.bin") + no_match("missing") + line(0, "c.bin") +
                      "Unknown option \"q\".\n");
  EXPECT_EQ(code, 3);
}

TEST(cli_run, failed_standard_output_is_exit_5) {
  const unique_fd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  if (full.get() < 0) GTEST_SKIP() << "/dev/full is not available";
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"bytrove", "--version"}, {"bytrove", "41"}}) {
    std::string err;
    int code = -1;
    {
      output out(full.get());
      output err_sink(&err);
      posix_file_system fs;
      const unique_fd stdin_fd = input_file("AAA");
      io_context io{out, err_sink, stdin_fd.get(), fs};
      apply_test_environment(io);
      code = run(args, io);
    }
    EXPECT_EQ(code, 5) << joined(args);
    EXPECT_EQ(err, "Error writing output.\n") << joined(args);
  }
}

}  // namespace
}  // namespace bytrove
