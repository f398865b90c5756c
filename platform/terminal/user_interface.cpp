// The terminal face: the stack of modal windows, their loops and the dialogs' controls.
#include "platform/terminal/user_interface.h"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "core/strings.h"

namespace halshift::terminal {
namespace {

// After the handler has been told to cancel once, a dialog that still does not end when no
// input can come is ended for it.
constexpr int kHangupsBeforeForcedEnd = 2;

// The controls of one open dialog, as its handler reaches them.
class TerminalDialog : public platform::DialogControls {
 public:
  TerminalDialog(TerminalUserInterface& face, DialogModel& model) : face_(face), model_(model) {}

  void SetText(int controlId, std::string_view text) override { model_.SetText(controlId, text); }
  std::string GetText(int controlId) override { return model_.GetText(controlId); }
  void SetCheck(int controlId, bool checked) override { model_.SetCheck(controlId, checked); }
  bool GetCheck(int controlId) override { return model_.GetCheck(controlId); }
  void End(int result) override {
    if (!result_) result_ = result;
  }
  int MessageBox(std::string_view text, std::string_view caption, unsigned style) override {
    return face_.RunMessageBox(text, caption, style);
  }
  std::optional<std::string> ChooseOpenFile(const platform::OpenFileRequest& request) override {
    return face_.RunFileChooser(request);
  }
  bool AppendSystemMenuItem(unsigned commandId, std::string_view text) override {
    model_.AppendSystemMenuItem(commandId, text);
    return true;
  }
  void SetWindowIcon(int) override {}
  void SetControlIcon(int, int, int, int) override {}
  void SetEmphasisFont(std::span<const int> controlIds) override {
    for (int id : controlIds) model_.SetEmphasis(id);
  }

  bool Ended() const { return result_.has_value(); }
  int Result() const { return result_.value_or(platform::kDialogFailed); }

 private:
  TerminalUserInterface& face_;
  DialogModel& model_;
  std::optional<int> result_;
};

// Keeps a layer on the stack for as long as it runs.
class LayerScope {
 public:
  LayerScope(std::vector<const Layer*>& layers, const Layer& layer) : layers_(layers) {
    layers_.push_back(&layer);
  }
  ~LayerScope() { layers_.pop_back(); }
  LayerScope(const LayerScope&) = delete;
  LayerScope& operator=(const LayerScope&) = delete;

 private:
  std::vector<const Layer*>& layers_;
};

}  // namespace

// ---- the face ----

std::string TooSmallMessage(Size needed, Size screen) {
  return "halshift needs a terminal of at least " + std::to_string(needed.width) + "x" +
         std::to_string(needed.height) + " characters; this one is " +
         std::to_string(screen.width) + "x" + std::to_string(screen.height) +
         ". Enlarge it, or press Escape to cancel.";
}

TerminalUserInterface::TerminalUserInterface(Terminal& terminal, BrowseSource& browse)
    : terminal_(terminal), browse_(browse) {}

TerminalUserInterface::~TerminalUserInterface() {
  // Every way out of the program passes here with the screen left as it was found.
  layers_.clear();
  StopIfIdle();
}

bool TerminalUserInterface::EnsureStarted() {
  if (started_) return true;
  if (unusable_) return false;
  if (!terminal_.Start()) {
    unusable_ = true;
    return false;
  }
  started_ = true;
  return true;
}

void TerminalUserInterface::StopIfIdle() {
  if (!layers_.empty() || !started_) return;
  terminal_.Stop();
  started_ = false;
  if (!heldOutput_.empty()) {
    std::cout << heldOutput_ << std::flush;
    heldOutput_.clear();
  }
}

void TerminalUserInterface::WriteOutput(std::string_view text) {
  if (started_) {
    heldOutput_ += text;
    return;
  }
  std::cout << text << std::flush;
}

Canvas TerminalUserInterface::Compose() {
  const Size screen = terminal_.ScreenSize();
  Canvas canvas(screen.width, screen.height);
  Size needed;
  for (const Layer* layer : layers_) {
    const Size extent = layer->Extent(screen);
    needed.width = std::max(needed.width, extent.width);
    needed.height = std::max(needed.height, extent.height);
  }
  if (needed.width > screen.width || needed.height > screen.height) {
    const std::vector<std::string> lines = WrapText(TooSmallMessage(needed, screen), std::max(screen.width, 1));
    for (std::size_t i = 0; i < lines.size(); ++i) canvas.Text(0, static_cast<int>(i), lines[i]);
    canvas.HideCursor();
    return canvas;
  }
  for (const Layer* layer : layers_) {
    const Size extent = layer->Extent(screen);
    layer->Draw(canvas, {(screen.width - extent.width) / 2, (screen.height - extent.height) / 2});
  }
  return canvas;
}

Key TerminalUserInterface::WaitKey() {
  if (hungUp_) return Key::Of(KeyCode::kHangup);
  for (;;) {
    const Canvas canvas = Compose();
    terminal_.Present(canvas);
    const Key key = terminal_.ReadKey();
    if (key.code == KeyCode::kHangup) {
      hungUp_ = true;
      return key;
    }
    if (key.code == KeyCode::kResize) continue;
    // While the window does not fit, only Escape reaches it.
    const Size screen = terminal_.ScreenSize();
    bool fits = true;
    for (const Layer* layer : layers_) {
      const Size extent = layer->Extent(screen);
      if (extent.width > screen.width || extent.height > screen.height) fits = false;
    }
    if (fits || key.code == KeyCode::kEscape) return key;
  }
}

int TerminalUserInterface::RunModal(int templateId, platform::DialogHandler& handler) {
  const ui::DialogTemplate* dialogTemplate = ui::FindDialogTemplate(templateId);
  if (dialogTemplate == nullptr || !EnsureStarted()) return platform::kDialogFailed;
  DialogModel model(*dialogTemplate);
  TerminalDialog controls(*this, model);
  {
    LayerScope scope(layers_, model);
    handler.OnInit(controls);
    int hangups = 0;
    while (!controls.Ended()) {
      const Key key = WaitKey();
      if (key.code == KeyCode::kHangup && ++hangups >= kHangupsBeforeForcedEnd) {
        controls.End(platform::kDialogFailed);
        break;
      }
      const DialogAction action = model.HandleKey(key);
      if (action.kind == DialogAction::Kind::kCommand) {
        handler.OnCommand(controls, static_cast<int>(action.id));
      } else if (action.kind == DialogAction::Kind::kSystemCommand) {
        if (!handler.OnSystemCommand(controls, action.id) &&
            (action.id & platform::kSystemCommandMask) == platform::kSystemCommandClose) {
          handler.OnCommand(controls, platform::kIdCancel);
        }
      }
    }
  }
  StopIfIdle();
  return controls.Result();
}

int TerminalUserInterface::RunMessageBox(std::string_view text, std::string_view caption,
                                         unsigned style) {
  const bool yesNo = (style & 0xF) == platform::kMbYesNo;
  if (!EnsureStarted()) {
    // No screen to ask on: the box is told on standard error and taken as confirmed, as
    // without a terminal.
    std::cerr << "[ " << caption << " ]\n" << text << "\n" << std::flush;
    return yesNo ? platform::kIdYes : platform::kIdOk;
  }
  MessageBoxModel box(text, caption, style);
  std::optional<int> answer;
  {
    LayerScope scope(layers_, box);
    while (!answer) answer = box.HandleKey(WaitKey());
  }
  StopIfIdle();
  return *answer;
}

std::optional<std::string> TerminalUserInterface::RunFileChooser(const platform::OpenFileRequest& request) {
  if (!EnsureStarted()) return std::nullopt;
  FileChooserModel chooser(request, browse_, browse_.StartDirectory());
  std::optional<FileChooserModel::Outcome> outcome;
  {
    LayerScope scope(layers_, chooser);
    while (!outcome) outcome = chooser.HandleKey(WaitKey());
  }
  StopIfIdle();
  return outcome->path;
}

int TerminalUserInterface::MessageBox(platform::BoxOwner, std::string_view text,
                                      std::string_view caption, unsigned style) {
  return RunMessageBox(text, caption, style);
}

std::string TerminalUserInterface::LoadString(unsigned id) {
  return std::string(strings::BuiltInString(id));
}

void TerminalUserInterface::ShowHelp(std::string_view) {
  // The Windows help file has no reader here; the manual page says the same.
  if (!EnsureStarted()) {
    std::cerr << "halshift: see the manual page halshift(1)\n";
    return;
  }
  TextViewerModel viewer("halshift(1)", ManualPage());
  {
    LayerScope scope(layers_, viewer);
    while (!viewer.HandleKey(WaitKey())) {
    }
  }
  StopIfIdle();
}

}  // namespace halshift::terminal
