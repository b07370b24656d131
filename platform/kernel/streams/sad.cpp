/*
 * The STREAMS administrative driver "sad": autopush configuration.
 *
 * Nodes: "/dev/sad/admin" (minor ADMMIN, privileged: opening needs drv_priv) answers SAD_SAP,
 * SAD_GAP and SAD_VML; "/dev/sad/user" (minor USRMIN) answers SAD_GAP and SAD_VML and refuses
 * SAD_SAP with EPERM. Requests are I_STR ioctls carrying the record (see sys/sad.h); both
 * versions of the ioctl codes are accepted. Transparent ioctls are refused with EINVAL.
 *
 * Messages: M_IOCTL answered with M_IOCACK/M_IOCNAK; M_FLUSH handled as a driver does; all
 * else freed. Context: the write put procedure runs in the requesting thread.
 * Lock: the table's mutex, never held while calling out.
 */
#include "autopush.h"

#include "modules.h"
#include "registry.h"

#include <sys/cmn_err.h>
#include <sys/modctl.h>
#include <sys/sad.h>
#include <sys/stream.h>
#include <sys/sunddi.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace platform::sad
{

namespace
{

constexpr size_t kMaxEntries = 64; // autopush records available (ENOSR beyond)

struct Entry {
    uint_t cmd; // SAP_ONE, SAP_RANGE, SAP_ALL
    major_t major;
    minor_t minor, lastminor;
    std::vector<std::string> modules;

    bool covers(minor_t m) const
    {
        return cmd == SAP_ALL || (cmd == SAP_ONE && m == minor) ||
               (cmd == SAP_RANGE && m >= minor && m <= lastminor);
    }
    bool overlaps(const Entry &o) const
    {
        if (major != o.major)
            return false;
        if (cmd == SAP_ALL || o.cmd == SAP_ALL)
            return true;
        minor_t a1 = minor, a2 = cmd == SAP_RANGE ? lastminor : minor;
        minor_t b1 = o.minor, b2 = o.cmd == SAP_RANGE ? o.lastminor : o.minor;
        return a1 <= b2 && b1 <= a2;
    }
};

struct Table {
    std::mutex m;
    std::vector<Entry> entries;
};

Table &table()
{
    static Table *t = new Table; // never destroyed: streams may open until exit
    return *t;
}

// The record with its two versions: version 1 has sap_anchor after the list.
struct Record {
    apcommon common;
    char list[MAXAPUSH][FMNAMESZ + 1];
    uint_t anchor;
};
static_assert(sizeof(Record) == STRAPUSH_V1_SIZE, "Record is the version 1 strapush");

// Is the major a driver we can configure? 0, EINVAL (unknown), ENOSTR (not STREAMS).
int check_major(major_t major)
{
    std::string name = platform::ddi::major_name(major);
    if (name.empty())
        return EINVAL;
    for (int attempt = 0; attempt < 2; ++attempt) {
        {
            using namespace platform::streams;
            std::lock_guard<std::mutex> g(registry().m);
            if (Driver *d = driver_by_major_locked(major)) {
                struct cb_ops *cb = d->ops->devo_cb_ops;
                return cb && cb->cb_str ? 0 : ENOSTR;
            }
        }
        if (attempt == 0 && !platform::streams::autoload(name))
            break;
    }
    return 0; // known by number but not loaded: it is checked when it is opened
}

bool module_known(const std::string &name)
{
    using namespace platform::streams;
    for (int attempt = 0; attempt < 2; ++attempt) {
        {
            std::lock_guard<std::mutex> g(registry().m);
            if (registry().modules.count(name))
                return true;
        }
        if (attempt == 0 && !autoload(name))
            break;
    }
    return false;
}

int set_autopush(const Record &r)
{
    int err = check_major(r.common.apc_major);
    if (err)
        return err;
    uint_t cmd = r.common.apc_cmd;
    if (cmd == SAP_CLEAR) {
        std::lock_guard<std::mutex> g(table().m);
        auto &es = table().entries;
        for (auto it = es.begin(); it != es.end(); ++it) {
            if (it->major != r.common.apc_major || !it->covers(r.common.apc_minor))
                continue;
            minor_t first = it->cmd == SAP_ALL ? 0 : it->minor;
            if (first != r.common.apc_minor)
                return ERANGE;
            es.erase(it);
            return 0;
        }
        return ENODEV;
    }
    if (cmd != SAP_ONE && cmd != SAP_RANGE && cmd != SAP_ALL)
        return EINVAL;
    if (r.common.apc_npush == 0 || r.common.apc_npush > MAXAPUSH)
        return EINVAL;
    if (cmd == SAP_RANGE && r.common.apc_lastminor <= r.common.apc_minor)
        return ERANGE;
    Entry e;
    e.cmd = cmd;
    e.major = r.common.apc_major;
    e.minor = cmd == SAP_ALL ? 0 : r.common.apc_minor;
    e.lastminor = cmd == SAP_RANGE ? r.common.apc_lastminor : e.minor;
    for (uint_t i = 0; i < r.common.apc_npush; ++i) {
        size_t n = strnlen(r.list[i], FMNAMESZ + 1);
        if (n == 0 || n > FMNAMESZ)
            return EINVAL;
        std::string name(r.list[i], n);
        if (!module_known(name))
            return EINVAL;
        e.modules.push_back(name);
    }
    std::lock_guard<std::mutex> g(table().m);
    auto &es = table().entries;
    for (const Entry &o : es)
        if (o.overlaps(e))
            return EEXIST;
    if (es.size() >= kMaxEntries)
        return ENOSR;
    es.push_back(std::move(e));
    return 0;
}

int get_autopush(Record *r)
{
    int err = check_major(r->common.apc_major);
    if (err)
        return err;
    std::lock_guard<std::mutex> g(table().m);
    for (const Entry &e : table().entries) {
        if (e.major != r->common.apc_major || !e.covers(r->common.apc_minor))
            continue;
        memset(r, 0, sizeof *r);
        r->common.apc_cmd = e.cmd;
        r->common.apc_major = e.major;
        r->common.apc_minor = e.minor;
        r->common.apc_lastminor = e.lastminor;
        r->common.apc_npush = static_cast<uint_t>(e.modules.size());
        for (size_t i = 0; i < e.modules.size(); ++i)
            memcpy(r->list[i], e.modules[i].c_str(), e.modules[i].size() + 1);
        return 0;
    }
    return ENODEV;
}

// ---- the driver ----

dev_info_t *sad_dip;

// Copies the ioctl data (b_cont chain) into buf; returns the bytes available.
size_t gather(mblk_t *mp, void *buf, size_t len)
{
    size_t got = 0;
    for (mblk_t *b = mp->b_cont; b && got < len; b = b->b_cont) {
        size_t n = static_cast<size_t>(MBLKL(b));
        if (n > len - got)
            n = len - got;
        memcpy(static_cast<char *>(buf) + got, b->b_rptr, n);
        got += n;
    }
    return got;
}

void reply(queue_t *q, mblk_t *mp, int error, int rval, const void *data, size_t len)
{
    auto *ioc = reinterpret_cast<struct iocblk *>(mp->b_rptr);
    if (mp->b_cont) {
        freemsg(mp->b_cont);
        mp->b_cont = nullptr;
    }
    if (!error && len) {
        mblk_t *d = allocb(len, BPRI_MED);
        if (!d) {
            error = ENOSR;
        } else {
            memcpy(d->b_wptr, data, len);
            d->b_wptr += len;
            mp->b_cont = d;
        }
    }
    mp->b_datap->db_type = error ? M_IOCNAK : M_IOCACK;
    ioc->ioc_error = error;
    ioc->ioc_rval = error ? -1 : rval;
    ioc->ioc_count = error ? 0 : len;
    qreply(q, mp);
}

void sad_ioctl(queue_t *q, mblk_t *mp)
{
    auto *ioc = reinterpret_cast<struct iocblk *>(mp->b_rptr);
    bool admin = reinterpret_cast<uintptr_t>(RD(q)->q_ptr) == ADMMIN + 1;
    int cmd = ioc->ioc_cmd;
    if (ioc->ioc_count == static_cast<size_t>(0xFFFFFFFFu)) { // TRANSPARENT
        reply(q, mp, EINVAL, 0, nullptr, 0);
        return;
    }
    size_t count = ioc->ioc_count;
    switch (cmd) {
    case SAD_SAP_V0:
    case SAD_SAP_V1:
    case SAD_GAP_V0:
    case SAD_GAP_V1: {
        bool v1 = cmd == SAD_SAP_V1 || cmd == SAD_GAP_V1;
        size_t size = v1 ? STRAPUSH_V1_SIZE : STRAPUSH_V0_SIZE;
        Record r;
        memset(&r, 0, sizeof r);
        if (count < size || gather(mp, &r, size) < size) {
            reply(q, mp, EFAULT, 0, nullptr, 0);
            return;
        }
        if (cmd == SAD_SAP_V0 || cmd == SAD_SAP_V1) {
            int err = admin ? set_autopush(r) : EPERM;
            reply(q, mp, err, 0, nullptr, 0);
            return;
        }
        int err = get_autopush(&r);
        reply(q, mp, err, 0, &r, size);
        return;
    }
    case SAD_VML: {
        size_t n = count / sizeof(struct str_mlist);
        if (n == 0) {
            reply(q, mp, EINVAL, 0, nullptr, 0);
            return;
        }
        std::vector<struct str_mlist> names(n);
        if (gather(mp, names.data(), n * sizeof(struct str_mlist)) < n * sizeof(str_mlist)) {
            reply(q, mp, EFAULT, 0, nullptr, 0);
            return;
        }
        int rval = 0;
        for (auto &m : names) {
            size_t len = strnlen(m.l_name, FMNAMESZ + 1);
            if (len == 0 || len > FMNAMESZ || !module_known(std::string(m.l_name, len)))
                rval = 1;
        }
        reply(q, mp, 0, rval, nullptr, 0);
        return;
    }
    default:
        reply(q, mp, EINVAL, 0, nullptr, 0);
        return;
    }
}

int sad_wput(queue_t *q, mblk_t *mp)
{
    switch (mp->b_datap->db_type) {
    case M_IOCTL:
        if (MBLKL(mp) >= static_cast<ptrdiff_t>(sizeof(struct iocblk))) {
            sad_ioctl(q, mp);
            return 0;
        }
        break;
    case M_FLUSH:
        if (*mp->b_rptr & FLUSHR) {
            *mp->b_rptr &= static_cast<unsigned char>(~FLUSHW);
            qreply(q, mp);
            return 0;
        }
        break;
    default:
        break;
    }
    freemsg(mp);
    return 0;
}

int sad_open(queue_t *q, dev_t *devp, int flag, int sflag, cred_t *cr)
{
    (void)flag;
    if (sflag != 0)
        return ENXIO; // neither a module nor a clone
    minor_t minor = getminor(*devp);
    if (minor != ADMMIN && minor != USRMIN)
        return ENXIO;
    if (minor == ADMMIN && drv_priv(cr) != 0)
        return EPERM;
    if (!q->q_ptr)
        q->q_ptr = WR(q)->q_ptr = reinterpret_cast<void *>(static_cast<uintptr_t>(minor) + 1);
    qprocson(q);
    return 0;
}

int sad_close(queue_t *q, int flag, cred_t *cr)
{
    (void)flag, (void)cr;
    qprocsoff(q);
    q->q_ptr = WR(q)->q_ptr = nullptr;
    return 0;
}

int sad_rput(queue_t *q, mblk_t *mp)
{
    putnext(q, mp);
    return 0;
}

struct module_info sad_minfo = {
    0x1234,  /* mi_idnum */
    "sad",   /* mi_idname */
    0,       /* mi_minpsz */
    INFPSZ,  /* mi_maxpsz */
    STRHIGH, /* mi_hiwat */
    STRLOW,  /* mi_lowat */
};
struct qinit sad_rinit = {sad_rput,   nullptr, sad_open, sad_close, nullptr,
                          &sad_minfo, nullptr, nullptr,  nullptr,   0};
struct qinit sad_winit = {sad_wput,   nullptr, nullptr, nullptr, nullptr,
                          &sad_minfo, nullptr, nullptr, nullptr, 0};
struct streamtab sad_strtab = {&sad_rinit, &sad_winit, nullptr, nullptr};

int sad_attach(dev_info_t *dip, ddi_attach_cmd_t cmd)
{
    if (cmd != DDI_ATTACH)
        return DDI_FAILURE;
    if (ddi_create_minor_node(dip, "sad/admin", S_IFCHR, ADMMIN, DDI_PSEUDO, 0) != DDI_SUCCESS ||
        ddi_create_minor_node(dip, "sad/user", S_IFCHR, USRMIN, DDI_PSEUDO, 0) != DDI_SUCCESS) {
        ddi_remove_minor_node(dip, nullptr);
        return DDI_FAILURE;
    }
    sad_dip = dip;
    return DDI_SUCCESS;
}

int sad_detach(dev_info_t *dip, ddi_detach_cmd_t cmd)
{
    if (cmd != DDI_DETACH)
        return DDI_FAILURE;
    ddi_remove_minor_node(dip, nullptr);
    return DDI_SUCCESS;
}

int sad_getinfo(dev_info_t *dip, ddi_info_cmd_t cmd, void *arg, void **result)
{
    (void)dip, (void)arg;
    if (cmd == DDI_INFO_DEVT2DEVINFO) {
        *result = sad_dip;
        return sad_dip ? DDI_SUCCESS : DDI_FAILURE;
    }
    if (cmd == DDI_INFO_DEVT2INSTANCE) {
        *result = nullptr;
        return DDI_SUCCESS;
    }
    return DDI_FAILURE;
}

struct cb_ops sad_cb_ops = {
    nulldev,     /* cb_open */
    nulldev,     /* cb_close */
    nodev,       /* cb_strategy */
    nodev,       /* cb_print */
    nodev,       /* cb_dump */
    nodev,       /* cb_read */
    nodev,       /* cb_write */
    nodev,       /* cb_ioctl */
    nodev,       /* cb_devmap */
    nodev,       /* cb_mmap */
    nodev,       /* cb_segmap */
    nochpoll,    /* cb_chpoll */
    ddi_prop_op, /* cb_prop_op */
    &sad_strtab, /* cb_str */
    D_MP,        /* cb_flag */
    0,           /* cb_rev */
    nodev,       /* cb_aread */
    nodev,       /* cb_awrite */
};

struct dev_ops sad_ops = {
    DEVO_REV,               /* devo_rev */
    0,                      /* devo_refcnt */
    sad_getinfo,            /* devo_getinfo */
    nulldev,                /* devo_identify */
    nulldev,                /* devo_probe */
    sad_attach,             /* devo_attach */
    sad_detach,             /* devo_detach */
    nodev,                  /* devo_reset */
    &sad_cb_ops,            /* devo_cb_ops */
    nullptr,                /* devo_bus_ops */
    nullptr,                /* devo_power */
    ddi_quiesce_not_needed, /* devo_quiesce */
};

struct modldrv sad_modldrv = {&mod_driverops, "STREAMS Administrative Driver", &sad_ops};
struct modlinkage sad_modlinkage = {MODREV_1, {&sad_modldrv, nullptr}};

int sad_init()
{
    return mod_install(&sad_modlinkage);
}
int sad_fini()
{
    return mod_remove(&sad_modlinkage);
}
int sad_info(struct modinfo *mip)
{
    return mod_info(&sad_modlinkage, mip);
}

} // namespace

std::vector<std::string> autopush_list(major_t major, minor_t minor)
{
    std::lock_guard<std::mutex> g(table().m);
    for (const Entry &e : table().entries)
        if (e.major == major && e.covers(minor))
            return e.modules;
    return {};
}

void clear_all()
{
    std::lock_guard<std::mutex> g(table().m);
    table().entries.clear();
}

void install()
{
    if (!platform::modules::loaded("sad"))
        platform::modules::load_builtin("sad", sad_init, sad_fini, sad_info);
}

} // namespace platform::sad

namespace platform::streams
{

void ensure_builtins()
{
    static std::once_flag once;
    std::call_once(once, [] { platform::sad::install(); });
}

} // namespace platform::streams
