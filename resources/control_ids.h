/* Control ids of the dialog "FWU", shared by the resource script and the
   window code; the resource compiler takes only macros. */
#ifndef FWU_CONTROL_IDS_H
#define FWU_CONTROL_IDS_H

#define IDC_PORT_LIST 3
#define IDC_UPDATE 4
#define IDC_STATUS 5

#endif
