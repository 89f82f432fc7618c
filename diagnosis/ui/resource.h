// Resource and control ids of the diagnosis program.
#pragma once

#define IDR_MAINFRAME            128
#define IDD_VPN_DIAGNOSIS        102
#define IDP_SOCKETS_INIT_FAILED  103

#define IDC_STATUS_OK            1000
#define IDC_STATUS_BROKEN        1001
#define IDC_COMMENTS             1002
#define IDC_REPORT               1003
#define IDC_START_DIAGNOSIS      1004
#define IDC_SAVE_REPORT          1005
#define IDC_COPY_REPORT          1006
