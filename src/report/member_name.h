#pragma once

// How a member inside a packed input is named in results: the input's name followed by each
// name of the chain in braces. Member names come from the archive, so they are untrusted:
// the plain form escapes what could disturb a terminal or the braces' meaning; the JSON form
// keeps them exact.

#include <string>
#include <string_view>
#include <vector>

namespace bytrove {

// "fw.tar.gz{rootfs/bin/busybox}", "outer.zip{inner.tar.gz}{etc/passwd}", "kernel.xz{}" (the
// data of a plain compressed file has no name). In a member name, control bytes, DEL, "{", "}"
// and "\" are written as "\xHH"; the input's own name is written as it is, as everywhere.
std::string member_display_name(std::string_view input, const std::vector<std::string>& chain);

// The JSON members naming it: "path":"<input>","members":["<name>",...] with each name exact;
// when a name is not UTF-8, "members_base64" holds every name in base64 instead.
std::string member_json_name(std::string_view input, const std::vector<std::string>& chain);

}  // namespace bytrove
