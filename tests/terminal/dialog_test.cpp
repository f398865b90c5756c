// One dialog of the terminal face: layout from the templates, focus order, the keys of the
// Win32 dialog manager, editing, the system menu and what is drawn.
#include "platform/terminal/dialog.h"

#include <gtest/gtest.h>

#include <vector>

#include "ui/resource.h"
#include "ui/templates.h"

namespace halshift::terminal {
namespace {

const ui::DialogTemplate& Template(int id) {
  const ui::DialogTemplate* dialog = ui::FindDialogTemplate(id);
  EXPECT_NE(dialog, nullptr);
  return *dialog;
}

Canvas Draw(const DialogModel& model) {
  const Size size = model.FrameSize();
  Canvas canvas(size.width, size.height);
  model.Draw(canvas, {0, 0});
  return canvas;
}

// The main dialog as start-up leaves it: upgrade recommended.
DialogModel MainDialog() {
  DialogModel model(Template(IDD_HALSHIFT_DIALOG));
  model.SetText(IDC_RECOMMENDATION,
                "Orvane recomends that you upgrade the HAL to a Multiprocessor HAL.\nPlease "
                "select the action you would like to perform.");
  model.SetCheck(IDC_UPGRADE_HAL, true);
  return model;
}

TEST(TerminalDialogLayout, MainWindowFitsAndNothingOverlaps) {
  const DialogModel model = MainDialog();
  EXPECT_EQ(model.FrameSize().width, 74);
  EXPECT_EQ(model.FrameSize().height, 25);
  // No two controls share a cell, but for the frames around them and the recommendation, which
  // flows into the rows below its own.
  std::vector<int> ids;
  for (const ui::ControlTemplate& control : Template(IDD_HALSHIFT_DIALOG).controls) {
    if (control.kind != ui::ControlKind::kGroupBox && control.id != IDC_STATIC &&
        control.id != IDC_RECOMMENDATION) {
      ids.push_back(control.id);
    }
  }
  for (std::size_t i = 0; i < ids.size(); ++i) {
    for (std::size_t j = i + 1; j < ids.size(); ++j) {
      EXPECT_FALSE(model.ControlRect(ids[i]).Overlaps(model.ControlRect(ids[j])))
          << ids[i] << " and " << ids[j];
    }
  }
  // The state values stay aligned in one column after the long label pushed them.
  EXPECT_EQ(model.ControlRect(IDC_CURRENT_HAL).left, model.ControlRect(IDC_INSTALLED_PROCESSORS).left);
  EXPECT_EQ(model.ControlRect(IDC_CURRENT_HAL).left, model.ControlRect(IDC_RECOVERY_STATE).left);
}

TEST(TerminalDialogLayout, MainWindowShowsEveryTextWhole) {
  DialogModel model = MainDialog();
  model.SetText(IDC_INSTALLED_PROCESSORS, "2");
  model.SetText(IDC_RECOVERY_STATE, "Not Present");
  const Canvas canvas = Draw(model);
  for (const char* text : {"Orvane Hardware Abstraction Layer Utility", "HAL State", "Current HAL :",
                           "Installed Processors : 2", "HAL Recovery :", "Not Present",
                           "Orvane recomends that you upgrade the HAL to a Multiprocessor HAL.",
                           "Please select the action you would like to perform.",
                           "(*) Install a Multiprocessor HAL", "( ) Install a Uniprocessor HAL",
                           "( ) Keep current HAL", "[ ] Enable HAL Recovery boot option",
                           "[< Apply >]", "< Close >", "< Help >", "recommends this option."}) {
    EXPECT_TRUE(canvas.Shows(text)) << text << "\n" << canvas.Dump();
  }
  // The long recommendation of the correct HAL flows into the row below and still ends whole.
  model.SetText(IDC_RECOMMENDATION,
                "The correct HAL is installed. To upgrade/downgrade the HAL follow instructions "
                "listed in the Helpfile. Please select the action you would like to perform.");
  EXPECT_TRUE(Draw(model).Shows("would like to perform.")) << Draw(model).Dump();
}

TEST(TerminalDialogKeys, TabVisitsTheTabStopsInTemplateOrder) {
  DialogModel model = MainDialog();
  const std::vector<int> order = {IDC_UPGRADE_HAL, IDC_DOWNGRADE_HAL, IDC_KEEP_HAL,
                                  IDC_RECOVERY_OPTION, IDC_APPLY, IDC_CLOSE, ID_HELP};
  for (std::size_t i = 0; i < order.size() * 2; ++i) {
    EXPECT_EQ(model.FocusId(), order[i % order.size()]) << i;
    model.HandleKey(Key::Of(KeyCode::kTab));
  }
  for (std::size_t i = order.size() * 2; i > 0; --i) {
    EXPECT_EQ(model.FocusId(), order[i % order.size()]) << i;
    model.HandleKey(Key::Of(KeyCode::kBackTab));
  }
}

TEST(TerminalDialogKeys, ScriptedSequencesGiveTheCommandsAndMarksOfWindows) {
  struct Step {
    Key key;
    DialogAction action;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    bool upgrade;
    bool downgrade;
    bool keep;
    bool recovery;
  };
  const DialogAction none{};
  const Case cases[] = {
      {"Enter on a radio button presses Apply",
       {{Key::Of(KeyCode::kEnter), DialogAction::Command(IDC_APPLY)}}, true, false, false, false},
      {"Down selects the next radio button",
       {{Key::Of(KeyCode::kDown), DialogAction::Command(IDC_DOWNGRADE_HAL)}}, false, true, false, false},
      {"Up wraps within the group",
       {{Key::Of(KeyCode::kUp), DialogAction::Command(IDC_KEEP_HAL)}}, false, false, true, false},
      {"Space on the check box marks it, twice clears it",
       {{Key::Of(KeyCode::kTab), none}, {Key::Of(KeyCode::kTab), none}, {Key::Of(KeyCode::kTab), none},
        {Key::Char(' '), DialogAction::Command(IDC_RECOVERY_OPTION)},
        {Key::Of(KeyCode::kEnter), DialogAction::Command(IDC_APPLY)}},
       true, false, false, true},
      {"Enter on Close presses Close",
       {{Key::Of(KeyCode::kBackTab), none}, {Key::Of(KeyCode::kBackTab), none},
        {Key::Of(KeyCode::kEnter), DialogAction::Command(IDC_CLOSE)}},
       true, false, false, false},
      {"Space on Help presses Help",
       {{Key::Of(KeyCode::kBackTab), none}, {Key::Char(' '), DialogAction::Command(ID_HELP)}},
       true, false, false, false},
      {"Escape cancels", {{Key::Of(KeyCode::kEscape), DialogAction::Command(IDC_CANCEL)}}, true, false, false, false},
      {"Alt+H and a plain c press the buttons",
       {{Key::Alt('h'), DialogAction::Command(ID_HELP)}, {Key::Char('c'), DialogAction::Command(IDC_CLOSE)}},
       true, false, false, false},
      {"a letter without a mnemonic does nothing", {{Key::Char('z'), none}}, true, false, false, false},
      {"Space on a marked radio button sends nothing", {{Key::Char(' '), none}}, true, false, false, false},
  };
  for (const Case& c : cases) {
    DialogModel model = MainDialog();
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const DialogAction action = model.HandleKey(c.steps[i].key);
      EXPECT_EQ(action.kind, c.steps[i].action.kind) << c.name << " step " << i;
      EXPECT_EQ(action.id, c.steps[i].action.id) << c.name << " step " << i;
    }
    EXPECT_EQ(model.GetCheck(IDC_UPGRADE_HAL), c.upgrade) << c.name;
    EXPECT_EQ(model.GetCheck(IDC_DOWNGRADE_HAL), c.downgrade) << c.name;
    EXPECT_EQ(model.GetCheck(IDC_KEEP_HAL), c.keep) << c.name;
    EXPECT_EQ(model.GetCheck(IDC_RECOVERY_OPTION), c.recovery) << c.name;
  }
}

TEST(TerminalDialogKeys, DefaultMarkFollowsTheFocusedPushButton) {
  DialogModel model = MainDialog();
  EXPECT_TRUE(Draw(model).Shows("[< Apply >]  < Close >"));
  model.HandleKey(Key::Of(KeyCode::kBackTab));
  model.HandleKey(Key::Of(KeyCode::kBackTab));
  EXPECT_EQ(model.EnterCommand(), IDC_CLOSE);
  const Canvas canvas = Draw(model);
  EXPECT_TRUE(canvas.Shows("< Apply >  [< Close >]")) << canvas.Dump();
}

TEST(TerminalDialogMenu, SystemMenuOffersTheHandlersItemsAndClose) {
  DialogModel model = MainDialog();
  model.AppendSystemMenuItem(IDM_ABOUTBOX, "&About halshift...");
  model.HandleKey(Key::Of(KeyCode::kF10));
  ASSERT_TRUE(model.MenuOpen());
  const Canvas canvas = Draw(model);
  EXPECT_TRUE(canvas.Shows("| Close")) << canvas.Dump();
  EXPECT_TRUE(canvas.Shows("| About halshift...")) << canvas.Dump();
  // The separator runs from edge to edge of the menu's frame and meets it in tees (the
  // menu drops from the window's left edge, one row below its top).
  EXPECT_EQ(canvas.Row(3).substr(0, 3), "+--") << canvas.Dump();
  EXPECT_EQ(canvas.At(0, 3).arms, kArmUp | kArmDown | kArmRight) << canvas.Dump();
  // Keys go to the menu while it is open: Enter on its first item is Close.
  EXPECT_EQ(model.HandleKey(Key::Of(KeyCode::kEnter)), DialogAction::SystemCommand(platform::kSystemCommandClose));
  EXPECT_FALSE(model.MenuOpen());
  // Alt+Space, Down over the separator, Enter: the About item.
  model.HandleKey(Key::Alt(' '));
  model.HandleKey(Key::Of(KeyCode::kDown));
  EXPECT_EQ(model.HandleKey(Key::Of(KeyCode::kEnter)), DialogAction::SystemCommand(IDM_ABOUTBOX));
  // The item's mnemonic, and Escape that only closes the menu.
  model.HandleKey(Key::Of(KeyCode::kF10));
  EXPECT_EQ(model.HandleKey(Key::Char('a')), DialogAction::SystemCommand(IDM_ABOUTBOX));
  model.HandleKey(Key::Of(KeyCode::kF10));
  EXPECT_EQ(model.HandleKey(Key::Of(KeyCode::kEscape)), DialogAction{});
  EXPECT_FALSE(model.MenuOpen());
  EXPECT_EQ(model.GetCheck(IDC_UPGRADE_HAL), true);
}

TEST(TerminalDialogEdit, TheLocationBoxEditsScrollsAndKeepsLetters) {
  DialogModel model(Template(IDD_SOURCE_MEDIA));
  model.SetText(IDC_FILE_LOCATION, "D:\\I386\\HAL.DLL");
  ASSERT_EQ(model.FocusId(), IDC_FILE_LOCATION);
  // Focused by the dialog, the text is all selected: typing replaces it, and letters that
  // are mnemonics elsewhere ("b", "c", "o") go into the box.
  for (char c : std::string("e:\\obc")) model.HandleKey(Key::Char(c));
  EXPECT_EQ(model.GetText(IDC_FILE_LOCATION), "e:\\obc");
  model.HandleKey(Key::Of(KeyCode::kBackspace));
  model.HandleKey(Key::Of(KeyCode::kHome));
  model.HandleKey(Key::Of(KeyCode::kDelete));
  model.HandleKey(Key::Char('F'));
  model.HandleKey(Key::Of(KeyCode::kEnd));
  model.HandleKey(Key::Of(KeyCode::kLeft));
  model.HandleKey(Key::Char('X'));
  EXPECT_EQ(model.GetText(IDC_FILE_LOCATION), "F:\\oXb");
  // Enter in the box is OK; Alt+B is Browse.
  EXPECT_EQ(model.HandleKey(Key::Of(KeyCode::kEnter)), DialogAction::Command(IDC_OK));
  EXPECT_EQ(model.HandleKey(Key::Alt('b')), DialogAction::Command(IDC_BROWSE));

  // A path longer than the box scrolls so the caret stays visible.
  const std::string longPath = "D:\\" + std::string(60, 'A') + "\\HAL.DLL";
  model.SetText(IDC_FILE_LOCATION, {});
  for (char c : longPath) model.HandleKey(Key::Char(c));
  EXPECT_EQ(model.GetText(IDC_FILE_LOCATION), longPath);
  Canvas canvas = Draw(model);
  EXPECT_TRUE(canvas.Shows("AAAA\\HAL.DLL")) << canvas.Dump();
  EXPECT_FALSE(canvas.Shows("[D:\\")) << canvas.Dump();
  model.HandleKey(Key::Of(KeyCode::kHome));
  canvas = Draw(model);
  EXPECT_TRUE(canvas.Shows("[D:\\AAAA")) << canvas.Dump();
  const Rect box = model.ControlRect(IDC_FILE_LOCATION);
  EXPECT_EQ(canvas.Cursor().x, box.left + 2);  // frame, then "[": the first character
}

TEST(TerminalDialogDraw, MediaPromptIsCentredAndAboutBoxWraps) {
  DialogModel media(Template(IDD_SOURCE_MEDIA));
  media.SetText(IDC_MEDIA_PROMPT,
                "Please Insert the CD-ROM disc labled\n\"Windows NT Service Pack 6\"\n into Drive D:");
  Canvas canvas = Draw(media);
  EXPECT_TRUE(canvas.Shows("\"Windows NT Service Pack 6\"")) << canvas.Dump();
  EXPECT_TRUE(canvas.Shows("into Drive D:"));
  EXPECT_TRUE(canvas.Shows("[< OK >]"));
  EXPECT_TRUE(canvas.Shows("< Browse >"));

  DialogModel about(Template(IDD_ABOUTBOX));
  canvas = Draw(about);
  std::string all;
  for (int y = 0; y < canvas.Height(); ++y) all += canvas.Row(y) + " ";
  EXPECT_NE(all.find("About halshift"), std::string::npos);
  EXPECT_NE(all.find("Version 1.0.0.1"), std::string::npos) << canvas.Dump();
  EXPECT_NE(all.find("[< OK >]"), std::string::npos);
}

}  // namespace
}  // namespace halshift::terminal
