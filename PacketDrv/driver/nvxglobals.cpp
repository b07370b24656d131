/*
 * Definitions of the driver-wide state declared in nvx.h. Everything here is constant-
 * initialised (no static constructors): the locks are zero-filled until _init initialises them,
 * and the adapter table starts with every slot free.
 */
#include "nvx.h"

dev_info_t *nvx_dip;
krwlock_t nvx_rwlock;
krwlock_t nvx_bindlock;
krwlock_t nvx_pflock;
kmutex_t FloodLock;

BindingInfo *BindingList;
BindingInfo *CurrentBinding;
BindingInfo *OpenModules;

#define NVX_FREE_SLOT                                                                              \
    {                                                                                              \
        {0, 0, 0, 0, 0, 0, NVX_UNKNOWN_PPA, {0}, {0}}, 0, nullptr                                  \
    }
nvx_ppaInfo ppaList[MAX_PPA] = {NVX_FREE_SLOT, NVX_FREE_SLOT, NVX_FREE_SLOT, NVX_FREE_SLOT,
                                NVX_FREE_SLOT, NVX_FREE_SLOT, NVX_FREE_SLOT, NVX_FREE_SLOT,
                                NVX_FREE_SLOT, NVX_FREE_SLOT};
#undef NVX_FREE_SLOT

int totalPut;
int totalFreed;
int totalRecvd;
int totalDataPkts;
int totalQueued;

U32 GlobalTimeout = 10;
U32 GlobalThreshold = 50;
