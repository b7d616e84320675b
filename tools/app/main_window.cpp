#include "main_window.h"

#include <commctrl.h>

#include <algorithm>
#include <ctime>
#include <cwctype>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "console.h"
#include "cut_off_takes.h"
#include "end_session.h"
#include "events_file.h"
#include "hotkeys.h"
#include "recording_names.h"
#include "recording_summary.h"
#include "resource.h"
#include "session.h"
#include "session_end.h"
#include "settings_file.h"
#include "shell.h"
#include "start_time.h"
#include "take_repair.h"
#include "ui_text.h"
#include "win_text.h"

namespace qvapp {

namespace {

constexpr UINT_PTR kTimerId = 1;
constexpr UINT kTimerMs = 200;
constexpr UINT kRelayoutMessage = WM_APP + 1;
constexpr int kProgressSteps = 1000;
// Below this much free space a recording is not started: its files would not fit.
constexpr int64_t kMinimumFreeBytes = 64ll << 20;

enum HotKeyId { kHotKeyRecord = 1, kHotKeyPause, kHotKeyStop };

const int kFrameRates[] = {10, 15, 20, 24, 25, 30, 50, 60};
const char* const kMemorySizes[] = {"256M", "512M", "1G", "2G", "4G", "8G"};
const int32_t kSoundRates[] = {44100, 48000};

std::wstring sizeText(int64_t width, int64_t height) {
  return std::to_wstring(width) + L" \u00D7 " + std::to_wstring(height);
}

std::wstring widen(const std::string& ascii) { return fromUtf8(ascii); }

// Where a recording's files go: for the window (UTF-16) and for the library (ANSI).
struct OutputFiles {
  std::wstring qvf, wav;  // wav empty: no sound file
  std::string qvfAnsi, wavAnsi;
  std::string eventsAnsi;  // the clicks and pauses beside the .qvf, when asked for
};

std::wstring folderOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

// "Saved 3.000 s: 90 frames at 30 fps (90 captured, 0 repeat records), 320x240".
std::wstring savedText(uint64_t records, uint64_t captured, int64_t frameRate, int64_t width,
                       int64_t height) {
  const uint64_t repeats = records > captured ? records - captured : 0;
  char seconds[32];
  std::snprintf(
      seconds, sizeof(seconds), "%.3f",
      frameRate > 0 ? static_cast<double>(records) / static_cast<double>(frameRate) : 0.0);
  return tr(IDS_SAVED, {widen(seconds), std::to_wstring(records), std::to_wstring(frameRate),
                        std::to_wstring(captured), std::to_wstring(repeats), std::to_wstring(width),
                        std::to_wstring(height)});
}

std::wstring closedText(const std::wstring& title) { return tr(IDS_WINDOW_CLOSED, {title}); }

// Controls that hold the recording's settings: locked while a recording runs.
const int kSettingControls[] = {
    IDC_WINDOWS,   IDC_REFRESH, IDC_WHOLEWINDOW, IDC_SCREENREGION, IDC_FPS,    IDC_OUTSIZE,
    IDC_MATRIX,    IDC_RANGE,   IDC_SOUND,       IDC_SOUNDRATE,    IDC_MEMORY, IDC_WAITKEY,
    IDC_FOLDER,    IDC_BROWSE,  IDC_PATTERN,     IDC_STREAM,       IDC_CLICKS, IDC_EVENTS,
    IDC_COUNTDOWN, IDC_STARTAT, IDC_MINFREE,     IDC_REPAIR};

class MainWindow {
 public:
  explicit MainWindow(HWND hwnd) : hwnd_(hwnd) {}

  static INT_PTR CALLBACK dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
      auto* window = new MainWindow(hwnd);
      SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(window));
      window->onInit();
      return TRUE;
    }
    auto* window = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (window == nullptr) return FALSE;
    const INT_PTR result = window->handle(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
      SetWindowLongPtrW(hwnd, DWLP_USER, 0);
      delete window;
    }
    return result;
  }

 private:
  HWND item(int id) const { return GetDlgItem(hwnd_, id); }
  void enable(int id, bool on) const { EnableWindow(item(id), on ? TRUE : FALSE); }
  void setText(int id, const std::wstring& text) const { SetDlgItemTextW(hwnd_, id, text.c_str()); }
  std::wstring text(int id) const { return windowText(item(id)); }
  bool checked(int id) const { return IsDlgButtonChecked(hwnd_, id) == BST_CHECKED; }
  void check(int id, bool on) const { CheckDlgButton(hwnd_, id, on ? BST_CHECKED : BST_UNCHECKED); }

  int addItem(int id, const std::wstring& text, LPARAM data) const {
    const auto index = static_cast<int>(
        SendDlgItemMessageW(hwnd_, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
    SendDlgItemMessageW(hwnd_, id, CB_SETITEMDATA, index, data);
    return index;
  }
  // Selects the item carrying this data; false when there is none.
  bool selectData(int id, LPARAM data) const {
    const auto count = static_cast<int>(SendDlgItemMessageW(hwnd_, id, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
      if (SendDlgItemMessageW(hwnd_, id, CB_GETITEMDATA, i, 0) == data) {
        SendDlgItemMessageW(hwnd_, id, CB_SETCURSEL, i, 0);
        return true;
      }
    }
    return false;
  }
  LPARAM selectedData(int id, LPARAM fallback) const {
    const auto index = SendDlgItemMessageW(hwnd_, id, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return fallback;
    return static_cast<LPARAM>(SendDlgItemMessageW(hwnd_, id, CB_GETITEMDATA, index, 0));
  }

  INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);
  void onInit();
  void onCommand(int id, int code);
  void onNotify(const NMHDR* header);
  void onTimer();
  bool onClose();

  void setIcons();
  void setUpControls();
  void layOutColumns();
  void applySettings(const qvtools::HostSettings& s);
  qvtools::HostSettings currentSettings() const;
  void saveSettingsQuietly();
  void registerHotKeys();

  void refreshWindows();
  const ListedWindow* selectedWindow() const;
  void selectWindow(uint64_t handle, const std::string& title, const std::string& process);
  void fillOutputSizes();
  void updatePreview();
  bool nameFromPattern(const ListedWindow& window, std::wstring* name, std::wstring* problem) const;

  // Record: at once, or after the countdown or at the start time.
  void startRecording();
  void beginRecording();
  bool counting() const { return countdown_ != nullptr; }
  void showCountdown();
  void cancelCountdown();
  bool buildRequest(RecordingRequest* request, std::wstring* problem);
  // The files for a recording in this folder, named by the pattern (or baseName when given).
  bool chooseFiles(const std::wstring& folder, bool sound, const std::wstring& baseName,
                   OutputFiles* files, std::wstring* problem) const;
  void stopRecording(const char* reason);
  void saveElsewhere();
  void finish(const SessionStatus& status);
  void reportFiles(const SessionStatus& s, std::wstring* message, bool* error);
  std::wstring writeFailure(const std::wstring& path) const;

  // The takes in the output folder that were cut off, and their repair.
  void findCutOffTakes();
  void repairCutOffTakes();
  std::string folderAnsi() const;

  void showIdle();
  void lockSettings(bool recording);
  void setMessage(const std::wstring& text, bool error);
  void setProgress(double fraction) const {
    SendDlgItemMessageW(hwnd_, IDC_PROGRESS, PBM_SETPOS,
                        static_cast<WPARAM>(fraction * kProgressSteps + 0.5), 0);
  }

  HWND hwnd_;
  RecordingSession session_;
  LibraryFeatures features_ = libraryFeatures();
  std::vector<ListedWindow> windows_;
  qvtools::HostSettings loaded_;
  bool messageIsError_ = false;
  bool busy_ = false;  // a recording is held by the session (from start to discard)
  bool closeWhenSaved_ = false;
  bool applying_ = false;
  int64_t wantedHeight_ = 0;  // the output height the user chose; 0: as captured
  bool unsaved_ = false;      // the session holds a recording whose files could not be written
  bool paused_ = false;
  bool streamingWanted_ = false;
  bool toldInMemory_ = false;
  bool toldBlackPicture_ = false;
  bool toldGdiFallback_ = false;
  bool toldSoundLost_ = false;
  ListedWindow target_;
  UsedSettings used_;
  OutputFiles files_;                              // of the current or last recording
  std::unique_ptr<qvtools::Countdown> countdown_;  // while waiting for the start
  std::wstring startAt_;                           // the start time waited for; empty: countdown
  bool startTomorrow_ = false;
  bool toldDiskLow_ = false;
  uint64_t minFree_ = 0;  // the floor of the current recording
  std::vector<qvtools::CutOffTake> cutOff_;
};

INT_PTR MainWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      onCommand(LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_NOTIFY:
      onNotify(reinterpret_cast<const NMHDR*>(lParam));
      return FALSE;
    case WM_TIMER:
      if (wParam == kTimerId) onTimer();
      return TRUE;
    case WM_HOTKEY:
      if (wParam == kHotKeyRecord && !busy_ && !counting()) startRecording();
      if (wParam == kHotKeyStop) stopRecording("stopped with the hot key");
      if (wParam == kHotKeyPause && busy_ && features_.pause) onCommand(IDC_PAUSE, BN_CLICKED);
      return TRUE;
    case WM_ACTIVATE:
      // Windows come and go while this one is in the background.
      if (LOWORD(wParam) != WA_INACTIVE && !busy_ && !counting()) refreshWindows();
      return FALSE;
    case WM_CTLCOLORSTATIC:
      if (reinterpret_cast<HWND>(lParam) == item(IDC_MESSAGE)) {
        const HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, messageIsError_ ? RGB(176, 0, 0) : GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(dc, GetSysColor(COLOR_3DFACE));
        return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_3DFACE));
      }
      return FALSE;
    case WM_DPICHANGED:
      // The dialog manager rescales the controls; the list's columns follow afterwards.
      PostMessageW(hwnd_, kRelayoutMessage, 0, 0);
      return FALSE;
    case kRelayoutMessage:
      layOutColumns();
      return TRUE;
    case WM_CLOSE:
      if (onClose()) DestroyWindow(hwnd_);
      return TRUE;
    case WM_QUERYENDSESSION:
      if (busy_) {
        ShutdownBlockReasonCreate(hwnd_, qvtools::kEndSessionReason);
        stopRecording("the session is ending");
      }
      SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, TRUE);
      return TRUE;
    case WM_ENDSESSION:
      // The process may end as soon as this returns.
      if (wParam != FALSE && busy_) finish(waitUntilSaved(session_));
      if (wParam != FALSE) saveSettingsQuietly();
      ShutdownBlockReasonDestroy(hwnd_);
      return TRUE;
    case WM_DESTROY:
      KillTimer(hwnd_, kTimerId);
      for (int id : {kHotKeyRecord, kHotKeyPause, kHotKeyStop}) UnregisterHotKey(hwnd_, id);
      session_.discard();
      PostQuitMessage(0);
      return TRUE;
    default:
      return FALSE;
  }
}

void MainWindow::onInit() {
  setIcons();
  setUpControls();
  std::vector<std::string> problems;
  loaded_ = loadSettings(&problems);
  applySettings(loaded_);
  refreshWindows();
  registerHotKeys();
  showIdle();
  findCutOffTakes();
  if (!problems.empty()) {
    std::wstring text = tr(IDS_SETTINGS_NOT_UNDERSTOOD, {settingsPath()});
    for (const std::string& p : problems) text += L" " + fromUtf8(p);
    setMessage(text, true);
  }
  SetFocus(item(IDC_WINDOWS));
}

void MainWindow::setIcons() {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  for (const auto& [which, width, height] :
       {std::tuple<WPARAM, int, int>{ICON_BIG, SM_CXICON, SM_CYICON},
        std::tuple<WPARAM, int, int>{ICON_SMALL, SM_CXSMICON, SM_CYSMICON}}) {
    const HANDLE icon =
        LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, GetSystemMetrics(width),
                   GetSystemMetrics(height), LR_DEFAULTCOLOR | LR_SHARED);
    SendMessageW(hwnd_, WM_SETICON, which, reinterpret_cast<LPARAM>(icon));
  }
}

void MainWindow::setUpControls() {
  HWND list = item(IDC_WINDOWS);
  ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
  std::wstring headings[] = {tr(IDS_COLUMN_WINDOW), tr(IDS_COLUMN_PROGRAM), tr(IDS_COLUMN_SIZE)};
  for (int i = 0; i < 3; ++i) {
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_SUBITEM;
    column.pszText = &headings[i][0];
    column.iSubItem = i;
    ListView_InsertColumn(list, i, &column);
  }
  layOutColumns();

  for (int rate : kFrameRates) addItem(IDC_FPS, std::to_wstring(rate), rate);
  addItem(IDC_MATRIX, tr(IDS_MATRIX_AUTO), 0);
  addItem(IDC_MATRIX, L"BT.601", 1);
  addItem(IDC_MATRIX, L"BT.709", 2);
  addItem(IDC_RANGE, tr(IDS_RANGE_TV), 0);
  addItem(IDC_RANGE, tr(IDS_RANGE_FULL), 1);
  for (size_t i = 0; i < kSoundChoiceCount; ++i) {
    const SoundChoice& c = kSoundChoices[i];
    const bool playback = c.source == SoundSource::kPlayback || c.source == SoundSource::kBoth;
    if (playback && !features_.playbackSound) continue;
    addItem(IDC_SOUND, tr(c.label), static_cast<LPARAM>(c.source));
  }
  for (int32_t rate : kSoundRates) {
    addItem(IDC_SOUNDRATE, tr(IDS_SOUND_RATE_HZ, {std::to_wstring(rate)}), rate);
  }
  for (const char* size : kMemorySizes) addItem(IDC_MEMORY, widen(size), 0);
  SendDlgItemMessageW(hwnd_, IDC_PROGRESS, PBM_SETRANGE32, 0, kProgressSteps);

  enable(IDC_PAUSE, false);
  enable(IDC_POINTER, features_.pointer);
  std::wstring missing;
  for (const auto& [available, id] : {std::pair<bool, UINT>{features_.pause, IDS_MISSING_PAUSE},
                                      {features_.pointer, IDS_MISSING_POINTER},
                                      {features_.playbackSound, IDS_MISSING_PLAYBACK}}) {
    if (!available) missing += (missing.empty() ? L"" : tr(IDS_LIST_SEPARATOR)) + tr(id);
  }
  if (!missing.empty()) setText(IDC_NOTE, tr(IDS_NOT_AVAILABLE, {missing}));
}

void MainWindow::layOutColumns() {
  RECT units{0, 0, 96, 0};
  MapDialogRect(hwnd_, &units);
  const int title = units.right;
  units = RECT{0, 0, 46, 0};
  MapDialogRect(hwnd_, &units);
  const int program = units.right;
  RECT client;
  GetClientRect(item(IDC_WINDOWS), &client);
  const int scrollBar = GetSystemMetrics(SM_CXVSCROLL);
  const int size = client.right - title - program - scrollBar;
  ListView_SetColumnWidth(item(IDC_WINDOWS), 0, title);
  ListView_SetColumnWidth(item(IDC_WINDOWS), 1, program);
  ListView_SetColumnWidth(item(IDC_WINDOWS), 2, size > 20 ? size : 20);
}

void MainWindow::applySettings(const qvtools::HostSettings& s) {
  applying_ = true;
  wantedHeight_ = s.outputHeight;
  if (!selectData(IDC_FPS, static_cast<LPARAM>(s.frameRate))) {
    setText(IDC_FPS, std::to_wstring(s.frameRate));
  }
  selectData(IDC_MATRIX, s.colorMatrix == "601" ? 1 : s.colorMatrix == "709" ? 2 : 0);
  selectData(IDC_RANGE, s.range == "full" ? 1 : 0);
  SoundSource sound = SoundSource::kCaptureDevice;
  for (size_t i = 0; i < kSoundChoiceCount; ++i) {
    if (s.sound == kSoundChoices[i].setting) sound = kSoundChoices[i].source;
  }
  if (!selectData(IDC_SOUND, static_cast<LPARAM>(sound))) {
    selectData(IDC_SOUND, static_cast<LPARAM>(SoundSource::kCaptureDevice));
  }
  if (!selectData(IDC_SOUNDRATE, static_cast<LPARAM>(s.soundRate))) {
    selectData(IDC_SOUNDRATE, kSoundRates[0]);
  }
  check(IDC_CLICKS, s.clicks);
  check(IDC_EVENTS, s.events);
  setText(IDC_COUNTDOWN, std::to_wstring(s.countdown));
  setText(IDC_MINFREE, widen(s.minFree));
  setText(IDC_MEMORY, widen(s.memory));
  check(IDC_WHOLEWINDOW, s.area == "window");
  check(IDC_SCREENREGION, s.method == "duplication");
  check(IDC_POINTER, s.pointer && features_.pointer);
  check(IDC_WAITKEY, s.startWithF12);
  check(IDC_STREAM, s.writeWhileRecording);
  setText(IDC_FOLDER, fromUtf8(s.folder));
  setText(IDC_PATTERN, fromUtf8(s.pattern));
  applying_ = false;
  updatePreview();
}

qvtools::HostSettings MainWindow::currentSettings() const {
  qvtools::HostSettings s = loaded_;  // keeps what the window does not show (hot keys)
  if (const ListedWindow* w = selectedWindow()) {
    s.windowTitle = w->wholeScreen ? "" : toUtf8(w->title);
    s.windowProcess = w->wholeScreen ? "" : toUtf8(w->processName);
  }
  const std::string fps = toUtf8(text(IDC_FPS));
  if (!fps.empty() && fps.size() < 4 && fps.find_first_not_of("0123456789") == std::string::npos) {
    const int64_t rate = std::stoll(fps);
    if (rate >= 1 && rate <= 240) s.frameRate = rate;
  }
  s.outputHeight = wantedHeight_;
  const LPARAM matrix = selectedData(IDC_MATRIX, 0);
  s.colorMatrix = matrix == 1 ? "601" : matrix == 2 ? "709" : "auto";
  s.range = selectedData(IDC_RANGE, 0) == 1 ? "full" : "tv";
  s.area = checked(IDC_WHOLEWINDOW) ? "window" : "client";
  // "gdi", written by hand in the file, stays while the box is not ticked.
  if (checked(IDC_SCREENREGION)) {
    s.method = "duplication";
  } else if (s.method == "duplication") {
    s.method = "auto";
  }
  uint64_t bytes = 0;
  const std::string memory = toUtf8(text(IDC_MEMORY));
  if (qvtools::parseBytes(memory, &bytes)) s.memory = memory;
  const auto sound = static_cast<SoundSource>(
      selectedData(IDC_SOUND, static_cast<LPARAM>(SoundSource::kCaptureDevice)));
  s.sound = soundChoice(sound).setting;
  s.soundRate = selectedData(IDC_SOUNDRATE, kSoundRates[0]);
  s.clicks = checked(IDC_CLICKS);
  s.events = checked(IDC_EVENTS);
  const std::string countdown = toUtf8(text(IDC_COUNTDOWN));
  if (!countdown.empty() && countdown.size() < 6 &&
      countdown.find_first_not_of("0123456789") == std::string::npos) {
    s.countdown = std::min<int64_t>(std::stoll(countdown), 86400);
  }
  const std::string minFree = toUtf8(text(IDC_MINFREE));
  if (minFree == "0" || qvtools::parseBytes(minFree, &bytes)) s.minFree = minFree;
  if (features_.pointer) s.pointer = checked(IDC_POINTER);
  s.startWithF12 = checked(IDC_WAITKEY);
  s.writeWhileRecording = checked(IDC_STREAM);
  s.folder = toUtf8(text(IDC_FOLDER));
  s.pattern = toUtf8(text(IDC_PATTERN));
  return s;
}

void MainWindow::saveSettingsQuietly() {
  loaded_ = currentSettings();
  std::wstring error;
  if (!saveSettings(loaded_, &error)) {
    setMessage(tr(IDS_SETTINGS_NOT_SAVED, {settingsPath(), error}), true);
  }
}

void MainWindow::registerHotKeys() {
  struct Binding {
    int id;
    const std::string* text;
    UINT action;
    bool wanted;
  };
  const Binding bindings[] = {{kHotKeyRecord, &loaded_.recordKey, IDS_HOTKEY_RECORDS, true},
                              {kHotKeyPause, &loaded_.pauseKey, IDS_HOTKEY_PAUSES, features_.pause},
                              {kHotKeyStop, &loaded_.stopKey, IDS_HOTKEY_STOPS, true}};
  std::wstring keys, problems;
  for (const Binding& b : bindings) {
    if (!b.wanted) continue;
    HotKey key;
    if (!parseHotKey(*b.text, &key)) {
      problems += tr(IDS_HOTKEY_NOT_A_KEY, {fromUtf8(*b.text)});
      continue;
    }
    if (key.key == 0) continue;
    if (!RegisterHotKey(hwnd_, b.id, key.modifiers | MOD_NOREPEAT, key.key)) {
      problems += tr(IDS_HOTKEY_TAKEN, {fromUtf8(*b.text)});
      continue;
    }
    keys += (keys.empty() ? L"" : tr(IDS_LIST_SEPARATOR)) + fromUtf8(*b.text) + L" " + tr(b.action);
  }
  std::wstring line = keys.empty() ? tr(IDS_HOTKEYS_NONE) : tr(IDS_HOTKEYS_LIST, {keys});
  line += problems + tr(IDS_HOTKEYS_CHANGE);
  setText(IDC_HOTKEYS, line);
}

void MainWindow::refreshWindows() {
  const ListedWindow* previous = selectedWindow();
  const uint64_t keep = previous != nullptr ? previous->handle : 0;
  const std::wstring keptTitle = previous != nullptr ? previous->title : L"";
  const bool first = windows_.empty();
  windows_ = listWindows();
  HWND list = item(IDC_WINDOWS);
  SendMessageW(list, WM_SETREDRAW, FALSE, 0);
  ListView_DeleteAllItems(list);
  const bool frame = checked(IDC_WHOLEWINDOW);
  for (size_t i = 0; i < windows_.size(); ++i) {
    const ListedWindow& w = windows_[i];
    std::wstring title = w.wholeScreen ? tr(IDS_WHOLE_SCREEN) : w.title;
    if (title.empty()) title = tr(IDS_NO_TITLE);
    LVITEMW row{};
    row.mask = LVIF_TEXT | LVIF_PARAM;
    row.iItem = static_cast<int>(i);
    row.pszText = &title[0];
    row.lParam = static_cast<LPARAM>(i);
    const int index = ListView_InsertItem(list, &row);
    std::wstring program = w.processName;
    ListView_SetItemText(list, index, 1, &program[0]);
    std::wstring size = frame || w.wholeScreen ? sizeText(w.windowWidth, w.windowHeight)
                                               : sizeText(w.clientWidth, w.clientHeight);
    ListView_SetItemText(list, index, 2, &size[0]);
  }
  SendMessageW(list, WM_SETREDRAW, TRUE, 0);
  if (first) {
    selectWindow(0, loaded_.windowTitle, loaded_.windowProcess);
  } else {
    selectWindow(keep, "", "");
    if (keep != 0 && selectedWindow() == nullptr) setMessage(closedText(keptTitle), true);
  }
  updatePreview();
}

const ListedWindow* MainWindow::selectedWindow() const {
  const int index = ListView_GetNextItem(item(IDC_WINDOWS), -1, LVNI_SELECTED);
  if (index < 0 || static_cast<size_t>(index) >= windows_.size()) return nullptr;
  return &windows_[static_cast<size_t>(index)];
}

void MainWindow::selectWindow(uint64_t handle, const std::string& title,
                              const std::string& process) {
  int chosen = -1;
  for (size_t i = 0; i < windows_.size() && chosen < 0; ++i) {
    const ListedWindow& w = windows_[i];
    if (handle != 0 ? w.handle == handle
                    : !title.empty() && toUtf8(w.title) == title &&
                          (process.empty() || toUtf8(w.processName) == process)) {
      chosen = static_cast<int>(i);
    }
  }
  if (chosen < 0 && handle == 0 && title.empty()) chosen = 0;
  HWND list = item(IDC_WINDOWS);
  if (chosen >= 0) {
    ListView_SetItemState(list, chosen, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_EnsureVisible(list, chosen, FALSE);
  }
  fillOutputSizes();
}

void MainWindow::fillOutputSizes() {
  SendDlgItemMessageW(hwnd_, IDC_OUTSIZE, CB_RESETCONTENT, 0, 0);
  const ListedWindow* w = selectedWindow();
  if (w == nullptr) {
    addItem(IDC_OUTSIZE, tr(IDS_AS_CAPTURED), 0);
  } else {
    const bool frame = checked(IDC_WHOLEWINDOW) || w->wholeScreen;
    const qvtools::PictureSize captured{frame ? w->windowWidth : w->clientWidth,
                                        frame ? w->windowHeight : w->clientHeight};
    addItem(IDC_OUTSIZE, tr(IDS_AS_CAPTURED_SIZE, {sizeText(captured.width, captured.height)}), 0);
    // The height chosen before stays on offer for every window it fits.
    std::vector<int64_t> heights = qvtools::smallerHeights(captured);
    if (wantedHeight_ > 0 && wantedHeight_ < captured.height &&
        std::find(heights.begin(), heights.end(), wantedHeight_) == heights.end()) {
      heights.insert(
          std::upper_bound(heights.begin(), heights.end(), wantedHeight_, std::greater<int64_t>()),
          wantedHeight_);
    }
    for (int64_t height : heights) {
      const qvtools::PictureSize scaled = qvtools::scaledSize(captured, height);
      addItem(IDC_OUTSIZE, sizeText(scaled.width, scaled.height), static_cast<LPARAM>(height));
    }
  }
  if (!selectData(IDC_OUTSIZE, static_cast<LPARAM>(wantedHeight_))) selectData(IDC_OUTSIZE, 0);
}

bool MainWindow::nameFromPattern(const ListedWindow& window, std::wstring* name,
                                 std::wstring* problem) const {
  const std::string pattern = toUtf8(text(IDC_PATTERN));
  std::string reason;
  if (!qvtools::checkFileNamePattern(pattern, &reason)) {
    // The pattern's one fault (a brace left open), in the program's language.
    *problem = tr(IDS_FILE_NAME_PROBLEM, {tr(IDS_FILE_NAME_UNCLOSED)});
    return false;
  }
  qvtools::NameFields fields;
  const std::time_t now = std::time(nullptr);
  localtime_s(&fields.time, &now);
  if (!window.wholeScreen) fields.windowTitle = toUtf8(window.title);
  fields.processName = toUtf8(window.processName);
  // The library opens files by their ANSI names.
  *name = ansiSafeFileName(fromUtf8(qvtools::expandFileNamePattern(pattern, fields)));
  return true;
}

void MainWindow::updatePreview() {
  if (applying_) return;
  const ListedWindow* w = selectedWindow();
  std::wstring name, problem;
  if (nameFromPattern(w != nullptr ? *w : ListedWindow{}, &name, &problem)) {
    setText(IDC_PREVIEW, name + L".qvf");
  } else {
    setText(IDC_PREVIEW, problem);
  }
}

void MainWindow::onCommand(int id, int code) {
  switch (id) {
    case IDC_REFRESH:
      refreshWindows();
      break;
    case IDC_WHOLEWINDOW:
      if (code == BN_CLICKED) refreshWindows();
      break;
    case IDC_OUTSIZE:
      if (code == CBN_SELCHANGE) wantedHeight_ = selectedData(IDC_OUTSIZE, 0);
      break;
    case IDC_PATTERN:
      if (code == EN_CHANGE) updatePreview();
      break;
    case IDC_BROWSE: {
      std::wstring folder;
      if (pickFolder(hwnd_, text(IDC_FOLDER), &folder)) {
        setText(IDC_FOLDER, folder);
        findCutOffTakes();
      }
      break;
    }
    case IDC_RECORD:
      if (!busy_ && !counting()) startRecording();
      break;
    case IDC_REPAIR:
      repairCutOffTakes();
      break;
    case IDC_FOLDER:
      if (code == EN_KILLFOCUS) findCutOffTakes();
      break;
    case IDC_PAUSE:
      // Enabled once the library can pause (libraryFeatures().pause).
      if (paused_) {
        session_.resume();
      } else {
        session_.pause();
      }
      paused_ = !paused_;
      setText(IDC_PAUSE, tr(paused_ ? IDS_RESUME : IDS_PAUSE));
      break;
    case IDC_STOP:
      stopRecording("stopped");
      break;
    case IDC_OPENFOLDER:
      showInFolder(folderOf(files_.qvf), files_.qvf);
      break;
    case IDC_SAVEAS:
      saveElsewhere();
      break;
    case IDCANCEL:  // Esc must not close the main window
    default:
      break;
  }
}

void MainWindow::onNotify(const NMHDR* header) {
  if (header->idFrom != IDC_WINDOWS || header->code != LVN_ITEMCHANGED) return;
  const auto* change = reinterpret_cast<const NMLISTVIEW*>(header);
  if ((change->uNewState & LVIS_SELECTED) != 0 && (change->uOldState & LVIS_SELECTED) == 0) {
    fillOutputSizes();
    updatePreview();
  }
}

bool MainWindow::buildRequest(RecordingRequest* request, std::wstring* problem) {
  const std::string fps = toUtf8(text(IDC_FPS));
  if (fps.empty() || fps.size() > 6 || fps.find_first_not_of("0123456789") != std::string::npos) {
    *problem = tr(IDS_FPS_NOT_NUMBER);
    return false;
  }
  request->frameRate = std::stoll(fps);
  if (request->frameRate > 240) {
    *problem = tr(IDS_FPS_TOO_HIGH);
    return false;
  }
  // The library refuses rates below 1 itself, with its own reason.
  uint64_t memory = 0;
  if (!qvtools::parseBytes(toUtf8(text(IDC_MEMORY)), &memory)) {
    *problem = tr(IDS_MEMORY_NOT_SIZE);
    return false;
  }
  request->memoryBytes = memory;
  request->colorMatrix = static_cast<int32_t>(selectedData(IDC_MATRIX, 0));
  request->fullRange = selectedData(IDC_RANGE, 0) == 1;
  request->clientArea = !checked(IDC_WHOLEWINDOW);
  request->captureMethod = checked(IDC_SCREENREGION) ? QV_METHOD_DUPLICATION
                           : loaded_.method == "gdi" ? QV_METHOD_GDI
                                                     : QV_METHOD_AUTO;
  request->sound = static_cast<SoundSource>(
      selectedData(IDC_SOUND, static_cast<LPARAM>(SoundSource::kCaptureDevice)));
  request->soundRate = static_cast<int32_t>(selectedData(IDC_SOUNDRATE, kSoundRates[0]));
  request->clicks = checked(IDC_CLICKS);
  request->pointer = features_.pointer && checked(IDC_POINTER);
  request->waitForKey = checked(IDC_WAITKEY);
  request->streaming = checked(IDC_STREAM);
  const std::string minFree = toUtf8(text(IDC_MINFREE));
  uint64_t floor = 0;
  if (minFree != "0" && !qvtools::parseBytes(minFree, &floor)) {
    *problem = tr(IDS_MIN_FREE_NOT_SIZE);
    return false;
  }
  request->minFreeBytes = request->streaming ? floor : 0;

  // The sizes may have changed since the list was made: read them again.
  const ListedWindow* chosen = selectedWindow();
  const ListedWindow before = chosen != nullptr ? *chosen : ListedWindow{};
  if (chosen == nullptr) {
    *problem = tr(IDS_CHOOSE_WINDOW);
    return false;
  }
  refreshWindows();
  chosen = selectedWindow();
  if (chosen == nullptr || chosen->handle != before.handle) {
    *problem = closedText(before.title);
    return false;
  }
  target_ = *chosen;
  request->window = chosen->handle;
  const bool frame = !request->clientArea || chosen->wholeScreen;
  const qvtools::PictureSize captured{frame ? chosen->windowWidth : chosen->clientWidth,
                                      frame ? chosen->windowHeight : chosen->clientHeight};
  const int64_t height = selectedData(IDC_OUTSIZE, 0);
  if (height > 0) {
    const qvtools::PictureSize scaled = qvtools::scaledSize(captured, height);
    request->outputWidth = scaled.width;
    request->outputHeight = scaled.height;
  }
  OutputFiles files;
  if (!chooseFiles(text(IDC_FOLDER), request->sound != SoundSource::kNone, L"", &files, problem)) {
    return false;
  }
  if (request->minFreeBytes > 0) {
    // A recording that would stop at once is not started.
    const int64_t free = freeBytes(text(IDC_FOLDER));
    if (free >= 0 && static_cast<uint64_t>(free) < request->minFreeBytes) {
      *problem = tr(IDS_BELOW_FLOOR_BEFORE,
                    {widen(qvtools::formatBytes(static_cast<uint64_t>(free))), text(IDC_FOLDER),
                     widen(qvtools::formatBytes(request->minFreeBytes))});
      return false;
    }
  }
  files_ = files;
  request->qvfPath = files.qvfAnsi;
  request->wavPath = files.wavAnsi;
  if (checked(IDC_EVENTS)) request->eventsPath = files.eventsAnsi;
  return true;
}

bool MainWindow::chooseFiles(const std::wstring& folder, bool sound, const std::wstring& baseName,
                             OutputFiles* files, std::wstring* problem) const {
  if (folder.empty()) {
    *problem = tr(IDS_CHOOSE_FOLDER);
    return false;
  }
  std::wstring error;
  if (!makeFolder(folder, &error)) {
    *problem = tr(IDS_FOLDER_CANNOT_BE_MADE, {folder, error});
    return false;
  }
  const int64_t free = freeBytes(folder);
  if (free >= 0 && free < kMinimumFreeBytes) {
    *problem = tr(IDS_DISK_FULL_BEFORE,
                  {folder, widen(qvtools::formatBytes(static_cast<uint64_t>(free)))});
    return false;
  }
  std::wstring base = baseName;
  if (base.empty() && !nameFromPattern(target_, &base, problem)) return false;
  const std::wstring stem =
      folder.back() == L'\\' || folder.back() == L'/' ? folder : folder + L"\\";
  // Never over an earlier recording.
  std::wstring name = base;
  for (int n = 2;
       fileExistsW(stem + name + L".qvf") || (sound && fileExistsW(stem + name + L".wav")) ||
       fileExistsW(stem + name + L".events.csv");
       ++n) {
    name = base + L" (" + std::to_wstring(n) + L")";
  }
  files->qvf = stem + name + L".qvf";
  files->wav = sound ? stem + name + L".wav" : L"";
  files->wavAnsi.clear();
  if (!ansiPath(folder, name + L".qvf", &files->qvfAnsi) ||
      (sound && !ansiPath(folder, name + L".wav", &files->wavAnsi))) {
    *problem = tr(IDS_FOLDER_NOT_ANSI, {folder});
    return false;
  }
  files->eventsAnsi = qvtools::eventsPathFor(files->qvfAnsi);
  // The library opens its files with the narrow functions, which stop at MAX_PATH; ".part" is
  // added while a file is written.
  if (files->qvfAnsi.size() + 5 >= MAX_PATH) {
    *problem = tr(IDS_PATH_TOO_LONG, {files->qvf, std::to_wstring(MAX_PATH - 6)});
    return false;
  }
  return true;
}

void MainWindow::startRecording() {
  if (unsaved_ && MessageBoxW(hwnd_, tr(IDS_CONFIRM_NEW_RECORDING).c_str(), L"Quorvane",
                              MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) != IDYES) {
    return;
  }
  // The start time, when one is given, is waited for; else the countdown.
  const std::wstring startAt = text(IDC_STARTAT);
  const std::string countdown = toUtf8(text(IDC_COUNTDOWN));
  double wait = 0;
  startAt_.clear();
  if (!startAt.empty()) {
    int secondOfDay = 0;
    if (!qvtools::parseTimeOfDay(toUtf8(startAt), &secondOfDay)) {
      setMessage(tr(IDS_START_AT_NOT_TIME), true);
      return;
    }
    startAt_ = startAt;
    wait = static_cast<double>(
        qvtools::secondsUntilTimeOfDay(std::time(nullptr), secondOfDay, &startTomorrow_));
  } else if (!countdown.empty()) {
    if (countdown.size() > 5 || countdown.find_first_not_of("0123456789") != std::string::npos ||
        std::stoll(countdown) > 86400) {
      setMessage(tr(IDS_COUNTDOWN_NOT_NUMBER), true);
      return;
    }
    wait = static_cast<double>(std::stoll(countdown));
  }
  if (wait <= 0) {
    beginRecording();
    return;
  }
  countdown_ = std::make_unique<qvtools::Countdown>(wait, qvtools::steadyWaitClock());
  setMessage(L"", false);
  setText(IDC_FILES, L"");
  saveSettingsQuietly();
  lockSettings(true);
  setProgress(0);
  showCountdown();
  SetTimer(hwnd_, kTimerId, kTimerMs, nullptr);
}

void MainWindow::showCountdown() {
  const int64_t left = countdown_->shownSeconds();
  if (startAt_.empty()) {
    setText(IDC_STATE, tr(IDS_COUNTDOWN_LINE, {std::to_wstring(left)}));
  } else {
    setText(IDC_STATE, tr(startTomorrow_ ? IDS_START_AT_TOMORROW : IDS_START_AT_LINE,
                          {startAt_, widen(qvtools::formatClock(static_cast<double>(left)))}));
  }
}

void MainWindow::cancelCountdown() {
  KillTimer(hwnd_, kTimerId);
  countdown_.reset();
  setMessage(tr(IDS_CANCELLED), false);
  setText(IDC_STATE, tr(IDS_READY));
  lockSettings(false);
}

void MainWindow::beginRecording() {
  RecordingRequest request;
  std::wstring problem;
  if (!buildRequest(&request, &problem)) {
    setMessage(problem, true);
    return;
  }
  minFree_ = request.minFreeBytes;
  // Starting drops a recording that could not be saved: the user said yes to that above.
  const int32_t status = session_.start(request, &used_);
  unsaved_ = false;
  if (status != 0) {
    setMessage(refusalText(status), true);
    showIdle();
    return;
  }
  busy_ = true;
  closeWhenSaved_ = false;
  streamingWanted_ = request.streaming;
  paused_ = false;
  setText(IDC_PAUSE, tr(IDS_PAUSE));
  toldInMemory_ = false;
  toldBlackPicture_ = false;
  toldGdiFallback_ = false;
  toldSoundLost_ = false;
  toldDiskLow_ = false;
  setMessage(L"", false);
  setText(IDC_FILES, L"");
  saveSettingsQuietly();
  lockSettings(true);
  setProgress(0);
  SetTimer(hwnd_, kTimerId, kTimerMs, nullptr);
  onTimer();
}

void MainWindow::stopRecording(const char* reason) {
  if (counting()) cancelCountdown();
  if (busy_) session_.stop(reason);
}

void MainWindow::saveElsewhere() {
  const SessionStatus s = session_.poll();
  if (s.phase != Phase::kWriteFailed) return;
  std::wstring folder;
  if (!pickFolder(hwnd_, folderOf(files_.qvf), &folder)) return;
  OutputFiles files;
  std::wstring problem;
  // The same names in the new folder.
  std::wstring base = files_.qvf.substr(folderOf(files_.qvf).size() + 1);
  base.resize(base.size() - 4);
  if (!chooseFiles(folder, !files_.wav.empty(), base, &files, &problem)) {
    setMessage(problem, true);
    return;
  }
  // Only what failed moves.
  const bool video = !s.videoWritten();
  const bool sound = !files_.wav.empty() && !s.soundWritten();
  if (video) files_.qvf = files.qvf;
  if (sound) files_.wav = files.wav;
  setMessage(L"", false);
  busy_ = true;
  unsaved_ = false;
  lockSettings(true);
  enable(IDC_STOP, false);
  session_.writeAgain(video ? files.qvfAnsi : "", sound ? files.wavAnsi : "");
  SetTimer(hwnd_, kTimerId, kTimerMs, nullptr);
}

void MainWindow::onTimer() {
  if (counting()) {
    if (!countdown_->due()) {
      showCountdown();
      return;
    }
    KillTimer(hwnd_, kTimerId);
    countdown_.reset();
    lockSettings(false);
    beginRecording();
    return;
  }
  const SessionStatus s = session_.poll();
  switch (s.phase) {
    case Phase::kWaitingForKey:
      setText(IDC_STATE, tr(IDS_WAITING_FOR_KEY));
      break;
    case Phase::kRecording: {
      if (s.blackPicture && !toldBlackPicture_) {
        // Said once; the recording goes on, since its sound may be what matters.
        toldBlackPicture_ = true;
        setMessage(tr(IDS_BLACK_PICTURE), true);
      }
      if (s.soundLost && !toldSoundLost_) {
        // Said once; the picture goes on, and the sound is silence from here to the stop.
        toldSoundLost_ = true;
        setMessage(tr(IDS_SOUND_LOST_SILENCE), true);
      }
      if (s.gdiFallback && !toldGdiFallback_) {
        toldGdiFallback_ = true;
        setMessage(tr(IDS_GDI_FALLBACK), true);
      }
      std::wstring line =
          tr(IDS_RECORDING_LINE, {widen(qvtools::formatClock(s.elapsed)), std::to_wstring(s.frames),
                                  std::to_wstring(s.missedSlots)});
      const std::wstring fill = std::to_wstring(static_cast<int>(s.poolFill * 100 + 0.5)) + L" %";
      if (s.streaming) {
        const int64_t written = fileSizeW(files_.qvf);
        line += tr(
            IDS_WRITTEN_BACKLOG,
            {widen(qvtools::formatBytes(static_cast<uint64_t>(written > 0 ? written : 0))), fill});
        if (s.diskSecondsLeft >= 0) {
          line += tr(IDS_DISK_LEFT, {widen(qvtools::formatClock(s.diskSecondsLeft))});
        }
        if (s.diskLow && !toldDiskLow_) {
          toldDiskLow_ = true;
          std::wstring warning = tr(IDS_DISK_LOW, {folderOf(files_.qvf)});
          if (minFree_ > 0)
            warning += tr(IDS_DISK_LOW_FLOOR, {widen(qvtools::formatBytes(minFree_))});
          setMessage(warning, true);
        }
      } else {
        line += tr(IDS_MEMORY_FULL_SHARE, {fill});
        if (streamingWanted_ && !toldInMemory_) {
          toldInMemory_ = true;
          setMessage(tr(IDS_STREAM_NOT_CREATED, {folderOf(files_.qvf)}), true);
        }
      }
      setText(IDC_STATE, line);
      setProgress(s.poolFill);
      break;
    }
    case Phase::kStopping:
      setText(IDC_STATE, tr(IDS_STOPPING));
      break;
    case Phase::kWriting:
      setText(IDC_STATE,
              s.streaming
                  ? tr(IDS_FINISHING)
                  : tr(IDS_WRITING, {std::to_wstring(static_cast<int>(s.writeProgress * 100))}));
      setProgress(s.writeProgress);
      break;
    case Phase::kIdle:
      break;
    default:
      finish(s);
      break;
  }
}

std::wstring MainWindow::writeFailure(const std::wstring& path) const {
  const int64_t free = freeBytes(folderOf(path));
  if (free >= 0 && free < (1 << 20)) return tr(IDS_DISK_IS_FULL);
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return systemErrorText(GetLastError());
  CloseHandle(file);
  return tr(IDS_WRITE_FAILED);
}

void MainWindow::reportFiles(const SessionStatus& s, std::wstring* message, bool* error) {
  std::wstring files, state = tr(IDS_NOT_SAVED);
  if (s.cutShort) {
    *error = true;
    files = files_.qvf;
    *message += tr(IDS_CUT_SHORT);
    state = tr(IDS_STOPPED_BY_WRITE);
  } else if (s.videoWritten()) {
    files = files_.qvf + L"   (" +
            widen(qvtools::formatBytes(static_cast<uint64_t>(fileSizeW(files_.qvf)))) + L")";
    state =
        savedText(s.records, s.captured, used_.frameRate, used_.outputWidth, used_.outputHeight);
  } else {
    *error = true;
    *message += tr(IDS_COULD_NOT_SAVE, {files_.qvf, writeFailure(files_.qvf)});
  }
  if (!files_.wav.empty() && (s.cutShort || s.soundWritten())) {
    const double soundSeconds = qvtools::wavSeconds(fileSizeW(files_.wav));
    char seconds[32];
    std::snprintf(seconds, sizeof(seconds), "%.3f", soundSeconds);
    files += (files.empty() ? L"" : L"\r\n") + files_.wav + L"   (" +
             tr(IDS_SOUND_SECONDS, {widen(seconds)}) + L")";
    if (!s.soundCaptured) {
      if (s.soundStatus == QV_SOURCE_NO_LOOPBACK) {
        *message += tr(IDS_NO_SOUND_LOOPBACK);
      } else if (s.soundStatus == QV_SOURCE_FORMAT_REFUSED) {
        *message += tr(s.playbackSound ? IDS_NO_SOUND_OUTPUT_FORMAT : IDS_NO_SOUND_DEVICE_FORMAT);
      } else {
        *message += tr(IDS_NO_SOUND_DEVICE);
      }
    } else if (soundSeconds <= 0) {
      *message += tr(IDS_SOUND_EMPTY);
    } else if (s.bothSources && s.deviceStatus != QV_SOURCE_READY) {
      *message += tr(IDS_ONLY_PLAYBACK);
    } else if (s.bothSources && s.playbackStatus != QV_SOURCE_READY) {
      *message += tr(IDS_ONLY_CAPTURE_DEVICE);
    }
  } else if (!files_.wav.empty()) {
    *error = true;
    *message +=
        tr(IDS_COULD_NOT_SAVE,
           {files_.wav, s.soundWriteFailed() ? tr(IDS_WRITE_FAILED) : writeFailure(files_.wav)});
  }
  setText(IDC_FILES, files);
  setText(IDC_STATE, s.phase == Phase::kWritten ? state : tr(IDS_NOT_SAVED));
}

void MainWindow::finish(const SessionStatus& s) {
  KillTimer(hwnd_, kTimerId);
  busy_ = false;
  std::wstring message;
  bool error = false;
  const std::string reason = s.stopReason;
  if (!reason.empty() && reason != "stopped" && reason != "stopped with the hot key") {
    message = tr(IDS_RECORDING_STOPPED, {fromUtf8(reason)});
  }
  if (s.eventsFailed) message += tr(IDS_EVENTS_NOT_WRITTEN, {fromAnsi(files_.eventsAnsi)});
  if (s.phase == Phase::kWritten || s.phase == Phase::kWriteFailed) {
    // Complete files of a recording cut short by a closed window, a lost device or the disk's
    // floor: not a plain success.
    error = s.sourceLost || s.diskFloor;
    reportFiles(s, &message, &error);
    if (s.phase == Phase::kWriteFailed) {
      message += tr(IDS_STILL_IN_MEMORY);
      unsaved_ = true;
      closeWhenSaved_ = false;
    } else {
      session_.discard();
    }
    setProgress(s.phase == Phase::kWritten ? 1.0 : 0.0);
  } else {
    session_.discard();
    if (s.phase == Phase::kCancelled) {
      message = tr(IDS_CANCELLED);
    } else if (s.phase == Phase::kNothingRecorded) {
      error = true;
      message += tr(IDS_NOTHING_CAPTURED);
    }
    setText(IDC_STATE, tr(IDS_READY));
    setProgress(0);
  }
  setMessage(message, error);
  lockSettings(false);
  if (closeWhenSaved_) PostMessageW(hwnd_, WM_CLOSE, 0, 0);
}

std::string MainWindow::folderAnsi() const {
  std::string folder;
  if (!toCodePageExactly(GetACP(), text(IDC_FOLDER), &folder)) folder.clear();
  return folder;
}

void MainWindow::findCutOffTakes() {
  // The same check as qvf verify's "cut off"; a folder the library cannot name has no takes
  // of its own.
  const std::string folder = folderAnsi();
  cutOff_ = folder.empty() ? std::vector<qvtools::CutOffTake>{} : qvtools::findCutOffTakes(folder);
  std::wstring list;
  for (const qvtools::CutOffTake& take : cutOff_) {
    char seconds[32];
    std::snprintf(seconds, sizeof(seconds), "%.1f", take.seconds);
    const std::wstring path = fromAnsi(take.path);
    list += (list.empty() ? L"" : L"\r\n") +
            tr(IDS_CUT_OFF_TAKE, {path.substr(folderOf(path).size() + 1), widen(seconds),
                                  std::to_wstring(take.frames)});
    if (!take.wavPath.empty()) list += tr(IDS_CUT_OFF_WITH_WAV);
  }
  if (!cutOff_.empty())
    list = tr(IDS_CUT_OFF_FOUND, {std::to_wstring(cutOff_.size())}) + L"\r\n" + list;
  setText(IDC_CUTOFF, list);
  ShowWindow(item(IDC_CUTOFF), cutOff_.empty() ? SW_HIDE : SW_SHOW);
  ShowWindow(item(IDC_REPAIR), cutOff_.empty() ? SW_HIDE : SW_SHOW);
}

void MainWindow::repairCutOffTakes() {
  std::wstring repaired, failed;
  for (const qvtools::CutOffTake& take : cutOff_) {
    std::vector<qvtools::RepairReport> reports{qvtools::repairContainerFile(take.path)};
    // The WAV beside it only once the recording itself is whole.
    if (reports[0].ok() && !take.wavPath.empty()) {
      reports.push_back(qvtools::repairWavFile(take.wavPath));
    }
    for (const qvtools::RepairReport& r : reports) {
      if (!r.ok()) failed += (failed.empty() ? L"" : L" ") + fromAnsi(r.problem) + L".";
    }
    if (reports.back().ok()) {
      const std::wstring path = fromAnsi(take.path);
      repaired += (repaired.empty() ? L"" : tr(IDS_LIST_SEPARATOR)) +
                  path.substr(folderOf(path).size() + 1);
    }
  }
  std::wstring message;
  if (!repaired.empty()) message = tr(IDS_REPAIRED, {repaired});
  if (!failed.empty()) message += (message.empty() ? L"" : L" ") + tr(IDS_REPAIR_FAILED, {failed});
  setMessage(message, !failed.empty());
  findCutOffTakes();
}

void MainWindow::showIdle() {
  lockSettings(false);
  setText(IDC_STATE, tr(IDS_READY_CHOOSE));
}

void MainWindow::lockSettings(bool recording) {
  for (int id : kSettingControls) enable(id, !recording);
  enable(IDC_POINTER, !recording && features_.pointer);
  enable(IDC_RECORD, !recording);
  enable(IDC_STOP, recording);
  enable(IDC_PAUSE, recording && features_.pause);
  enable(IDC_SAVEAS, !recording && unsaved_);
  enable(IDC_OPENFOLDER, !recording && !files_.qvf.empty() && fileExistsW(files_.qvf));
  // Keep the keyboard where it can act: Stop while recording, the list otherwise.
  HWND focus = GetFocus();
  if (focus == nullptr || !IsWindowEnabled(focus)) {
    SendMessageW(hwnd_, WM_NEXTDLGCTL,
                 reinterpret_cast<WPARAM>(item(recording ? IDC_STOP : IDC_RECORD)), TRUE);
  }
}

void MainWindow::setMessage(const std::wstring& text, bool error) {
  messageIsError_ = error;
  setText(IDC_MESSAGE, text);
  if (error && !text.empty()) MessageBeep(MB_ICONWARNING);
}

bool MainWindow::onClose() {
  if (counting()) cancelCountdown();
  if (busy_) {
    // Whatever runs is saved first; the window closes when the files are written.
    closeWhenSaved_ = true;
    session_.stop(toUtf8(tr(IDS_PROGRAM_CLOSED)));
    setText(IDC_STATE, tr(IDS_SAVING_BEFORE_CLOSE));
    return false;
  }
  if (unsaved_ && MessageBoxW(hwnd_, tr(IDS_CONFIRM_CLOSE).c_str(), L"Quorvane",
                              MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) != IDYES) {
    return false;
  }
  saveSettingsQuietly();
  return true;
}

}  // namespace

HWND createMainWindow(HINSTANCE instance, int show) {
  // The language first: the dialog's template and every string follow it.
  setUiLanguage(chooseUiLanguage(loadSettings(nullptr).language));
  HWND window = createDialogInLanguage(instance, IDD_MAIN, MainWindow::dialogProc);
  if (window != nullptr) ShowWindow(window, show);
  return window;
}

}  // namespace qvapp
