// A pass-through STREAMS module for the autopush tool's tests, so that autopush lists can
// hold modules other than nvx ("moda" and "modb": the same source built twice with
// PASSMOD_NAME set). Both put procedures pass every message on; nothing is kept.
#include <errno.h>
#include <sys/cmn_err.h>
#include <sys/modctl.h>
#include <sys/stream.h>
#include <sys/sunddi.h>

#ifndef PASSMOD_NAME
#error "PASSMOD_NAME names the module"
#endif

static int pm_open(queue_t *q, dev_t *devp, int flag, int sflag, cred_t *cr)
{
    (void)devp, (void)flag, (void)cr;
    if (sflag != MODOPEN)
        return ENXIO;
    qprocson(q);
    return 0;
}

static int pm_close(queue_t *q, int flag, cred_t *cr)
{
    (void)flag, (void)cr;
    qprocsoff(q);
    return 0;
}

// Read and write side alike; runs in whatever context the neighbour put the message.
static int pm_put(queue_t *q, mblk_t *mp)
{
    putnext(q, mp);
    return 0;
}

static struct module_info pm_minfo = {
    0x7a01,       /* mi_idnum */
    PASSMOD_NAME, /* mi_idname */
    0,            /* mi_minpsz */
    INFPSZ,       /* mi_maxpsz */
    STRHIGH,      /* mi_hiwat */
    STRLOW,       /* mi_lowat */
};
static struct qinit pm_rinit = {pm_put,    NULL, pm_open, pm_close, NULL,
                                &pm_minfo, NULL, NULL,    NULL,     0};
static struct qinit pm_winit = {pm_put, NULL, NULL, NULL, NULL, &pm_minfo, NULL, NULL, NULL, 0};
static struct streamtab pm_strtab = {&pm_rinit, &pm_winit, NULL, NULL};
static struct fmodsw pm_fsw = {PASSMOD_NAME, &pm_strtab, D_MP};
static struct modlstrmod pm_modlstrmod = {&mod_strmodops, "autopush test module", &pm_fsw};
static struct modlinkage pm_linkage = {MODREV_1, {&pm_modlstrmod, NULL}};

extern "C" int _init(void)
{
    return mod_install(&pm_linkage);
}
extern "C" int _info(struct modinfo *mip)
{
    return mod_info(&pm_linkage, mip);
}
extern "C" int _fini(void)
{
    return mod_remove(&pm_linkage);
}
