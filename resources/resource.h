// Identifiers of the installer's resources: dialogs, controls, strings and the icon.
#ifndef VANTREL_RESOURCES_RESOURCE_H
#define VANTREL_RESOURCES_RESOURCE_H

// ---- Icon ----
#define IDI_INSTALLER 310

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
#define IDS_LOG_UPDATED 250
#define IDS_LOG_INSTALLED 251
#define IDS_LOG_OVERWRITTEN 252
#define IDS_LOG_ORIGINAL_MISSING 255
#define IDS_LOG_ORIGINAL_CRC 256
#define IDS_LOG_UPDATED_CRC 257
#define IDS_LOG_DATA_ERROR 258
#define IDS_LOG_ALREADY_UPDATED 259
#define IDS_LOG_ACCESS_DENIED 260
#define IDS_ABOUT_TITLE 300
#define IDS_TITLE_WELCOME 301
#define IDS_TITLE_LICENCE 302
#define IDS_TITLE_GUIDE 303
#define IDS_TITLE_DESTINATION 304
#define IDS_TITLE_RESULTS 306
#define IDS_TITLE_FINISH 307

#endif  // VANTREL_RESOURCES_RESOURCE_H
