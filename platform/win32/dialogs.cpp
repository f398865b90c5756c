// Modal dialogs through the Win32 dialog manager: templates from the resource script, the
// handler's events from the dialog procedure, the window decorations of the main window.
//
// May contain: Win32 calls of the dialog service. No logic of the program: what a dialog
// does is its handler's business (ui/, hal/media_prompt).
#include "platform/win32/dialogs.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/win32/main_window.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_api.h"

#include <commdlg.h>

namespace halshift::win32 {
namespace {

constexpr UINT kHelpQuit = 0x0002;          // HELP_QUIT
constexpr int kEmphasisPoints = 9;
constexpr LONG kEmphasisWeight = 600;       // semi-bold
constexpr std::size_t kPathBuffer = 260;
constexpr std::string_view kEmphasisFace = "MS Shell Dlg";

LPCSTR ResourceName(int id) {
  return reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(id)));
}

class Host;

// One running dialog: its window, handler and what it created for itself.
class Dialog final : public platform::DialogControls {
 public:
  Dialog(Host& host, platform::DialogHandler& handler, bool isMainWindow)
      : host_(host), handler_(handler), isMainWindow_(isMainWindow) {}

  void SetText(int controlId, std::string_view text) override {
    ::SetDlgItemTextA(window_, controlId, text::Printable(text).c_str());
  }
  std::string GetText(int controlId) override {
    HWND control = ::GetDlgItem(window_, controlId);
    if (control == nullptr) return {};
    const int length = ::GetWindowTextLengthA(control);
    if (length <= 0) return {};
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1, '\0');
    const int stored = ::GetWindowTextA(control, buffer.data(), length + 1);
    return std::string(buffer.data(), static_cast<std::size_t>(std::max(stored, 0)));
  }
  void SetCheck(int controlId, bool checked) override {
    ::SendDlgItemMessageA(window_, controlId, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED,
                          0);
  }
  bool GetCheck(int controlId) override {
    return ::SendDlgItemMessageA(window_, controlId, BM_GETCHECK, 0, 0) == BST_CHECKED;
  }
  void End(int result) override { ::EndDialog(window_, result); }

  int MessageBox(std::string_view text, std::string_view caption, unsigned style) override {
    return ::MessageBoxA(window_, text::Printable(text).c_str(), text::Printable(caption).c_str(), style);
  }

  std::optional<std::string> ChooseOpenFile(const platform::OpenFileRequest& request) override {
    // The filter list: label and pattern pairs, each zero-terminated, then one more zero.
    std::string filters;
    for (const platform::FileFilter& filter : request.filters) {
      filters += text::Printable(filter.label);
      filters += '\0';
      filters += text::Printable(filter.pattern);
      filters += '\0';
    }
    filters += '\0';
    std::vector<char> file(kPathBuffer, '\0');
    const std::string initial = text::Printable(request.initialName);
    std::copy_n(initial.begin(), std::min(initial.size(), file.size() - 1), file.begin());
    const std::string title = text::Printable(request.title);

    OPENFILENAMEA dialog{};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = window_;
    dialog.lpstrFilter = request.filters.empty() ? nullptr : filters.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = static_cast<DWORD>(file.size());
    dialog.lpstrTitle = title.c_str();
    dialog.Flags = request.flags;
    if (!::GetOpenFileNameA(&dialog)) return std::nullopt;
    file.back() = '\0';
    return std::string(file.data());
  }

  bool AppendSystemMenuItem(unsigned commandId, std::string_view text) override {
    HMENU menu = ::GetSystemMenu(window_, FALSE);
    if (menu == nullptr) return false;
    ::AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuA(menu, MF_STRING, commandId, text::Printable(text).c_str());
    return true;
  }

  void SetWindowIcon(int iconId) override {
    windowIcon_ = ::LoadIconA(::GetModuleHandleA(nullptr), ResourceName(iconId));
    if (windowIcon_ == nullptr) return;
    ::SendMessageA(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(windowIcon_));
    ::SendMessageA(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(windowIcon_));
  }

  void SetControlIcon(int controlId, int iconId, int width, int height) override {
    HANDLE image = ::LoadImageA(::GetModuleHandleA(nullptr), ResourceName(iconId), IMAGE_ICON,
                                width, height, LR_DEFAULTCOLOR);
    if (image == nullptr) return;  // the control stays empty
    HICON icon = static_cast<HICON>(image);
    createdIcons_.push_back(icon);
    ::SendDlgItemMessageA(window_, controlId, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
  }

  void SetEmphasisFont(std::span<const int> controlIds) override {
    if (font_ == nullptr) {
      LOGFONTA description{};
      HDC context = ::GetDC(window_);
      if (context != nullptr) {
        description.lfHeight =
            -::MulDiv(kEmphasisPoints, ::GetDeviceCaps(context, LOGPIXELSY), 72);
        ::ReleaseDC(window_, context);
      }
      description.lfWeight = kEmphasisWeight;
      std::copy_n(kEmphasisFace.begin(),
                  std::min(kEmphasisFace.size(), sizeof(description.lfFaceName) - 1),
                  description.lfFaceName);
      font_ = ::CreateFontIndirectA(&description);
    }
    if (font_ == nullptr) return;  // the values keep the dialog's font
    for (int id : controlIds) {
      ::SendDlgItemMessageA(window_, id, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
    }
  }

  // The dialog procedure's work, message by message. Returns the procedure's result.
  INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void Attach(HWND window) { window_ = window; }

 private:
  void PaintMinimized();
  void Destroyed();

  Host& host_;
  platform::DialogHandler& handler_;
  bool isMainWindow_;
  HWND window_ = nullptr;
  HICON windowIcon_ = nullptr;  // shared icon from LoadIconA: not destroyed
  std::vector<HICON> createdIcons_;
  HFONT font_ = nullptr;
};

class Host final : public platform::DialogHost {
 public:
  int RunModal(int templateId, platform::DialogHandler& handler) override {
    HWND owner = open_.empty() ? nullptr : open_.back();
    Dialog dialog(*this, handler, owner == nullptr);
    const INT_PTR result =
        ::DialogBoxParamA(::GetModuleHandleA(nullptr), ResourceName(templateId), owner,
                          &Host::Procedure, reinterpret_cast<LPARAM>(&dialog));
    if (result == -1) return platform::kDialogFailed;
    return static_cast<int>(result);
  }

  void Opened(HWND window) { open_.push_back(window); }
  void Closed(HWND window) {
    auto at = std::find(open_.begin(), open_.end(), window);
    if (at != open_.end()) open_.erase(at);
  }

 private:
  static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
      ::SetWindowLongPtrA(window, DWLP_USER, lParam);
      auto* dialog = reinterpret_cast<Dialog*>(lParam);
      dialog->Attach(window);
      return dialog->Handle(message, wParam, lParam);
    }
    // Messages before WM_INITDIALOG (WM_SETFONT) find no dialog yet: default handling.
    auto* dialog = reinterpret_cast<Dialog*>(::GetWindowLongPtrA(window, DWLP_USER));
    if (dialog == nullptr) return FALSE;
    return dialog->Handle(message, wParam, lParam);
  }

  std::vector<HWND> open_;
};

INT_PTR Dialog::Handle(UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      host_.Opened(window_);
      if (isMainWindow_) SetMainWindow(window_);
      handler_.OnInit(*this);
      return TRUE;  // the default focus
    case WM_COMMAND:
      // Clicks, Enter (IDOK) and Escape or the close box (IDCANCEL); notifications of edit
      // boxes and the like are not commands of the handler.
      if (HIWORD(wParam) == BN_CLICKED) {
        handler_.OnCommand(*this, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    case WM_SYSCOMMAND:
      return handler_.OnSystemCommand(*this, static_cast<unsigned>(wParam)) ? TRUE : FALSE;
    case WM_PAINT:
      if (windowIcon_ != nullptr && ::IsIconic(window_)) {
        PaintMinimized();
        return TRUE;
      }
      return FALSE;
    case WM_QUERYDRAGICON:
      // One of the messages whose answer is the procedure's own result.
      return reinterpret_cast<INT_PTR>(windowIcon_);
    case WM_DESTROY:
      Destroyed();
      return FALSE;  // default handling follows
    default:
      return FALSE;
  }
}

void Dialog::PaintMinimized() {
  PAINTSTRUCT paint{};
  HDC context = ::BeginPaint(window_, &paint);
  ::SendMessageA(window_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(context), 0);
  const int iconWidth = ::GetSystemMetrics(SM_CXICON);
  const int iconHeight = ::GetSystemMetrics(SM_CYICON);
  RECT client{};
  ::GetClientRect(window_, &client);
  const int x = (client.right - client.left - iconWidth + 1) / 2;
  const int y = (client.bottom - client.top - iconHeight + 1) / 2;
  ::DrawIcon(context, x, y, windowIcon_);
  ::EndPaint(window_, &paint);
}

void Dialog::Destroyed() {
  if (isMainWindow_) {
    // The help viewer that the session opened closes with the main window.
    if (!HelpFile().empty()) ::WinHelpA(window_, HelpFile().c_str(), kHelpQuit, 0);
    SetMainWindow(nullptr);
  }
  for (HICON icon : createdIcons_) ::DestroyIcon(icon);
  createdIcons_.clear();
  if (font_ != nullptr) {
    ::DeleteObject(font_);
    font_ = nullptr;
  }
  host_.Closed(window_);
}

}  // namespace

platform::DialogHost& DialogHostInstance() {
  static Host host;
  return host;
}

platform::DialogHost* UserInterface::Dialogs() { return &DialogHostInstance(); }

}  // namespace halshift::win32
