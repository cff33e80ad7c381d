// Resource identifiers of kestrava.exe: strings, artwork, dialogs, controls and menu commands.
#pragma once

// String table
#define IDS_APP_TITLE            103   // "Kestrava": main window title and icon tip
#define IDS_WINDOW_CLASS         109   // "ZR51_KESTRAVA": main window class

// Artwork
#define IDI_KESTRAVA             101   // icon group: class, notification area, dialogs
#define IDB_SPLASH               131   // 540 x 300 start-up picture
#define IDB_SPLASH_2X            132   // the same picture drawn at 1080 x 600, for larger screen scales
#define IDR_MENU_PNG             138   // 16 x 16 menu image, resource type "PNG"

// Dialogs
#define IDD_ABOUT                103
#define IDD_RENEWAL              135
#define IDD_CERT_LIST            136
#define IDD_SEARCH               137
#define IDD_RENEWAL_PROGRESS     139
#define IDD_PIN                  140
#define IDD_WRITE_PROGRESS       141

// Notification-area menu commands
#define ID_ABOUT                 402
#define ID_EXIT                  403
#define ID_RENEW                 405
#define ID_WRITE_CERTIFICATE     406

// Search dialog
#define IDC_SEARCH_STATUS        1001
#define IDC_SEARCH_PROGRESS      1006

// Certificate list dialog
#define IDC_CERT_LIST            1003
#define IDC_CERT_VIEW            1005
#define IDC_CERT_REFRESH         1007

// Renewal dialog
#define IDC_CHOOSE               1002
#define IDC_RENEW                1004
#define IDC_SUBJECT              1008
#define IDC_OGRN                 1010
#define IDC_INN                  1011
#define IDC_VALID_TO             1013
#define IDC_ORGANIZATION         1014
#define IDC_FULL_NAME            1015
#define IDC_SNILS                1016

// Renewal progress dialog
#define IDC_RENEWAL_PROGRESS     1018

// PIN dialog
#define IDC_PIN                  1019

// Progress of writing a certificate from a file
#define IDC_WRITE_PROGRESS       1020
