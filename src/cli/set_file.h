#pragma once

#include <string>

#include "base/status.h"

namespace bytrove {

// Reading a set file (--patterns=FILE) from the file system: where a bare name is looked up,
// and how much of what kind of file is read. Parsing is pattern/pattern_set.h's.

// The path to read for `--patterns=NAME`. A NAME holding "/" or naming anything in the working
// directory is used as written. Otherwise NAME is looked up among the shipped sets: first in
// <the executable's directory>/../share/bytrove (so an installed tree may be moved), then in
// the data directory of the prefix the program was built for. Nothing found: NAME as written,
// so the message names what the user wrote.
std::string find_set_file(const std::string& name);

// Reads the whole set file at `path` into `text`. A regular file, FIFO, pipe or socket is read
// up to k_max_set_file_bytes; a larger one is refused. A FIFO is opened without waiting for a
// writer: with none it reads as empty. A character or block device is refused unread (such as
// /dev/zero, which never ends). Every failure is exit code 1 with a message naming `path`.
status read_set_file(const std::string& path, std::string& text);

}  // namespace bytrove
