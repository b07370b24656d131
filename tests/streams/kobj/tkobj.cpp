// A kernel object for the loading test: a clone driver "tkobj" and a STREAMS module "tkobjm"
// in one linkage, built as a shared object and loaded with platform::modules::load.
#include <sys/cmn_err.h>
#include <sys/modctl.h>
#include <sys/stream.h>
#include <sys/sunddi.h>

#include <errno.h>

static int tk_open(queue_t *q, dev_t *devp, int flag, int sflag, cred_t *cr)
{
    (void)devp, (void)flag, (void)sflag, (void)cr;
    qprocson(q);
    return 0;
}
static int tk_close(queue_t *q, int flag, cred_t *cr)
{
    (void)flag, (void)cr;
    qprocsoff(q);
    return 0;
}
static int tk_wput(queue_t *q, mblk_t *mp)
{
    (void)q;
    freemsg(mp);
    return 0;
}
static int tk_rput(queue_t *q, mblk_t *mp)
{
    putnext(q, mp);
    return 0;
}
static int tk_attach(dev_info_t *dip, ddi_attach_cmd_t cmd)
{
    if (cmd != DDI_ATTACH)
        return DDI_FAILURE;
    if (ddi_create_minor_node(dip, "tkobj", S_IFCHR, 0, DDI_PSEUDO, CLONE_DEV) != DDI_SUCCESS)
        return DDI_FAILURE;
    printf("tkobj attached\n");
    return DDI_SUCCESS;
}
static int tk_detach(dev_info_t *dip, ddi_detach_cmd_t cmd)
{
    (void)cmd;
    ddi_remove_minor_node(dip, NULL);
    return DDI_SUCCESS;
}

static struct module_info tk_minfo = {0x77, "tkobj", 0, INFPSZ, 1024, 1};
static struct qinit tk_rinit = {tk_rput,   NULL, tk_open, tk_close, NULL,
                                &tk_minfo, NULL, NULL,    NULL,     0};
static struct qinit tk_winit = {tk_wput, NULL, NULL, NULL, NULL, &tk_minfo, NULL, NULL, NULL, 0};
static struct streamtab tk_strtab = {&tk_rinit, &tk_winit, NULL, NULL};
static struct cb_ops tk_cb_ops = {nulldev,     nulldev,    nodev, nodev, nodev, nodev,
                                  nodev,       nodev,      nodev, nodev, nodev, nochpoll,
                                  ddi_prop_op, &tk_strtab, D_MP,  0,     nodev, nodev};
static struct dev_ops tk_ops = {DEVO_REV,  0,     NULL,       nulldev, nulldev, tk_attach,
                                tk_detach, nodev, &tk_cb_ops, NULL,    NULL,    NULL};
static struct fmodsw tk_fsw = {"tkobjm", &tk_strtab, D_MP};
static struct modldrv tk_modldrv = {&mod_driverops, "test kernel object driver", &tk_ops};
static struct modlstrmod tk_modlstrmod = {&mod_strmodops, "test kernel object module", &tk_fsw};
static struct modlinkage tk_linkage = {MODREV_1, {&tk_modlstrmod, &tk_modldrv, NULL}};

extern "C" int _init(void)
{
    return mod_install(&tk_linkage);
}
extern "C" int _info(struct modinfo *mip)
{
    return mod_info(&tk_linkage, mip);
}
extern "C" int _fini(void)
{
    return mod_remove(&tk_linkage);
}
