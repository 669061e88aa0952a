// Resource and control numbers of BrenvikTest. The Wine test presses the
// buttons by these numbers: change them together with tests/testutil.
#pragma once

#define IDI_BRENVIK_TEST 101
#define IDD_MAIN 102
#define IDD_LOG 103

#define IDC_PORT 1001
#define IDC_CASHIER 1002
#define IDC_PASSWORD 1003
#define IDC_CONNECT 1004
#define IDC_DISCONNECT 1005
#define IDC_CANCEL_CALL 1006
#define IDC_BAUD 1007
#define IDC_BAUD_NOTE 1008

#define IDC_SERIAL 1010
#define IDC_FISCAL 1011
#define IDC_KEY 1012
#define IDC_DOCUMENTS 1013
#define IDC_CLOCK 1014
#define IDC_TAXES 1015

#define IDC_REFRESH 1020
#define IDC_XREPORT 1021
#define IDC_NULLCHECK 1022
#define IDC_AMOUNT 1023
#define IDC_CASH_IN 1024
#define IDC_CASH_OUT 1025
#define IDC_SET_CLOCK 1026
#define IDC_LOG_DIR 1027
#define IDC_LOG_VIEW 1028

#define IDC_RESULT 1030
#define IDC_HISTORY 1031

// Labels and group boxes: numbered only so that their text can be set in
// the system's language.
#define IDC_LABEL_CONNECTION 1040
#define IDC_LABEL_PORT 1041
#define IDC_LABEL_CASHIER 1042
#define IDC_LABEL_PASSWORD 1043
#define IDC_LABEL_BAUD 1044
#define IDC_LABEL_STATUS 1045
#define IDC_LABEL_SERIAL 1046
#define IDC_LABEL_FISCAL 1047
#define IDC_LABEL_KEY 1048
#define IDC_LABEL_DOCUMENTS 1049
#define IDC_LABEL_CLOCK 1050
#define IDC_LABEL_TAXES 1051
#define IDC_LABEL_ACTIONS 1052
#define IDC_LABEL_AMOUNT 1053

// The log viewer
#define IDC_LOG_FIND_TEXT 1101
#define IDC_LOG_FIND 1102
#define IDC_LOG_RELOAD 1103
#define IDC_LOG_STATUS 1104
#define IDC_LOG_TEXT 1105
#define IDC_LOG_FIND_LABEL 1106
