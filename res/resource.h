// Resource identifiers shared by the resource script and the updater's code.
#pragma once

#define IDS_TEMPFILE_FAILED 1
#define IDS_EXTRACT_FAILED 5
#define IDS_NOT_INSTALLED 11
#define IDS_PATCH_FAILED 16
#define IDS_UPDATE_DONE 17

#define IDR_PATCHDATA 103

#define IDD_EXTRACT 109
#define IDD_CONFIRM 110
#define IDD_PROGRESS 111

#define IDC_PROGRESS 1008
#define IDC_STATIC_TEXT -1
