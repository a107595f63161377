// Resource and command ids of the Windows desktop program, shared by the resource script and the
// code. Plain #defines: the resource compiler reads this file too.
#pragma once

#define IDR_MAINFRAME 128
#define IDD_ABOUTBOX 100
#define IDD_PROG_FORM 101
#define IDR_TERM_POPUP 133

#define IDC_COMMPORT 1001
#define IDC_MISC_BUTTON 1010
#define IDC_TERMINAL 1013
#define IDC_COMMPORT_LABEL 1014
// Created at run time beside the action button while a file is sent.
#define IDC_PROGRESS 1020
#define IDC_PROGRESS_TEXT 1021

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
