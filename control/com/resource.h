// Resource identifiers of the COM server, shared by kelo_ca.rc.in and the code.
#ifndef KELO_CONTROL_COM_RESOURCE_H
#define KELO_CONTROL_COM_RESOURCE_H

#define IDS_KELOCAACTIVEX 1         /* user type name of the control */
#define IDS_KELOCAACTIVEX_PPG 2     /* user type name of the property page */
#define IDS_KELOCAACTIVEX_PPG_CAPTION 200
#define IDD_PROPPAGE_KELOCAACTIVEX 200
#define IDB_KELOCAACTIVEX 202       /* toolbox and design-surface picture */
#define IDR_TYPELIB 1

#endif
