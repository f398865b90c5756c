// The modal dialogs of the interactive window, as the portable logic sees them.
//
// The logic (ui/) describes what a dialog does through a DialogHandler; a face (the Win32
// dialog manager in platform/win32/dialogs.cpp, the terminal in platform/terminal/) builds the
// dialog from its template (ui/templates.inc, ids in ui/resource.h), runs
// its modal loop and calls the handler. Controls are addressed by their template ids. Nothing
// here throws; an operation on a control that the open dialog does not have does nothing
// (setters) or answers empty / false (getters).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace halshift::platform {

// RunModal's answer when the dialog could not be created or shown at all.
inline constexpr int kDialogFailed = -1;

// System-menu commands: the system uses the low four bits of a command id, so a command is
// compared after masking them off. SC_CLOSE is the close box's command.
inline constexpr unsigned kSystemCommandMask = 0xFFF0;
inline constexpr unsigned kSystemCommandClose = 0xF060;

// OFN_HIDEREADONLY: the open-file chooser shows no read-only check box.
inline constexpr unsigned kOfnHideReadOnly = 0x4;

// One entry of the chooser's file-type list: the label shown and its pattern(s), such as
// {"NT Hal (HAL*.DLL)", "HAL*.DLL"}.
struct FileFilter {
  std::string_view label;
  std::string_view pattern;
};

// The standard open-file chooser, owned by the open dialog.
struct OpenFileRequest {
  std::string_view title;        // window title, e.g. "Browse"
  std::string_view initialName;  // proposed file name, e.g. "Hal.dll"
  std::span<const FileFilter> filters;  // may be empty: all files
  unsigned flags = 0;            // OFN_* flags, e.g. kOfnHideReadOnly
};

// The open dialog, as handed to its handler for the duration of one event.
class DialogControls {
 public:
  virtual ~DialogControls() = default;

  // Window text of a control (static, edit, button caption).
  virtual void SetText(int controlId, std::string_view text) = 0;
  virtual std::string GetText(int controlId) = 0;
  // Check mark of a radio button or check box (BM_SETCHECK / BM_GETCHECK).
  virtual void SetCheck(int controlId, bool checked) = 0;
  virtual bool GetCheck(int controlId) = 0;

  // Ends the modal run once the current event has been handled; RunModal returns result.
  virtual void End(int result) = 0;

  // A message box owned by this dialog (MessageBoxA with the dialog as owner); returns the
  // button pressed (kIdOk, kIdYes, kIdNo...).
  virtual int MessageBox(std::string_view text, std::string_view caption, unsigned style) = 0;

  // The open-file chooser, owned by this dialog: the full path the user confirmed, or nothing
  // when the user cancelled or the chooser could not be shown.
  virtual std::optional<std::string> ChooseOpenFile(const OpenFileRequest& request) = 0;

  // Appends a separator and then a text item with commandId to the window's system menu.
  // False, and nothing appended, when the window has no system menu.
  virtual bool AppendSystemMenuItem(unsigned commandId, std::string_view text) = 0;

  // Decorations that only a graphical face can show; a face without them does nothing.
  // The window's big and small icon (WM_SETICON) from an icon resource; the face also draws
  // it centred while the window is minimized and hands it out as the drag icon.
  virtual void SetWindowIcon(int iconId) = 0;
  // An icon resource loaded at width by height pixels (default colours) shown in a static icon
  // control (STM_SETICON); destroyed with the window.
  virtual void SetControlIcon(int controlId, int iconId, int width, int height) = 0;
  // A semi-bold (weight 600) 9-point font of the dialog's face name on these controls, created
  // once per window and deleted with it.
  virtual void SetEmphasisFont(std::span<const int> controlIds) = 0;
};

// What a dialog does. Every event is handled on the face's one thread, inside RunModal.
class DialogHandler {
 public:
  virtual ~DialogHandler() = default;

  // The dialog was created and is about to be shown: fill the controls.
  virtual void OnInit(DialogControls& dialog) = 0;

  // A push button was clicked, or a control sent its command. Enter delivers the default
  // button's id (IDOK = 1 while no other push button has the focus); Escape and the close box
  // deliver IDCANCEL (2). The dialog stays open until the handler calls End.
  virtual void OnCommand(DialogControls& dialog, int commandId) = 0;

  // A system-menu command. True when handled; false lets the face do the default (move,
  // minimize, close, which arrives as OnCommand(IDCANCEL)).
  virtual bool OnSystemCommand(DialogControls& dialog, unsigned commandId) {
    static_cast<void>(dialog);
    static_cast<void>(commandId);
    return false;
  }
};

// Runs dialogs modally.
class DialogHost {
 public:
  virtual ~DialogHost() = default;

  // Creates the dialog of template templateId and runs it modally until its handler calls
  // End; returns that result, or kDialogFailed when the dialog could not be created or shown.
  // The dialog is owned by the innermost dialog that this host is running, or has no owner
  // when none is running; a dialog without an owner is the session's main window (the owner
  // of the session's message boxes) while it is open.
  virtual int RunModal(int templateId, DialogHandler& handler) = 0;
};

}  // namespace halshift::platform
