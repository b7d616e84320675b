#include "ui_text.h"

namespace qvapp {

namespace {

LANGID gLanguage = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
const LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

// A string table block holds 16 strings, each a length and that many UTF-16 units.
bool findString(UINT id, LANGID language, std::wstring* text) {
  const HMODULE module = GetModuleHandleW(nullptr);
  HRSRC block = FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW((id >> 4) + 1), language);
  if (block == nullptr) return false;
  HGLOBAL loaded = LoadResource(module, block);
  const auto* p = static_cast<const WCHAR*>(loaded != nullptr ? LockResource(loaded) : nullptr);
  if (p == nullptr) return false;
  const DWORD size = SizeofResource(module, block) / sizeof(WCHAR);
  const WCHAR* end = p + size;
  for (UINT i = 0; i < (id & 15) && p < end; ++i) p += 1 + *p;
  if (p >= end || *p == 0 || p + 1 + *p > end) return false;
  text->assign(p + 1, *p);
  return true;
}

}  // namespace

UiLanguage chooseUiLanguage(const std::string& setting) {
  if (setting == "ja") return UiLanguage::kJapanese;
  if (setting == "en") return UiLanguage::kEnglish;
  return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE ? UiLanguage::kJapanese
                                                                    : UiLanguage::kEnglish;
}

void setUiLanguage(UiLanguage language) {
  gLanguage =
      language == UiLanguage::kJapanese ? MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT) : kEnglish;
}

LANGID uiLangId() { return gLanguage; }

std::wstring tr(UINT id) {
  std::wstring text;
  if (findString(id, gLanguage, &text) || findString(id, kEnglish, &text)) return text;
  return L"#" + std::to_wstring(id);  // a missing string shows which one, never nothing
}

std::wstring tr(UINT id, std::initializer_list<std::wstring> arguments) {
  const std::wstring pattern = tr(id);
  std::wstring out;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const wchar_t c = pattern[i];
    if (c == L'%' && i + 1 < pattern.size() && pattern[i + 1] >= L'1' && pattern[i + 1] <= L'9') {
      const size_t n = static_cast<size_t>(pattern[i + 1] - L'1');
      if (n < arguments.size()) out += *(arguments.begin() + n);
      ++i;
    } else {
      out += c;
    }
  }
  return out;
}

HWND createDialogInLanguage(HINSTANCE instance, int id, DLGPROC procedure) {
  for (LANGID language : {gLanguage, kEnglish}) {
    HRSRC found = FindResourceExW(instance, RT_DIALOG, MAKEINTRESOURCEW(id), language);
    HGLOBAL loaded = found != nullptr ? LoadResource(instance, found) : nullptr;
    const auto* dialog =
        static_cast<const DLGTEMPLATE*>(loaded != nullptr ? LockResource(loaded) : nullptr);
    if (dialog != nullptr)
      return CreateDialogIndirectParamW(instance, dialog, nullptr, procedure, 0);
  }
  return CreateDialogParamW(instance, MAKEINTRESOURCEW(id), nullptr, procedure, 0);
}

}  // namespace qvapp
