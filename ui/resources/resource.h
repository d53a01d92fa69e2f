// Identifiers shared by the resource script and the code.
#pragma once

#define IDS_TITLE 103
#define IDI_MAIN_ICON 107
#define IDI_MAIN_ICON_SMALL 108
#define IDS_CLASS_NAME 109
#define IDD_WIZARD_PANEL 129

#define IDC_PORT_COMBO 1013
#define IDC_OPEN_BUTTON 1014
#define IDC_BAUD_COMBO 1027
#define IDC_STATUS_TEXT 1030
#define IDC_HINT_TEXT 1032
#define IDC_SET_BUTTON 1047
#define IDC_VERSION_TEXT 1049
#define IDC_RESULT_TEXT 1051

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
