// Resource and command ids of the Windows desktop program, shared by the resource script and the
// code. Plain #defines: the resource compiler reads this file too.
#pragma once

#define IDR_MAINFRAME 128
#define IDD_ABOUTBOX 100
#define IDD_PROG_FORM 101
#define IDR_TERM_POPUP 133
// The station window (korvalin.exe --station) and its port dialog.
#define IDD_STATION 102
#define IDD_STATION_ADD 103
#define IDR_STATION 134

#define IDC_COMMPORT 1001
#define IDC_MISC_BUTTON 1010
#define IDC_TERMINAL 1013
#define IDC_COMMPORT_LABEL 1014
// Created at run time beside the action button while a file is sent.
#define IDC_PROGRESS 1020
#define IDC_PROGRESS_TEXT 1021

// The station window's controls.
#define IDC_ST_PORTS_LABEL 1100
#define IDC_ST_PORTS 1101
#define IDC_ST_START 1102
#define IDC_ST_STOP 1103
#define IDC_ST_ABORT 1104
#define IDC_ST_ADD 1105
#define IDC_ST_REMOVE 1106
#define IDC_ST_OPEN 1107
#define IDC_ST_SAVE 1108
#define IDC_ST_TOTALS 1109
#define IDC_ST_RECORDS 1110
#define IDC_ST_TERMINAL_LABEL 1111
#define IDC_ST_TERMINAL 1112
#define IDC_ST_FILE 1120
#define IDC_ST_BROWSE 1121
#define IDC_ST_EXPECT 1122
#define IDC_ST_REJECT 1123
#define IDC_ST_UNIT 1124
#define IDC_ST_VERDICT_TIMEOUT 1125
#define IDC_ST_PROMPT_TIMEOUT 1126
#define IDC_ST_LOG_DIR 1127
#define IDC_ST_REPEAT 1128
#define IDC_ADD_PORT 1140
#define IDC_ADD_LABEL 1141

#define ID_SEND_UPDATE_FILE 32771
#define ID_FILE_NEW 57600
#define ID_FILE_OPEN 57601
#define ID_FILE_SAVE 57603
#define ID_EDIT_COPY 57634
#define ID_EDIT_CUT 57635
#define ID_EDIT_PASTE 57637
#define ID_EDIT_UNDO 57643
#define ID_APP_ABOUT 57664
#define ID_APP_EXIT 57665
#define ID_NEXT_PANE 57680
#define ID_PREV_PANE 57681

#define IDS_APP_TITLE 57344
#define IDS_IDLEMESSAGE 57345

#define KORV_TERM_CLASS L"CKorvTermWidget"
#define KORV_TERM_CLASS_A "CKorvTermWidget"
#define KORV_FRAME_CLASS L"KorvalinFrame"
