// Resource and control numbers of BrenvikTest. The Wine test presses the
// buttons by these numbers: change them together with tests/testutil.
#pragma once

#define IDI_BRENVIK_TEST 101
#define IDD_MAIN 102

#define IDC_PORT 1001
#define IDC_CASHIER 1002
#define IDC_PASSWORD 1003
#define IDC_CONNECT 1004
#define IDC_DISCONNECT 1005

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

#define IDC_RESULT 1030
#define IDC_HISTORY 1031
