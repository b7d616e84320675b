#include "hotkeys.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace qvapp {

namespace {

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

UINT keyCode(const std::string& name) {
  if (name.size() == 1 && std::isalnum(static_cast<unsigned char>(name[0]))) {
    return static_cast<UINT>(name[0]);  // 'A'-'Z' and '0'-'9' are their own codes
  }
  if (name.size() >= 2 && name[0] == 'F' &&
      name.find_first_not_of("0123456789", 1) == std::string::npos && name.size() <= 3) {
    const int n = std::stoi(name.substr(1));
    if (n >= 1 && n <= 24) return static_cast<UINT>(VK_F1 + n - 1);
  }
  if (name.size() == 7 && name.compare(0, 6, "NUMPAD") == 0 &&
      std::isdigit(static_cast<unsigned char>(name[6]))) {
    return static_cast<UINT>(VK_NUMPAD0 + (name[6] - '0'));
  }
  static const struct {
    const char* name;
    UINT code;
  } kNamed[] = {{"PAUSE", VK_PAUSE},         {"INSERT", VK_INSERT}, {"DELETE", VK_DELETE},
                {"HOME", VK_HOME},           {"END", VK_END},       {"PAGEUP", VK_PRIOR},
                {"PAGEDOWN", VK_NEXT},       {"SPACE", VK_SPACE},   {"SCROLLLOCK", VK_SCROLL},
                {"PRINTSCREEN", VK_SNAPSHOT}};
  for (const auto& k : kNamed) {
    if (name == k.name) return k.code;
  }
  return 0;
}

}  // namespace

bool parseHotKey(const std::string& text, HotKey* hotKey) {
  *hotKey = HotKey{};
  std::string part;
  std::istringstream parts(upper(text));
  UINT modifiers = 0, key = 0;
  bool any = false;
  while (std::getline(parts, part, '+')) {
    part.erase(std::remove_if(part.begin(), part.end(),
                              [](unsigned char c) { return std::isspace(c) != 0; }),
               part.end());
    any = true;
    if (key != 0) return false;  // the key comes last
    if (part == "CTRL" || part == "CONTROL") {
      modifiers |= MOD_CONTROL;
    } else if (part == "ALT") {
      modifiers |= MOD_ALT;
    } else if (part == "SHIFT") {
      modifiers |= MOD_SHIFT;
    } else if (part == "WIN") {
      modifiers |= MOD_WIN;
    } else if ((key = keyCode(part)) == 0) {
      return false;
    }
  }
  if (!any) return true;
  if (key == 0) return false;
  hotKey->modifiers = modifiers;
  hotKey->key = key;
  return true;
}

}  // namespace qvapp
