#include "report/member_name.h"

#include "report/result_format.h"

namespace bytrove {

std::string member_display_name(std::string_view input, const std::vector<std::string>& chain) {
  static constexpr char k_hex[] = "0123456789ABCDEF";
  std::string name(input);
  for (const std::string& member : chain) {
    name += '{';
    for (const char c : member) {
      const auto b = static_cast<unsigned char>(c);
      if (b < 0x20 || b == 0x7f || c == '{' || c == '}' || c == '\\') {
        name += "\\x";
        name += k_hex[b >> 4];
        name += k_hex[b & 15];
      } else {
        name += c;
      }
    }
    name += '}';
  }
  return name;
}

std::string member_json_name(std::string_view input, const std::vector<std::string>& chain) {
  bool utf8 = true;
  for (const std::string& member : chain) utf8 = utf8 && valid_utf8(member);
  std::string json = json_path_member(input);
  json += utf8 ? ",\"members\":[" : ",\"members_base64\":[";
  for (std::size_t i = 0; i < chain.size(); ++i) {
    if (i != 0) json += ',';
    if (utf8) {
      append_json_string(json, chain[i]);
    } else {
      json += '"';
      append_base64(json, chain[i]);
      json += '"';
    }
  }
  json += ']';
  return json;
}

}  // namespace bytrove
