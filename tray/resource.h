// Resource numbers of KorvellOLE; the program and its .rc file share them.
#pragma once

#define IDS_APP_TITLE 103          // window title
#define IDC_KORVELL 109            // window class name
#define IDI_KORVELL 139            // notification-area and class icon
#define IDM_TRAY 131               // menu whose first popup is the icon's menu
#define IDD_ABOUTBOX 103           // information box
#define IDM_EXIT 32772             // "Вихід з програми"
#define IDM_ABOUT 32773            // "Про програму"

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
