#include "win_text.h"

#include <vector>

namespace qvapp {

namespace {

std::wstring toWide(UINT codePage, const std::string& text) {
  if (text.empty()) return L"";
  const int n =
      MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) {
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  }
  return out;
}

std::wstring joinPath(const std::wstring& folder, const std::wstring& name) {
  if (folder.empty()) return name;
  const wchar_t last = folder.back();
  return last == L'\\' || last == L'/' ? folder + name : folder + L"\\" + name;
}

}  // namespace

bool toCodePageExactly(UINT codePage, const std::wstring& text, std::string* out) {
  out->clear();
  if (text.empty()) return true;
  // UTF-8 holds every character, and the system refuses the best-fit flag and the lossy flag
  // for it: only a broken surrogate cannot be converted, and that has to fail rather than
  // become U+FFFD, which would name another file.
  const bool utf8 = codePage == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL lossy = FALSE;
  BOOL* lossyFlag = utf8 ? nullptr : &lossy;
  const int size = static_cast<int>(text.size());
  const int n =
      WideCharToMultiByte(codePage, flags, text.data(), size, nullptr, 0, nullptr, lossyFlag);
  if (n <= 0) return false;
  out->assign(static_cast<size_t>(n), '\0');
  if (WideCharToMultiByte(codePage, flags, text.data(), size, &(*out)[0], n, nullptr, lossyFlag) !=
      n) {
    out->clear();
    return false;
  }
  return lossy == FALSE;
}

std::wstring fromAnsi(const std::string& text) { return toWide(CP_ACP, text); }
std::wstring fromUtf8(const std::string& text) { return toWide(CP_UTF8, text); }

std::string toUtf8(const std::wstring& text) {
  if (text.empty()) return "";
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                        nullptr);
  }
  return out;
}

bool ansiPath(const std::wstring& folder, const std::wstring& fileName, std::string* path) {
  if (toCodePageExactly(GetACP(), joinPath(folder, fileName), path)) return true;
  const DWORD n = GetShortPathNameW(folder.c_str(), nullptr, 0);
  if (n == 0) return false;
  std::vector<wchar_t> shortName(n + 1);
  if (GetShortPathNameW(folder.c_str(), shortName.data(), n + 1) == 0) return false;
  return toCodePageExactly(GetACP(), joinPath(shortName.data(), fileName), path);
}

std::wstring ansiSafeFileName(const std::wstring& name) {
  std::wstring out;
  std::string ignored;
  const UINT codePage = GetACP();
  for (size_t i = 0; i < name.size();) {
    // A character outside the basic plane is two UTF-16 units, converted together.
    const bool pair =
        i + 1 < name.size() && IS_HIGH_SURROGATE(name[i]) && IS_LOW_SURROGATE(name[i + 1]);
    const std::wstring one = name.substr(i, pair ? 2 : 1);
    out += toCodePageExactly(codePage, one, &ignored) ? one : std::wstring(L"_");
    i += one.size();
  }
  return out;
}

std::wstring systemErrorText(DWORD error) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = n > 0 && buffer != nullptr ? std::wstring(buffer, n) : L"";
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                           text.back() == L'.')) {
    text.pop_back();
  }
  if (text.empty()) text = L"error " + std::to_wstring(error);
  return text;
}

std::wstring windowText(HWND window) {
  const int n = GetWindowTextLengthW(window);
  if (n <= 0) return L"";
  std::wstring text(static_cast<size_t>(n) + 1, L'\0');
  const int got = GetWindowTextW(window, &text[0], n + 1);
  text.resize(static_cast<size_t>(got > 0 ? got : 0));
  return text;
}

}  // namespace qvapp
