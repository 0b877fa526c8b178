// Resource ids of the updater's window.
#pragma once

#define IDD_UPDATE_DIALOG 102
#define IDI_UPDATE_ICON 128
#define IDB_BACKGROUND 130
#define IDB_BAR 131
#define IDB_BUTTON 132
