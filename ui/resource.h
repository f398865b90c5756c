/* Resource ids of halshift's dialogs, controls, icons and menu items.
   Plain macros, so that the resource script (through the C preprocessor of windres) and the
   C++ code read the same numbers. */
#ifndef HALSHIFT_UI_RESOURCE_H
#define HALSHIFT_UI_RESOURCE_H

/* Dialog templates. */
#define IDD_ABOUTBOX 100
#define IDD_HALSHIFT_DIALOG 102
#define IDD_SOURCE_MEDIA 132

/* Icons: the application icon, the banner of the main window (96 by 18 pixels), the media
   picture of the source media prompt. */
#define IDR_MAINFRAME 128
#define IDI_BANNER 129
#define IDI_SOURCE_MEDIA 134

/* The About item of the main window's system menu. A system command is the About command
   when its id with the low four bits cleared equals this value. */
#define IDM_ABOUTBOX 16

/* Controls without an id of their own. */
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

/* Buttons with the standard command ids: OK / Apply, Cancel / Close, and the framework's
   Help command (which reaches the application's help handler). */
#define IDC_APPLY 1
#define IDC_OK 1
#define IDC_CLOSE 2
#define IDC_CANCEL 2
#define ID_HELP 57670

/* Main dialog (IDD_HALSHIFT_DIALOG). */
#define IDC_CURRENT_HAL_LABEL 1000
#define IDC_CURRENT_HAL 1001
#define IDC_PROCESSORS_LABEL 1002
#define IDC_INSTALLED_PROCESSORS 1003
#define IDC_RECOMMENDATION 1004
#define IDC_UPGRADE_HAL 1005
#define IDC_HAL_STATE_GROUP 1006
#define IDC_RECOVERY_GROUP 1007
#define IDC_RECOVERY_OPTION 1008
#define IDC_RECOVERY_LABEL 1009
#define IDC_RECOVERY_STATE 1010
#define IDC_BANNER 1012
#define IDC_DOWNGRADE_HAL 1015
#define IDC_KEEP_HAL 1016

/* Source media prompt (IDD_SOURCE_MEDIA). */
#define IDC_FILE_LOCATION_LABEL 1000
#define IDC_FILE_LOCATION 1019
#define IDC_BROWSE 1020
#define IDC_MEDIA_ICON 1021
#define IDC_MEDIA_PROMPT 1022

#endif /* HALSHIFT_UI_RESOURCE_H */
