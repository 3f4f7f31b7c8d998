#include "win_wizard.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include <algorithm>
#include <utility>

#include "wizardRes.h"

namespace kv::gui {

namespace {

// Controls whose text or state the model decides, with what decides it.
struct Lock {
  int id;
  Control control;
};
constexpr Lock kLocks[] = {
    {IDC_TxtProject, Control::Path},
    {IDC_Command1, Control::Browse},
    {IDC_chkAllModules, Control::AllModules},
    {IDC_Text1, Control::Major},
    {IDC_Text2, Control::Minor},
    {IDC_cmdConvert, Control::Action},
    {IDC_cmdSaveReport, Control::SaveReport},
};

std::wstring ErrorText(DWORD error) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = n && buffer ? std::wstring(buffer, n) : L"error " + std::to_wstring(error);
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L'.')) {
    text.pop_back();
  }
  return text;
}

// The file layer takes narrow paths in its code page `cp`; nullopt when the
// text holds characters that the code page cannot write.
std::optional<std::string> Narrow(const std::wstring& text, UINT cp) {
  if (text.empty()) return std::string();
  const bool utf8 = cp == CP_UTF8;
  BOOL lost = FALSE;
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const int size = static_cast<int>(text.size());
  const int n = WideCharToMultiByte(cp, flags, text.data(), size, nullptr, 0, nullptr,
                                    utf8 ? nullptr : &lost);
  if (n <= 0 || lost) return std::nullopt;
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(cp, flags, text.data(), size, out.data(), n, nullptr, nullptr);
  return out;
}

// Writes `text` to `path` through a temporary file beside it, so that a
// failed save leaves an earlier report whole. "" on success, else why not.
std::wstring WriteWhole(const std::wstring& path, const std::string& text) {
  const std::wstring temp = path + L".kvmigrate-save";
  HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return ErrorText(GetLastError());
  DWORD written = 0;
  const bool ok =
      WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
      written == text.size() && FlushFileBuffers(file);
  const DWORD error = ok ? 0 : GetLastError();
  CloseHandle(file);
  if (ok &&
      MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return L"";
  }
  const DWORD moveError = ok ? GetLastError() : error;
  DeleteFileW(temp.c_str());
  return ErrorText(moveError);
}

RECT ChildRect(HWND parent, HWND child) {
  RECT r{};
  GetWindowRect(child, &r);
  MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

}  // namespace

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int size = static_cast<int>(utf8.size());
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  std::wstring out(static_cast<size_t>(std::max(n, 0)), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, out.data(), n);
  return out;
}

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int size = static_cast<int>(wide.size());
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(std::max(n, 0)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring LineText(const std::string& bytes, unsigned cp) {
  if (bytes.empty()) return {};
  const int size = static_cast<int>(bytes.size());
  const int n = MultiByteToWideChar(cp, 0, bytes.data(), size, nullptr, 0);
  std::wstring out(static_cast<size_t>(std::max(n, 0)), L'\0');
  MultiByteToWideChar(cp, 0, bytes.data(), size, out.data(), n);
  return out;
}

// Gathers the run's lines; the first line of a batch wakes the window, the
// lines that follow before it takes them join that batch.
class WinWizard::PostingReporter : public LineReporter {
 public:
  explicit PostingReporter(WinWizard& owner) : owner_(owner) {}
  void Line(const std::string& line) override {
    bool first = false;
    {
      std::lock_guard lock(owner_.mutex_);
      first = owner_.pending_.empty();
      owner_.pending_.push_back(line);
    }
    if (first) PostMessageW(owner_.hwnd_, kLinesMessage, 0, 0);
  }

 private:
  WinWizard& owner_;
};

WinWizard::WinWizard(WinProgram program, Disk* disk)
    : program_(std::move(program)),
      ownDisk_(disk ? nullptr : std::make_unique<RealDisk>()),
      disk_(disk ? disk : ownDisk_.get()),
      pathCodePage_(disk_->PathCodePage()) {
  model_ = std::make_unique<WizardModel>(program_.kind, *this, *this,
                                         [this](const std::string& p) { return FileExists(p); });
}

WinWizard::~WinWizard() {
  if (thread_.joinable()) {
    cancel_.store(true);
    thread_.join();
  }
  if (hwnd_) DestroyWindow(hwnd_);
  if (boldFont_) DeleteObject(boldFont_);
  for (HICON icon : {bigIcon_, smallIcon_, browseIcon_}) {
    if (icon) DestroyIcon(icon);
  }
}

HWND WinWizard::Create(HINSTANCE instance, bool quitOnClose) {
  quitOnClose_ = quitOnClose;
  static bool initialised = [] {
    const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                        ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    return InitCommonControlsEx(&controls) != FALSE;
  }();
  (void)initialised;
  CreateDialogParamW(instance, MAKEINTRESOURCEW(program_.dialogId), nullptr, &DialogProc,
                     reinterpret_cast<LPARAM>(this));
  return hwnd_;
}

int WinWizard::MessageLoop() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    HWND top = GetAncestor(msg.hwnd, GA_ROOT);
    if (top && IsDialogMessageW(top, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}

INT_PTR CALLBACK WinWizard::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<WinWizard*>(lParam);
    SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    self->hwnd_ = hwnd;
  }
  auto* self = reinterpret_cast<WinWizard*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  if (!self) return FALSE;
  const INT_PTR result = self->Handle(message, wParam, lParam);
  if (message == WM_NCDESTROY) self->hwnd_ = nullptr;
  return result;
}

std::wstring WinWizard::Text(int id) const {
  HWND item = Item(id);
  const int n = GetWindowTextLengthW(item);
  std::wstring text(static_cast<size_t>(n) + 1, L'\0');
  GetWindowTextW(item, text.data(), n + 1);
  text.resize(static_cast<size_t>(n));
  return text;
}

void WinWizard::SetText(int id, const std::wstring& text) {
  if (!Item(id) || Text(id) == text) return;
  updating_ = true;
  SetWindowTextW(Item(id), text.c_str());
  updating_ = false;
}

bool WinWizard::FileExists(const std::string& utf8) {
  const std::optional<std::string> path = Narrow(Widen(utf8), pathCodePage_);
  return path && !path->empty() && disk_->Find(*path, "").has_value();
}

void WinWizard::InitDialog() {
  const HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(hwnd_, GWLP_HINSTANCE));
  const UINT dpi = GetDpiForWindow(hwnd_);
  auto icon = [&](int id, int metric) {
    const int size = GetSystemMetricsForDpi(metric, dpi);
    return static_cast<HICON>(
        LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
  };
  bigIcon_ = icon(IDI_KVMIGRATE, SM_CXICON);
  smallIcon_ = icon(IDI_KVMIGRATE, SM_CXSMICON);
  browseIcon_ = icon(IDI_BINOCULARS, SM_CXSMICON);
  SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_));
  SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));
  SendDlgItemMessageW(hwnd_, IDC_Command1, BM_SETIMAGE, IMAGE_ICON,
                      reinterpret_cast<LPARAM>(browseIcon_));
  dpi_ = dpi;
  MakeBoldFont();
  // The browse button's tool tip.
  tooltip_ = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr, instance,
                             nullptr);
  std::wstring tip = Widen(model_->texts().browseTip);
  TOOLINFOW info{};
  info.cbSize = sizeof info;
  info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  info.hwnd = hwnd_;
  info.uId = reinterpret_cast<UINT_PTR>(Item(IDC_Command1));
  info.lpszText = tip.data();
  SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&info));

  SetText(IDC_TxtProject, Widen(model_->path()));
  SetText(IDC_Text1, Widen(model_->NewVersionMajor()));
  SetText(IDC_Text2, Widen(model_->NewVersionMinor()));
  DragAcceptFiles(hwnd_, TRUE);

  RECT client{};
  GetClientRect(hwnd_, &client);
  baseClient_ = {client.right, client.bottom};
  RECT window{};
  GetWindowRect(hwnd_, &window);
  minTrack_ = {(window.right - window.left) * 2 / 3, (window.bottom - window.top) * 2 / 3};
  placed_.clear();
  for (HWND child = GetWindow(hwnd_, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    const int id = GetDlgCtrlID(child);
    if (id) placed_.push_back({id, ChildRect(hwnd_, child)});
  }
  Refresh();
  SetFocus(Item(IDC_TxtProject));
}

// The note of the .NET window is in the window's font, bold, at its scale.
void WinWizard::MakeBoldFont() {
  HWND note = Item(IDC_Label3);
  if (!note) return;
  LOGFONTW font{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(hwnd_, WM_GETFONT, 0, 0)), sizeof font, &font);
  font.lfWeight = FW_BOLD;
  HFONT bold = CreateFontIndirectW(&font);
  SendMessageW(note, WM_SETFONT, reinterpret_cast<WPARAM>(bold), TRUE);
  if (boldFont_) DeleteObject(boldFont_);
  boldFont_ = bold;
}

INT_PTR WinWizard::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      InitDialog();
      return FALSE;  // the focus is set
    case WM_COMMAND:
      Command(LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_CLOSE:
      model_->Exit();
      return TRUE;
    case WM_DESTROY:
      if (quitOnClose_) PostQuitMessage(0);
      return FALSE;
    case WM_DROPFILES: {
      auto drop = reinterpret_cast<HDROP>(wParam);
      std::vector<std::string> paths;
      const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
      for (UINT i = 0; i < count; ++i) {
        std::wstring path(DragQueryFileW(drop, i, nullptr, 0) + 1, L'\0');
        path.resize(DragQueryFileW(drop, i, path.data(), static_cast<UINT>(path.size())));
        paths.push_back(Utf8(path));
      }
      DragFinish(drop);
      model_->Drop(paths);
      return TRUE;
    }
    case WM_SIZE:
      Layout();
      return TRUE;
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      info->ptMinTrackSize = {minTrack_.cx, minTrack_.cy};
      return TRUE;
    }
    case WM_DPICHANGED: {
      // The template's controls and fonts follow the new scale; the places
      // kept for the layout do too.
      const RECT* suggested = reinterpret_cast<RECT*>(lParam);
      RECT client{};
      GetClientRect(hwnd_, &client);
      const UINT newDpi = HIWORD(wParam);
      const double scale = newDpi / static_cast<double>(dpi_ ? dpi_ : newDpi);
      dpi_ = newDpi;
      auto scaled = [&](LONG v) { return static_cast<LONG>(v * scale + 0.5); };
      for (Placed& p : placed_) {
        p.rect = {scaled(p.rect.left), scaled(p.rect.top), scaled(p.rect.right),
                  scaled(p.rect.bottom)};
      }
      baseClient_ = {scaled(baseClient_.cx), scaled(baseClient_.cy)};
      minTrack_ = {scaled(minTrack_.cx), scaled(minTrack_.cy)};
      SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top,
                   suggested->right - suggested->left, suggested->bottom - suggested->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      MakeBoldFont();
      return TRUE;
    }
    case WM_SETCURSOR:
      if (model_->running() && LOWORD(lParam) == HTCLIENT) {
        SetCursor(LoadCursorW(nullptr, IDC_APPSTARTING));
        SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, TRUE);
        return TRUE;
      }
      return FALSE;
    case kLinesMessage:
      TakeLines();
      return TRUE;
    case kEndedMessage:
      RunFinished();
      return TRUE;
    default:
      return FALSE;
  }
}

void WinWizard::Command(int id, int code) {
  switch (id) {
    case IDC_TxtProject:
      if (code == EN_CHANGE && !updating_) model_->PathEdited(Utf8(Text(id)));
      break;
    case IDC_Text1:
      if (code == EN_CHANGE && !updating_) model_->MajorEdited(Utf8(Text(id)));
      break;
    case IDC_Text2:
      if (code == EN_CHANGE && !updating_) model_->MinorEdited(Utf8(Text(id)));
      break;
    case IDC_chkAllModules:
      if (code == BN_CLICKED) {
        model_->AllModulesToggled(IsDlgButtonChecked(hwnd_, id) == BST_CHECKED);
      }
      break;
    case IDC_Command1:
      if (code == BN_CLICKED) Browse();
      break;
    case IDC_cmdConvert:
      if (code == BN_CLICKED && model_->actionVisible()) {
        focusBeforeRun_ = GetFocus();
        model_->Action();
      }
      break;
    case IDC_cmdExit:
      if (code == BN_CLICKED) model_->Exit();
      break;
    case IDC_cmdSaveReport:
      if (code == BN_CLICKED) SaveReport();
      break;
    default:
      break;  // Enter and Esc (IDOK, IDCANCEL) do nothing, as in the original window
  }
}

void WinWizard::Browse() {
  if (!model_->Enabled(Control::Browse)) return;
  const std::wstring folder = Widen(model_->BrowseFolder());
  std::optional<std::wstring> chosen;
  if (fileDialog_) {
    chosen = fileDialog_(false, folder);
  } else {
    const WizardTexts& texts = model_->texts();
    std::wstring patterns;
    for (const std::string& p : texts.patterns)
      patterns += (patterns.empty() ? L"" : L";") + Widen(p);
    std::wstring filter = Widen(FilterText(texts));
    filter += L'\0' + patterns + L'\0' + L'\0';
    std::wstring buffer(32768, L'\0');
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hwnd_;
    ofn.lpstrFilter = filter.c_str();
    ofn.lpstrFile = buffer.data();
    ofn.nMaxFile = static_cast<DWORD>(buffer.size());
    ofn.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY |
                OFN_NOCHANGEDIR | OFN_ENABLESIZING;
    if (GetOpenFileNameW(&ofn)) chosen = std::wstring(buffer.c_str());
  }
  model_->BrowseChosen(chosen ? std::optional<std::string>(Utf8(*chosen)) : std::nullopt);
}

void WinWizard::SaveReport() {
  if (!model_->report() || model_->running()) return;
  std::wstring offered = Widen(model_->ReportFileName());
  std::replace(offered.begin(), offered.end(), L'/', L'\\');
  std::optional<std::wstring> path;
  if (fileDialog_) {
    path = fileDialog_(true, offered);
  } else {
    std::wstring buffer = offered;
    buffer.resize(32768, L'\0');
    const wchar_t filter[] = L"Text files (*.txt)\0*.txt\0\0";
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hwnd_;
    ofn.lpstrFilter = filter;
    ofn.lpstrFile = buffer.data();
    ofn.nMaxFile = static_cast<DWORD>(buffer.size());
    ofn.lpstrDefExt = L"txt";
    ofn.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY |
                OFN_NOCHANGEDIR | OFN_ENABLESIZING;
    if (GetSaveFileNameW(&ofn)) path = std::wstring(buffer.c_str());
  }
  if (!path) return;
  // The report as the pane shows it, one line per line, for Notepad and the like.
  std::string text = Utf8(Text(IDC_reportText));
  text += "\r\n";
  model_->ReportSaved(Utf8(*path), Utf8(WriteWhole(*path, text)));
}

void WinWizard::Layout() {
  if (placed_.empty()) return;
  RECT client{};
  GetClientRect(hwnd_, &client);
  const int dx = client.right - baseClient_.cx;
  const int dy = client.bottom - baseClient_.cy;
  RECT path{}, list{}, exit{};
  for (const Placed& p : placed_) {
    if (p.id == IDC_TxtProject) path = p.rect;
    if (p.id == IDC_List1) list = p.rect;
    if (p.id == IDC_cmdExit) exit = p.rect;
  }
  const int margin = list.left;
  HDWP batch = BeginDeferWindowPos(static_cast<int>(placed_.size()));
  auto put = [&](int id, RECT r) {
    if (HWND item = Item(id); item && batch) {
      batch = DeferWindowPos(batch, item, nullptr, r.left, r.top, r.right - r.left,
                             r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
  };
  RECT listArea = list;
  for (const Placed& p : placed_) {
    RECT r = p.rect;
    const bool stretchX = p.id == IDC_TxtProject || p.id == IDC_List1;
    const bool moveX =
        !stretchX && (r.left >= path.right || p.id == IDC_cmdConvert || p.id == IDC_cmdExit);
    const bool below = r.top >= list.bottom;
    if (stretchX) r.right += dx;
    if (moveX) OffsetRect(&r, dx, 0);
    if (p.id == IDC_List1) r.bottom += dy;
    if (below) OffsetRect(&r, 0, dy);
    if (p.id == IDC_List1) listArea = r;
    if (p.id == IDC_reportText || p.id == IDC_cmdSaveReport || p.id == IDC_reportStatus) continue;
    if (p.id != IDC_List1) put(p.id, r);
  }
  if (!reportShown_) {
    put(IDC_List1, listArea);
  } else {
    // The list and the report share the list's place, one above the other,
    // with the Save row below the report.
    const int gap = margin;
    const int row = exit.bottom - exit.top;
    const int room = listArea.bottom - listArea.top - row - 2 * gap;
    const int half = std::max(room / 2, row);
    RECT top = listArea;
    top.bottom = top.top + half;
    RECT report = listArea;
    report.top = top.bottom + gap;
    report.bottom = listArea.bottom - row - gap;
    const int saveWidth = (exit.right - exit.left) * 3 / 2;
    RECT save{listArea.right - saveWidth, listArea.bottom - row, listArea.right, listArea.bottom};
    RECT status{listArea.left, save.top + row / 6, save.left - gap, save.bottom};
    put(IDC_List1, top);
    put(IDC_reportText, report);
    put(IDC_cmdSaveReport, save);
    put(IDC_reportStatus, status);
  }
  if (batch) EndDeferWindowPos(batch);
  if (reportShown_) {
    SendDlgItemMessageW(hwnd_, IDC_List1, LB_SETTOPINDEX,
                        SendDlgItemMessageW(hwnd_, IDC_List1, LB_GETCOUNT, 0, 0) - 1, 0);
  }
}

void WinWizard::OpenPath(const std::wstring& path) {
  if (path.empty()) return;
  std::wstring full(32768, L'\0');
  const DWORD n =
      GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  full.resize(n > 0 && n < full.size() ? n : 0);
  model_->OpenPath(Utf8(full.empty() ? path : full));
}

void WinWizard::StartRun(const RunSettings& settings) {
  cancel_.store(false);
  {
    std::lock_guard lock(mutex_);
    pending_.clear();
    outcome_ = {};
  }
  const std::optional<std::string> path = Narrow(Widen(settings.path), pathCodePage_);
  record_ = std::make_shared<RunRecord>(path.value_or(settings.path));
  MigrationRequest request;
  request.path = path.value_or("");
  request.kind = program_.migration;
  // The check box and the version boxes as they stood when the run started.
  request.allModules = settings.allModules;
  request.major = Narrow(Widen(settings.major), pathCodePage_).value_or(settings.major);
  request.minor = Narrow(Widen(settings.minor), pathCodePage_).value_or(settings.minor);
  request.hook = hook_;
  request.pathCodePage = pathCodePage_;
  if (!ownDisk_) request.disk = disk_;
  const bool unnamed = !path;
  thread_ = std::thread([this, request = std::move(request), record = record_, unnamed] {
    PostingReporter reporter(*this);
    RunOutcome outcome;
    if (unnamed) {
      // A path that the file layer cannot name is a failure of its own.
      TeeReporter both(reporter, *record);
      RunLog::Fail(both, outcome, StopCause::Unexpected, "", 0,
                   "the path holds characters that code page " + std::to_string(pathCodePage_) +
                       " cannot write");
    } else {
      outcome = RunWindowMigration(request, reporter, cancel_, *record);
    }
    {
      std::lock_guard lock(mutex_);
      outcome_ = outcome;
    }
    PostMessageW(hwnd_, kEndedMessage, 0, 0);
  });
}

void WinWizard::TakeLines() {
  std::vector<std::string> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(pending_);
  }
  model_->AddLines(std::move(batch));
}

void WinWizard::RunFinished() {
  if (thread_.joinable()) thread_.join();
  TakeLines();
  RunOutcome outcome;
  {
    std::lock_guard lock(mutex_);
    outcome = outcome_;
  }
  std::optional<std::string> report;
  if (record_ && record_->scanned()) report = ReportText(*record_, *disk_);
  HWND focus = focusBeforeRun_;
  focusBeforeRun_ = nullptr;
  model_->RunEnded(outcome, std::move(report));
  if (!hwnd_) return;  // closed
  if (!focus || !IsWindowEnabled(focus) || !IsWindowVisible(focus)) focus = Item(IDC_TxtProject);
  SendMessageW(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(focus), TRUE);
}

void WinWizard::ClearList() {
  SendDlgItemMessageW(hwnd_, IDC_List1, LB_RESETCONTENT, 0, 0);
  listExtent_ = 0;
  SendDlgItemMessageW(hwnd_, IDC_List1, LB_SETHORIZONTALEXTENT, 0, 0);
}

void WinWizard::AppendLines(const std::vector<std::string>& lines) {
  HWND list = Item(IDC_List1);
  SendMessageW(list, WM_SETREDRAW, FALSE, 0);
  HDC dc = GetDC(list);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(list, WM_GETFONT, 0, 0)));
  int widest = listExtent_;
  for (const std::string& line : lines) {
    const std::wstring text = LineText(line, pathCodePage_);
    SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    SIZE size{};
    if (GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size)) {
      widest = std::max(widest, static_cast<int>(size.cx));
    }
  }
  SelectObject(dc, old);
  ReleaseDC(list, dc);
  if (widest != listExtent_) {
    listExtent_ = widest;
    SendMessageW(list, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(widest + 8), 0);
  }
  // The last line stays in view.
  SendMessageW(list, LB_SETTOPINDEX, SendMessageW(list, LB_GETCOUNT, 0, 0) - 1, 0);
  SendMessageW(list, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(list, nullptr, TRUE);
}

void WinWizard::Refresh() {
  SetText(IDC_TxtProject, Widen(model_->path()));
  ShowWindow(Item(IDC_cmdConvert), model_->actionVisible() ? SW_SHOWNA : SW_HIDE);
  for (const Lock& lock : kLocks) {
    if (HWND item = Item(lock.id)) EnableWindow(item, model_->Enabled(lock.control));
  }
  if (model_->report()) {
    if (!reportShown_) {
      reportShown_ = true;
      for (int id : {IDC_reportText, IDC_cmdSaveReport, IDC_reportStatus}) {
        ShowWindow(Item(id), SW_SHOWNA);
      }
      // Room for both: a window still about its first height grows by half.
      RECT client{}, window{};
      GetClientRect(hwnd_, &client);
      GetWindowRect(hwnd_, &window);
      const int wanted = baseClient_.cy * 3 / 2;
      if (client.bottom < wanted && !IsZoomed(hwnd_)) {
        SetWindowPos(hwnd_, nullptr, 0, 0, window.right - window.left,
                     window.bottom - window.top + wanted - client.bottom,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
      }
    }
    std::wstring text;
    const std::string& report = *model_->report();
    size_t begin = 0;
    while (begin <= report.size()) {
      const size_t end = std::min(report.find('\n', begin), report.size());
      if (!text.empty() || begin) text += L"\r\n";
      text += LineText(report.substr(begin, end - begin), pathCodePage_);
      begin = end + 1;
    }
    SetText(IDC_reportText, text);
    Layout();
  }
  SetText(IDC_reportStatus, Widen(model_->reportStatus()));
}

void WinWizard::Close() {
  if (hwnd_) DestroyWindow(hwnd_);
}

}  // namespace kv::gui
