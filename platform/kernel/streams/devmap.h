/*
 * The devmap handle of one mapping request: what the driver's devmap entry exported through
 * devmap_umem_setup.
 */
#ifndef NVX_PLATFORM_STREAMS_DEVMAP_H
#define NVX_PLATFORM_STREAMS_DEVMAP_H

#include <sys/sunddi.h>

struct devmap_handle {
    bool set = false;                   // devmap_umem_setup succeeded
    ddi_umem_cookie_t cookie = nullptr; // the exported allocation
    offset_t koff = 0;                  // offset in it
    size_t len = 0;                     // bytes, page aligned
    uint_t maxprot = 0;                 // PROT_* allowed
    dev_info_t *dip = nullptr;
};

#endif
