// Every text the program shows comes from the string tables and dialogs in app.rc, in English
// and Japanese: the user's interface language chooses, the settings file may override it.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string>

namespace qvapp {

enum class UiLanguage { kEnglish, kJapanese };

// "ja" or "en" from the settings file ([Interface] language); anything else ("auto") follows
// the user's interface language: Japanese for Japanese, English for every other.
UiLanguage chooseUiLanguage(const std::string& setting);
void setUiLanguage(UiLanguage language);
LANGID uiLangId();

// The string in the chosen language; English where that table lacks it.
std::wstring tr(UINT id);
// The same with %1 ... %9 replaced by the arguments in order.
std::wstring tr(UINT id, std::initializer_list<std::wstring> arguments);

// The dialog template in the chosen language (English where there is none).
HWND createDialogInLanguage(HINSTANCE instance, int id, DLGPROC procedure);

}  // namespace qvapp
