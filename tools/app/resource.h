// Identifiers of the program's resources and of the main window's controls.
#pragma once

#define IDD_MAIN 100
#define IDI_APP 101

#define IDC_WINDOWS 1001
#define IDC_REFRESH 1002
#define IDC_WHOLEWINDOW 1003
#define IDC_FPS 1010
#define IDC_OUTSIZE 1011
#define IDC_MATRIX 1012
#define IDC_RANGE 1013
#define IDC_SOUND 1014
#define IDC_MEMORY 1015
#define IDC_POINTER 1016
#define IDC_WAITKEY 1017
#define IDC_FOLDER 1020
#define IDC_BROWSE 1021
#define IDC_PATTERN 1022
#define IDC_PREVIEW 1023
#define IDC_STREAM 1024
#define IDC_RECORD 1030
#define IDC_PAUSE 1031
#define IDC_STOP 1032
#define IDC_STATE 1040
#define IDC_PROGRESS 1041
#define IDC_MESSAGE 1042
#define IDC_FILES 1043
#define IDC_OPENFOLDER 1044
#define IDC_SAVEAS 1045
#define IDC_NOTE 1046
#define IDC_HOTKEYS 1047
