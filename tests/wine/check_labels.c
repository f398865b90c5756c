/* Checks the labels of a dialog that halshift.exe shows: every static text control must stand
   where the dialog's template (ui/templates.inc) puts it, converted from dialog units with the
   base units of the dialog's font, and its current text must fit inside it when drawn in the
   font the control is drawn in, word-wrapped as a static control draws it.
     check_labels WINDOW-TITLE [EMPHASIS-ID...]
   Run while the dialog is on the screen, in the same Wine prefix (so with the same font
   mapping). Labels are measured in the dialog's font, those named by EMPHASIS-ID in the
   program's emphasis font (9 points, weight 600, the dialog's face): Wine cannot hand a font
   to another process (WM_GETFONT), so the caller says which labels the program changes.
   Prints one line per label, "fits" or "CLIPPED" with the sizes; exit code 0 when every label
   fits, 1 when one does not or the dialog does not match its template, 2 on a usage error. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "base/version.h"
#include "ui/resource.h"

enum Kind {
  GroupBox, Label, LabelNoPrefix, CenteredLabel, Icon, IconSlot, RadioGroupStart, Radio,
  CheckBox, Edit, PushButton, DefPushButton
};

struct Control {
  enum Kind kind;
  int id;
  const char* text;
  int left, top, width, height;
};

struct Dialog {
  const char* title;
  int width, height;
  const struct Control* controls;
  size_t count;
};

#define CONTROL_ENTRY(kind, id, text, icon, left, top, width, height) \
  {kind, id, text, left, top, width, height},
#define HALSHIFT_DIALOG(id, frame, width, height, title, controls) \
  static const struct Control kControls##id[] = {controls(CONTROL_ENTRY)};
#include "ui/templates.inc"
#undef HALSHIFT_DIALOG

#define HALSHIFT_DIALOG(id, frame, width, height, title, controls) \
  {title, width, height, kControls##id, sizeof kControls##id / sizeof kControls##id[0]},
static const struct Dialog kDialogs[] = {
#include "ui/templates.inc"
};
#undef HALSHIFT_DIALOG
#undef CONTROL_ENTRY

/* Every template names this font; the dialog manager creates it at the screen's resolution. */
static const wchar_t kDialogFace[] = L"MS Shell Dlg";
enum { kDialogPoints = 8, kEmphasisPoints = 9, kEmphasisWeight = 600 };

static int IsLabel(enum Kind kind) {
  return kind == Label || kind == LabelNoPrefix || kind == CenteredLabel;
}

static HFONT DialogFont(HDC dc, int points, int weight) {
  return CreateFontW(-MulDiv(points, GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0, weight, FALSE,
                     FALSE, FALSE, DEFAULT_CHARSET, 0, 0, PROOF_QUALITY, FF_DONTCARE, kDialogFace);
}

static int IsEmphasised(int id, int argc, wchar_t** argv) {
  for (int i = 2; i < argc; ++i) {
    if (wcstol(argv[i], NULL, 10) == id) return 1;
  }
  return 0;
}

/* The dialog font's base units as the dialog manager computes them: the average width of the
   52 letters, rounded, and the line height. */
static void BaseUnits(HDC dc, HFONT font, int* x, int* y) {
  static const wchar_t letters[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  HGDIOBJ old = SelectObject(dc, font);
  SIZE size;
  TEXTMETRICW metrics;
  GetTextExtentPoint32W(dc, letters, 52, &size);
  GetTextMetricsW(dc, &metrics);
  SelectObject(dc, old);
  *x = (size.cx / 26 + 1) / 2;
  *y = metrics.tmHeight;
}

/* A control's rectangle in the client coordinates of its dialog. */
static RECT RectInDialog(HWND dialog, HWND control) {
  RECT rect;
  GetWindowRect(control, &rect);
  MapWindowPoints(NULL, dialog, (POINT*)&rect, 2);
  return rect;
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: check_labels WINDOW-TITLE [EMPHASIS-ID...]\n");
    return 2;
  }
  const struct Dialog* dialog = NULL;
  char title[256];
  WideCharToMultiByte(CP_ACP, 0, argv[1], -1, title, sizeof title, NULL, NULL);
  for (size_t i = 0; i < sizeof kDialogs / sizeof kDialogs[0]; ++i) {
    if (strcmp(kDialogs[i].title, title) == 0) dialog = &kDialogs[i];
  }
  if (dialog == NULL) {
    fprintf(stderr, "no template titled \"%s\"\n", title);
    return 2;
  }
  HWND window = FindWindowW(NULL, argv[1]);
  if (window == NULL) {
    printf("no window titled \"%s\"\n", title);
    return 1;
  }

  HDC screen = GetDC(NULL);
  HFONT dialogFont = DialogFont(screen, kDialogPoints, FW_DONTCARE);
  HFONT emphasisFont = DialogFont(screen, kEmphasisPoints, kEmphasisWeight);
  int baseX = 0;
  int baseY = 0;
  BaseUnits(screen, dialogFont, &baseX, &baseY);
  printf("\"%s\": base units %d x %d\n", title, baseX, baseY);

  int problems = 0;
  /* The client area confirms that these are the base units the dialog was laid out with. */
  RECT client;
  GetClientRect(window, &client);
  int expectedWidth = MulDiv(dialog->width, baseX, 4);
  int expectedHeight = MulDiv(dialog->height, baseY, 8);
  if (client.right != expectedWidth || client.bottom != expectedHeight) {
    printf("MISMATCH dialog client area %ld x %ld pixels, the template gives %d x %d\n",
           client.right, client.bottom, expectedWidth, expectedHeight);
    ++problems;
  }

  /* The dialog manager creates the controls in template order, each below the last. */
  HWND control = GetWindow(window, GW_CHILD);
  for (size_t i = 0; i < dialog->count; ++i, control = GetWindow(control, GW_HWNDNEXT)) {
    const struct Control* entry = &dialog->controls[i];
    if (control == NULL) {
      printf("MISMATCH the dialog has %u controls, its template %u\n", (unsigned)i,
             (unsigned)dialog->count);
      ++problems;
      break;
    }
    if ((WORD)GetDlgCtrlID(control) != (WORD)entry->id) {
      printf("MISMATCH control %u has id %d, its template %d\n", (unsigned)i,
             GetDlgCtrlID(control), entry->id);
      ++problems;
      continue;
    }
    if (!IsLabel(entry->kind)) continue;

    RECT actual = RectInDialog(window, control);
    RECT expected = {MulDiv(entry->left, baseX, 4), MulDiv(entry->top, baseY, 8), 0, 0};
    expected.right = expected.left + MulDiv(entry->width, baseX, 4);
    expected.bottom = expected.top + MulDiv(entry->height, baseY, 8);
    if (!EqualRect(&actual, &expected)) {
      printf("MISMATCH label %d at (%ld, %ld, %ld, %ld) pixels, the template gives (%ld, %ld, %ld, %ld)\n",
             entry->id, actual.left, actual.top, actual.right, actual.bottom, expected.left,
             expected.top, expected.right, expected.bottom);
      ++problems;
    }

    wchar_t text[1024];
    GetWindowTextW(control, text, (int)(sizeof text / sizeof text[0]));
    HFONT font = IsEmphasised(entry->id, argc, argv) ? emphasisFont : dialogFont;
    UINT format = DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS;
    if (entry->kind == LabelNoPrefix) format |= DT_NOPREFIX;
    if (entry->kind == CenteredLabel) format |= DT_CENTER;
    int width = (int)(actual.right - actual.left);
    int height = (int)(actual.bottom - actual.top);
    RECT needed = {0, 0, width, 0};
    HGDIOBJ old = SelectObject(screen, font);
    DrawTextW(screen, text, -1, &needed, format);
    SelectObject(screen, old);

    int fits = needed.right - needed.left <= width && needed.bottom - needed.top <= height;
    char shown[2 * sizeof text / sizeof text[0]] = "";
    WideCharToMultiByte(CP_ACP, 0, text, -1, shown, sizeof shown, NULL, NULL);
    for (char* c = shown; *c != '\0'; ++c) {
      if (*c == '\n' || *c == '\r') *c = ' ';
    }
    printf("%s label %d \"%.40s%s\": needs %ld x %ld pixels, has %d x %d\n",
           fits ? "fits" : "CLIPPED", entry->id, shown, strlen(shown) > 40 ? "..." : "",
           needed.right - needed.left, needed.bottom - needed.top, width, height);
    if (!fits) ++problems;
  }
  DeleteObject(dialogFont);
  DeleteObject(emphasisFont);
  ReleaseDC(NULL, screen);
  return problems == 0 ? 0 : 1;
}
