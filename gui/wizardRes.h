// Resource identifiers of the two Win32 migration windows: their dialog
// templates (vb6/frmChangeVersio.rc, dotnet/frmChangeVersio.rc), the icons
// (gui/wizard.rc) and the controls, which carry the names of the windows'
// controls. Both windows give a control of the same name the same number, so
// that the window code shared by both finds it.
#pragma once

#define IDI_KVMIGRATE 100   // the programs' icon
#define IDI_BINOCULARS 101  // the browse button's picture

#define IDD_KVMIGRATE 200        // the kvMigrate window
#define IDD_KVMIGRATEDOTNET 201  // the kvMigrateDotNet window

#define IDC_Label1_0 1000
#define IDC_TxtProject 1001
#define IDC_List1 1002
#define IDC_Command1 1003
#define IDC_cmdConvert 1004
#define IDC_cmdExit 1005
#define IDC_chkAllModules 1006
#define IDC_Label1_2 1007
#define IDC_Label2 1008
#define IDC_Text1 1009
#define IDC_Text2 1010
#define IDC_Label3 1011
// The report pane, shown below the list once a run has a report.
#define IDC_reportText 1012
#define IDC_cmdSaveReport 1013
#define IDC_reportStatus 1014
