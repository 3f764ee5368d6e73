// Identifiers of the installer's resources: dialogs, controls, strings and the icon.
#ifndef VANTREL_RESOURCES_RESOURCE_H
#define VANTREL_RESOURCES_RESOURCE_H

// ---- Icon ----
#define IDI_INSTALLER 310

// ---- Dialogs: the About box, the six wizard pages and the processing dialog ----
#define IDD_ABOUT 300
#define IDD_WELCOME 301
#define IDD_LICENCE 302
#define IDD_GUIDE 303
#define IDD_DESTINATION 304
#define IDD_PROCESSING 305
#define IDD_RESULTS 306
#define IDD_FINISH 307

// ---- Commands ----
#define IDM_ABOUT 330  // the background window's system-menu item

// ---- Controls (one identifier per text across all dialogs, so one Language.ini key each) ----
#define IDC_INSTALLER_ICON 310  // the installer's icon on the About box and the pages
#define IDC_ABOUT_PRODUCT 350
#define IDC_ABOUT_VERSION 351
#define IDC_ABOUT_COPYRIGHT 352
#define IDC_ABOUT_NOTE 353
#define IDC_ABOUT_CREDIT 354
#define IDC_WELCOME_TEXT 355
#define IDC_WELCOME_ADVICE 356
#define IDC_WELCOME_EXTRA 357
#define IDC_WELCOME_FOOTER 358
#define IDC_LICENCE_INTRO 359
#define IDC_DESTINATION_TEXT 361
#define IDC_PROCESSING_CAPTION 363
#define IDC_RESULTS_HEADING 364
#define IDC_FINISH_TEXT 365
#define IDC_FINISH_CLOSING 366
#define IDC_PROCESSING_FILE 368
#define IDC_BROWSE 451
#define IDC_VIEW_README 500
#define IDC_LAUNCH_APP 501
#define IDC_ACCEPT_LICENCE 502
#define IDC_LICENCE_TEXT 530
#define IDC_DESTINATION_DIR 531
#define IDC_GUIDE_TEXT 532
#define IDC_RESULTS_LOG 533
#define IDC_PROGRESS 550
#define IDC_PICTURE 570
#define IDC_NO_ID 65535  // marks a control without an identifier of its own

// ---- Strings: file names, loaded directly, never localised ----
#define IDS_README_FILE 110
#define IDS_GUIDE_FILE 111
#define IDS_LICENSE_FILE 112
#define IDS_PATCH_FILE 113
#define IDS_LOG_FILE 114

// ---- Strings: messages and titles, looked up through Language.ini ----
#define IDS_CAPTION 200
#define IDS_CONFIRM_QUIT 201
#define IDS_SETUP 203
#define IDS_CONFIRM_COMMAND 205
#define IDS_DATA_ERROR 206
#define IDS_MAIN_FILE_FAILED 207
#define IDS_CANCELLED 208
#define IDS_ABOUT_MENU 210
#define IDS_TARGET_RUNNING 219
#define IDS_CANNOT_WRITE 220
#define IDS_PATH_TOO_LONG 221
#define IDS_ABOUT_TITLE 300
#define IDS_TITLE_WELCOME 301
#define IDS_TITLE_LICENCE 302
#define IDS_TITLE_GUIDE 303
#define IDS_TITLE_DESTINATION 304
#define IDS_TITLE_RESULTS 306
#define IDS_TITLE_FINISH 307

#endif  // VANTREL_RESOURCES_RESOURCE_H
