#include "report/line_writer.h"

#include "report/result_format.h"

namespace bytrove {

void line_form::format(std::string& text, const occurrence& o, const context_bytes* dump) const {
  text.resize(line_.max_size());
  text.resize(line_.write(text.data(), o.offset));
  if (options_.colour) colour_report_line(text);
  if (const std::string* pattern = pattern_name(patterns_, o); pattern != nullptr) {
    text.pop_back();  // the line's "\n" goes after the pattern's name
    text += " [" + *pattern + "]\n";
  }
  if (dump != nullptr) {
    append_hex_dump(text, dump->data, dump->size, dump->offset, o.offset, o.end(), options_.colour);
  }
}

}  // namespace bytrove
