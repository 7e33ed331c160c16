/* Identifiers of the "Tag Format" dialog and of its controls: one list for
 * the resource script, the dialog procedure and the headless stand-in of the
 * window system. Plain defines, so that the resource compiler reads them. */
#ifndef ZEL_DIALOG_IDS_H
#define ZEL_DIALOG_IDS_H

#define ZEL_DLG_TAG_FORMAT 101
#define ZEL_IDC_PLC_NUMBER 1037
#define ZEL_IDC_MEMORY_TYPE 1006
#define ZEL_IDC_ADDRESS 1007
#define ZEL_IDC_BIT_NUMBER 1022
#define ZEL_IDC_PLC_ARROWS 1036

#endif
