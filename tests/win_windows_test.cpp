// The Win32 windows of kvMigrate and kvMigrateDotNet, made in this process
// (under Wine) and driven through their messages as a user's clicks and keys
// would drive them.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "dotnet/frmChangeVersioWin.h"
#include "dotnet_engine.h"
#include "test_util.h"
#include "vb6/frmChangeVersioWin.h"
#include "vb6_engine.h"
#include "wizardRes.h"

namespace fs = std::filesystem;
using kv::gui::WinWizard;
using kv::gui::WizardKind;
using namespace kvtest;

namespace {

struct Program {
  WizardKind kind;
  const char* example;  // folder under examples/
  const char* project;  // its project or solution
};
const Program kPrograms[] = {{WizardKind::Vb6, "vb6", "Sample.vbp"},
                             {WizardKind::DotNet, "dotnet", "Sample.sln"}};

kv::gui::WinProgram ProgramOf(WizardKind kind) {
  return kind == WizardKind::Vb6 ? kv::vb6gui::WinWindow() : kv::dotnetgui::WinWindow();
}

// Hands the thread's messages on, dialog keys included, until `done` or a
// minute has passed.
template <class Done>
bool Pump(Done done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      HWND top = GetAncestor(msg.hwnd, GA_ROOT);
      if (top && IsDialogMessageW(top, &msg)) continue;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
  return true;
}

std::wstring TextOf(HWND item) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(item)) + 1, L'\0');
  text.resize(
      static_cast<size_t>(GetWindowTextW(item, text.data(), static_cast<int>(text.size()))));
  return text;
}

std::vector<std::string> ListLines(HWND list) {
  std::vector<std::string> lines;
  const auto count = SendMessageW(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    std::wstring line(static_cast<size_t>(SendMessageW(list, LB_GETTEXTLEN, i, 0)) + 1, L'\0');
    line.resize(static_cast<size_t>(
        SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(line.data()))));
    lines.push_back(kv::gui::Utf8(line));
  }
  return lines;
}

std::wstring Wide(const std::string& s) { return kv::gui::Widen(s); }

// A copy of a program's example, and what its engine makes of it directly.
struct Example {
  TempDir dir;
  std::vector<std::string> lines;  // the engine's own lines, then "Finish..."
  std::map<std::string, std::string> migrated;
  std::map<std::string, std::string> original;
  explicit Example(const Program& p) {
    CopyTree(fs::path(KV_SOURCE_DIR) / "examples" / p.example, dir.path());
    original = dir.Snapshot();
    TempDir other;
    CopyTree(fs::path(KV_SOURCE_DIR) / "examples" / p.example, other.path());
    kv::RealDisk disk;
    CollectingSink sink;
    if (p.kind == WizardKind::Vb6) {
      kv::Vb6Migrator(disk).ConvertFile(other / p.project, sink);
    } else {
      kv::DotNetMigrator(disk).ConvertFile(other / p.project, sink);
    }
    lines = sink.lines;
    // The lines name the other copy's folder: this copy's name instead.
    for (std::string& line : lines) {
      for (size_t at; (at = line.find(other.path().string())) != std::string::npos;) {
        line.replace(at, other.path().string().size(), dir.path().string());
      }
    }
    lines.push_back("Finish...");
    migrated = other.Snapshot();
  }
  std::string Project(const Program& p) const { return dir / p.project; }
};

struct Window {
  WinWizard wizard;
  HWND hwnd;
  explicit Window(WizardKind kind)
      : wizard(ProgramOf(kind)), hwnd(wizard.Create(GetModuleHandleW(nullptr), false)) {
    ShowWindow(hwnd, SW_SHOWNORMAL);
  }
  HWND operator[](int id) const { return GetDlgItem(hwnd, id); }
  void Click(int id) const { SendMessageW((*this)[id], BM_CLICK, 0, 0); }
  bool Visible(int id) const { return IsWindowVisible((*this)[id]) != FALSE; }
  bool Enabled(int id) const { return IsWindowEnabled((*this)[id]) != FALSE; }
  bool WaitForRunEnd() {
    return Pump([&] { return !wizard.IsRunning(); });
  }
};

class WinWindowTest : public ::testing::TestWithParam<Program> {};

TEST_P(WinWindowTest, OpensAsTheOriginalWindow) {
  const Program& p = GetParam();
  Window w(p.kind);
  ASSERT_TRUE(w.hwnd);
  const bool vb6 = p.kind == WizardKind::Vb6;
  EXPECT_EQ(TextOf(w.hwnd), vb6 ? L"Korvane Visual Basic Migration wizard for version 5"
                                : L"Korvane DotNet Migration wizard for version 5");
  EXPECT_EQ(TextOf(w[IDC_Label1_0]), L"Project : ");
  EXPECT_EQ(TextOf(w[IDC_TxtProject]),
            vb6 ? L"Type your Project's full name here or choose one using the find button..."
                : L"Select your solution first...");
  EXPECT_EQ(TextOf(w[IDC_cmdConvert]), vb6 ? L"Migrate" : L"Change Controls");
  EXPECT_EQ(TextOf(w[IDC_cmdExit]), L"Exit");
  EXPECT_TRUE(SendMessageW(w[IDC_Command1], BM_GETIMAGE, IMAGE_ICON, 0));
  EXPECT_TRUE(w.Visible(IDC_cmdConvert));
  EXPECT_FALSE(w.Visible(IDC_reportText));
  EXPECT_EQ(GetFocus(), w[IDC_TxtProject]);
  if (!vb6) {
    EXPECT_EQ(TextOf(w[IDC_Text1]), L"5");
    EXPECT_EQ(TextOf(w[IDC_Text2]), L"0");
    EXPECT_EQ(TextOf(w[IDC_Label3]), L"Only for C# and VB.net solutions");
  }
  // The client area of the original window at 96 DPI, within the rounding of
  // dialog units and the font's own measures (Wine's Tahoma is wider than
  // Windows').
  RECT client{};
  GetClientRect(w.hwnd, &client);
  const double scale = GetDpiForWindow(w.hwnd) / 96.0;
  const int width = vb6 ? 571 : 737, height = vb6 ? 291 : 375;
  EXPECT_NEAR(client.right / scale, width, width * 0.2);
  EXPECT_NEAR(client.bottom / scale, height, height * 0.2);
  // Tab order.
  std::vector<int> order;
  HWND item = w[IDC_TxtProject];
  for (int i = 0; i < 8 && item; ++i) {
    order.push_back(GetDlgCtrlID(item));
    item = GetNextDlgTabItem(w.hwnd, item, FALSE);
  }
  const std::vector<int> expected =
      vb6 ? std::vector<int>{IDC_TxtProject, IDC_List1,   IDC_Command1,  IDC_chkAllModules,
                             IDC_cmdConvert, IDC_cmdExit, IDC_TxtProject}
          : std::vector<int>{IDC_TxtProject, IDC_List1, IDC_Command1, IDC_cmdConvert,
                             IDC_cmdExit,    IDC_Text1, IDC_Text2,    IDC_TxtProject};
  order.resize(expected.size());
  EXPECT_EQ(order, expected);
}

// Set the path box, click the action button, read the list and the report,
// save the report; the files are those that the engine makes.
TEST_P(WinWindowTest, MigratesWhatThePathBoxNames) {
  const Program& p = GetParam();
  Example example(p);
  Window w(p.kind);
  std::wstring offered;
  w.wizard.SetFileDialog([&](bool save, const std::wstring& o) -> std::optional<std::wstring> {
    if (!save) return std::nullopt;  // the Open dialog: Cancel
    offered = o;
    return Wide(example.dir / "report.txt");
  });
  // Cancelling the Open dialog changes nothing.
  SetWindowTextW(w[IDC_TxtProject], Wide(example.Project(p)).c_str());
  w.Click(IDC_Command1);
  EXPECT_EQ(TextOf(w[IDC_TxtProject]), Wide(example.Project(p)));
  w.Click(IDC_cmdConvert);
  EXPECT_FALSE(w.Enabled(IDC_TxtProject));
  EXPECT_FALSE(w.Enabled(IDC_Command1));
  EXPECT_FALSE(w.Enabled(IDC_cmdConvert));
  EXPECT_TRUE(w.Enabled(IDC_cmdExit));
  ASSERT_TRUE(w.WaitForRunEnd());
  EXPECT_EQ(ListLines(w[IDC_List1]), example.lines);
  EXPECT_EQ(example.dir.Snapshot(), example.migrated);
  EXPECT_EQ(TextOf(w[IDC_TxtProject]), L"Type your Project's full name here...");
  EXPECT_EQ(w.Visible(IDC_cmdConvert), p.kind == WizardKind::DotNet);
  EXPECT_TRUE(w.Enabled(IDC_TxtProject));
  ASSERT_TRUE(w.Visible(IDC_reportText));
  const std::wstring report = TextOf(w[IDC_reportText]);
  EXPECT_EQ(report.rfind(L"Summary: ", 0), 0u);
  // What is left inside the project's folder is named relative to it.
  EXPECT_EQ(report.find(Wide(example.dir.path().string())), std::wstring::npos);
  w.Click(IDC_cmdSaveReport);
  EXPECT_EQ(offered, Wide(example.dir / "kvmigrate-report.txt"));
  EXPECT_EQ(ReadFile(example.dir / "report.txt"), kv::gui::Utf8(report) + "\r\n");
  EXPECT_EQ(TextOf(w[IDC_reportStatus]), L"Saved to " + Wide(example.dir / "report.txt"));
}

// Exit during a run: the run stops, no file changes, and the window goes.
TEST_P(WinWindowTest, ExitDuringARunStopsItAndCloses) {
  const Program& p = GetParam();
  Example example(p);
  Window w(p.kind);
  std::mutex mutex;
  std::condition_variable cv;
  bool entered = false, released = false;
  w.wizard.SetTransactionHook([&](kv::DiskOp, const std::string&) {
    std::unique_lock lock(mutex);
    entered = true;
    cv.notify_all();
    cv.wait_for(lock, std::chrono::seconds(30), [&] { return released; });
    return 0;
  });
  SetWindowTextW(w[IDC_TxtProject], Wide(example.Project(p)).c_str());
  w.Click(IDC_cmdConvert);
  ASSERT_TRUE(Pump([&] {
    std::lock_guard lock(mutex);
    return entered;
  }));
  w.Click(IDC_cmdExit);
  EXPECT_TRUE(IsWindow(w.hwnd));  // until the run has stopped
  {
    std::lock_guard lock(mutex);
    released = true;
  }
  cv.notify_all();
  ASSERT_TRUE(Pump([&] { return !IsWindow(w.hwnd); }));
  EXPECT_EQ(example.dir.Snapshot(), example.original);
}

// A project dropped on the window, and one from the command line, go into the
// path box and show the action button; other drops change nothing.
TEST_P(WinWindowTest, DropAndCommandLine) {
  const Program& p = GetParam();
  Example example(p);
  Window w(p.kind);
  auto drop = [&](const std::vector<std::wstring>& files) {
    size_t chars = 1;
    for (const auto& f : files) chars += f.size() + 1;
    HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + chars * sizeof(wchar_t));
    auto* header = static_cast<DROPFILES*>(GlobalLock(memory));
    header->pFiles = sizeof(DROPFILES);
    header->fWide = TRUE;
    auto* text = reinterpret_cast<wchar_t*>(header + 1);
    for (const auto& f : files) {
      std::copy(f.begin(), f.end(), text);
      text += f.size() + 1;
    }
    GlobalUnlock(memory);
    SendMessageW(w.hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(memory), 0);
  };
  const std::wstring before = TextOf(w[IDC_TxtProject]);
  drop({Wide(example.dir / "readme.txt")});
  drop({Wide(example.Project(p)), Wide(example.Project(p))});
  EXPECT_EQ(TextOf(w[IDC_TxtProject]), before);
  drop({Wide(example.Project(p))});
  EXPECT_EQ(TextOf(w[IDC_TxtProject]), Wide(example.Project(p)));
  EXPECT_TRUE(w.Visible(IDC_cmdConvert));
  drop({Wide(example.dir / "gone") + Wide(fs::path(p.project).extension().string())});
  EXPECT_FALSE(w.Visible(IDC_cmdConvert));
  // Relative to the current folder.
  const fs::path cwd = fs::current_path();
  fs::current_path(example.dir.path());
  w.wizard.OpenPath(Wide(p.project));
  fs::current_path(cwd);
  EXPECT_EQ(TextOf(w[IDC_TxtProject]), Wide(example.Project(p)));
  EXPECT_TRUE(w.Visible(IDC_cmdConvert));
}

// As a user: type the path, Tab to the action button, press space.
TEST_P(WinWindowTest, KeyboardRun) {
  const Program& p = GetParam();
  Example example(p);
  Window w(p.kind);
  SetForegroundWindow(w.hwnd);
  auto key = [&](UINT vk) {
    HWND focus = GetFocus();
    PostMessageW(focus, WM_KEYDOWN, vk, 1);
    PostMessageW(focus, WM_KEYUP, vk, 0xC0000001);
    Pump([] { return true; });
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      HWND top = GetAncestor(msg.hwnd, GA_ROOT);
      if (top && IsDialogMessageW(top, &msg)) continue;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  };
  ASSERT_EQ(GetFocus(), w[IDC_TxtProject]);
  SendMessageW(w[IDC_TxtProject], EM_SETSEL, 0, -1);  // the text is selected, typing replaces it
  for (wchar_t c : Wide(example.Project(p))) {
    PostMessageW(GetFocus(), WM_CHAR, c, 1);
  }
  key(VK_END);
  EXPECT_EQ(TextOf(w[IDC_TxtProject]), Wide(example.Project(p)));
  for (int i = 0; i < 8 && GetFocus() != w[IDC_cmdConvert]; ++i) key(VK_TAB);
  ASSERT_EQ(GetFocus(), w[IDC_cmdConvert]);
  key(VK_SPACE);
  ASSERT_TRUE(Pump([&] { return !w.wizard.IsRunning() && ListLines(w[IDC_List1]).size() > 1; }));
  EXPECT_EQ(ListLines(w[IDC_List1]), example.lines);
  EXPECT_EQ(example.dir.Snapshot(), example.migrated);
}

// A run of 100,000 lines: every line reaches the list, and the window answers
// while they come.
constexpr int kFloodLines = 100000;
struct FloodMigrator : kv::Migrator {
  kv::RunOutcome ConvertFile(const std::string&, kv::Reporter& reporter,
                             const kv::CancelFlag*) override {
    for (int i = 0; i < kFloodLines; ++i) {
      reporter.Report({.kind = kv::EventKind::FileMissing, .name = "f" + std::to_string(i)});
    }
    return {};
  }
  kv::ScanHooks LeftoverHooks() const override { return {}; }
};
const kv::MigrationKind kFlood{
    [](std::string_view) { return true; },
    [](kv::Disk&, const kv::MigrationRequest&) -> std::unique_ptr<kv::Migrator> {
      return std::make_unique<FloodMigrator>();
    }};

TEST(WinWindowFlood, HundredThousandLines) {
  constexpr int kLines = kFloodLines;
  kv::gui::WinProgram program = kv::vb6gui::WinWindow();
  program.migration = &kFlood;
  kv::RealDisk disk;
  WinWizard wizard(std::move(program), &disk);
  HWND hwnd = wizard.Create(GetModuleHandleW(nullptr), false);
  SendMessageW(GetDlgItem(hwnd, IDC_cmdConvert), BM_CLICK, 0, 0);
  std::atomic<int> answered{0}, asked{0};
  std::atomic<bool> stop{false};
  std::thread prober([&] {
    while (!stop.load()) {
      ++asked;
      DWORD_PTR result = 0;
      if (SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result)) ++answered;
      Sleep(10);
    }
  });
  const bool ended = Pump([&] { return !wizard.IsRunning(); });
  stop.store(true);
  // The prober's last question is answered by this thread's messages.
  Pump([&] { return asked.load() == answered.load(); });
  prober.join();
  ASSERT_TRUE(ended);
  EXPECT_EQ(asked.load(), answered.load());
  HWND list = GetDlgItem(hwnd, IDC_List1);
  ASSERT_EQ(SendMessageW(list, LB_GETCOUNT, 0, 0), kLines + 1);
  EXPECT_EQ(ListLines(list).back(), "Finish...");
}

// Names outside ASCII: a folder that the project's code page (Windows-1252)
// writes is migrated and named in the lines as it is; one that it cannot
// write stops the run with a line that says so, and nothing changes.
TEST(WinWindowNames, PathsInTheCodePage) {
  const Program& p = kPrograms[0];
  TempDir dir;
  for (const wchar_t* folder : {L"Caf\u00e9 \u00c4rger", L"\u65e5\u672c"}) {
    const fs::path copy = dir.path() / fs::path(folder);
    CopyTree(fs::path(KV_SOURCE_DIR) / "examples" / p.example, copy);
    const auto before = ReadFile(copy / "frmMain.frm");
    Window w(p.kind);
    SetWindowTextW(w[IDC_TxtProject], (copy / p.project).wstring().c_str());
    w.Click(IDC_cmdConvert);
    ASSERT_TRUE(w.WaitForRunEnd());
    const std::vector<std::string> lines = ListLines(w[IDC_List1]);
    ASSERT_FALSE(lines.empty());
    if (folder[0] == L'C') {
      EXPECT_EQ(lines.back(), "Finish...");
      EXPECT_NE(ReadFile(copy / "frmMain.frm"), before);
    } else {
      EXPECT_EQ(lines, std::vector<std::string>{"Stopped: the path holds characters that code "
                                                "page 1252 cannot write; no file was changed"});
      EXPECT_EQ(ReadFile(copy / "frmMain.frm"), before);
      EXPECT_EQ(TextOf(w[IDC_TxtProject]), (copy / p.project).wstring());
    }
  }
}

// The programs' version records and manifests.
TEST(WinPrograms, VersionRecordAndManifest) {
  const std::pair<const char*, const wchar_t*> programs[] = {
      {KV_VB6_EXE, L"Korvane Migration Utility for VB6"},
      {KV_DOTNET_EXE, L"Korvane Migration Utility for DotNet"}};
  for (const auto& [exe, description] : programs) {
    // Z: is the root of the build machine under Wine.
    const std::wstring path = fs::absolute(exe).make_preferred().wstring();
    DWORD ignored = 0;
    std::vector<char> info(GetFileVersionInfoSizeW(path.c_str(), &ignored));
    ASSERT_FALSE(info.empty()) << exe;
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    auto value = [&](const wchar_t* name) {
      wchar_t* text = nullptr;
      UINT size = 0;
      const std::wstring key = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
      if (!VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&text), &size)) {
        return std::wstring();
      }
      return std::wstring(text);
    };
    EXPECT_EQ(value(L"FileDescription"), description);
    EXPECT_EQ(value(L"FileVersion"), L"2.00");
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(module);
    EXPECT_TRUE(FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) << exe;
    EXPECT_TRUE(FindResourceW(module, MAKEINTRESOURCEW(IDI_KVMIGRATE), MAKEINTRESOURCEW(14)));
    FreeLibrary(module);
  }
}

INSTANTIATE_TEST_SUITE_P(
    BothPrograms, WinWindowTest, ::testing::ValuesIn(kPrograms), [](const auto& info) {
      return std::string(info.param.kind == WizardKind::Vb6 ? "kvMigrate" : "kvMigrateDotNet");
    });

}  // namespace
