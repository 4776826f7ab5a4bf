#include "report/json_writer.h"

#include "report/result_format.h"

namespace bytrove {

void json_form::start(std::string_view name, std::string_view json_name) {
  prefix_ = "{\"type\":\"match\",";
  prefix_ += json_name.empty() ? json_path_member(name) : std::string(json_name);
  prefix_ += ",\"offset\":";
}

void json_form::format(std::string& text, const occurrence& o, const context_bytes* dump) const {
  text = prefix_;
  append_decimal(text, o.offset);
  if (const std::string* pattern = pattern_name(patterns_, o); pattern != nullptr) {
    text += ",\"pattern\":";
    append_json_string(text, *pattern);
  }
  if (dump != nullptr) {
    text += ",\"length\":";
    append_decimal(text, o.length);
    text += ",\"context_offset\":";
    append_decimal(text, dump->offset);
    text += ",\"context\":\"";
    append_hex_bytes(text, dump->data, dump->size);
    text += '"';
  }
  text += "}\n";
}

}  // namespace bytrove
