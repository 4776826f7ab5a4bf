#include "report/names_writer.h"

#include "report/result_format.h"

namespace bytrove {

std::string name_line(const result_options& options, std::string_view name,
                      std::string_view json_name) {
  if (options.json) {
    return "{\"type\":\"file\"," +
           (json_name.empty() ? json_path_member(name) : std::string(json_name)) + "}\n";
  }
  std::string text(name);
  text += options.null_names ? '\0' : '\n';
  return text;
}

}  // namespace bytrove
