#include "dltrace_module.h"

#include "streams/modules.h"

#include <sys/conf.h>
#include <sys/dlpi.h>
#include <sys/modctl.h>
#include <sys/stream.h>
#include <sys/sunddi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>

namespace dltrace
{

namespace
{
std::mutex m;
std::vector<Event> ev;
std::vector<UpFrame> up_frames;
std::vector<uint8_t> pending_injection;

mblk_t *unitdata_ind(const std::vector<uint8_t> &frame)
{
    mblk_t *ind = allocb(DL_UNITDATA_IND_SIZE, BPRI_HI);
    mblk_t *data = allocb(frame.size(), BPRI_MED);
    if (!ind || !data) {
        ADD_FAILURE() << "allocb";
        if (ind)
            freeb(ind);
        if (data)
            freeb(data);
        return nullptr;
    }
    std::memset(ind->b_rptr, 0, DL_UNITDATA_IND_SIZE);
    reinterpret_cast<dl_unitdata_ind_t *>(ind->b_rptr)->dl_primitive = DL_UNITDATA_IND;
    ind->b_wptr = ind->b_rptr + DL_UNITDATA_IND_SIZE;
    DB_TYPE(ind) = M_PROTO;
    std::memcpy(data->b_wptr, frame.data(), frame.size());
    data->b_rptr += 14; // the link header stays in front, as a NIC delivers it
    data->b_wptr += frame.size();
    ind->b_cont = data;
    return ind;
}

void note(bool up, mblk_t *mp)
{
    Event e{up, DB_TYPE(mp), 0, 0};
    switch (DB_TYPE(mp)) {
    case M_PROTO:
    case M_PCPROTO:
        if (MBLKL(mp) >= 4)
            std::memcpy(&e.prim, mp->b_rptr, 4);
        if (e.prim == DL_INFO_ACK && MBLKL(mp) >= static_cast<ssize_t>(DL_INFO_ACK_SIZE))
            e.state = reinterpret_cast<dl_info_ack_t *>(mp->b_rptr)->dl_current_state;
        break;
    case M_IOCTL:
    case M_IOCACK:
    case M_IOCNAK:
        e.prim = static_cast<uint32_t>(reinterpret_cast<struct iocblk *>(mp->b_rptr)->ioc_cmd);
        break;
    default:
        break;
    }
    mblk_t *data = nullptr;
    bool unitdata = false;
    if (up && DB_TYPE(mp) == M_DATA) {
        data = mp;
    } else if (up && e.prim == DL_UNITDATA_IND && mp->b_cont) {
        data = mp->b_cont;
        unitdata = true;
    }
    std::lock_guard l(m);
    if (data) {
        UpFrame f;
        f.unitdata = unitdata;
        f.headroom = (data->b_rptr - DB_BASE(data)) - 14;
        if (f.headroom >= 0)
            f.frame.assign(data->b_rptr - 14, data->b_wptr);
        up_frames.push_back(std::move(f));
        return; // frames are not DLPI events
    }
    if (DB_TYPE(mp) != M_DATA)
        ev.push_back(e);
}

int tr_open(queue_t *q, dev_t *, int, int, cred_t *)
{
    qprocson(q);
    return 0;
}
int tr_close(queue_t *q, int, cred_t *)
{
    qprocsoff(q);
    return 0;
}
int tr_rput(queue_t *q, mblk_t *mp)
{
    note(true, mp);
    uint32_t prim = 0;
    if (DB_TYPE(mp) == M_PCPROTO && MBLKL(mp) >= 4)
        std::memcpy(&prim, mp->b_rptr, 4);
    if (prim == DL_BIND_ACK) {
        std::vector<uint8_t> frame;
        {
            std::lock_guard l(m);
            frame.swap(pending_injection);
        }
        if (!frame.empty())
            if (mblk_t *ind = unitdata_ind(frame))
                putnext(q, ind);
    }
    putnext(q, mp);
    return 0;
}
int tr_wput(queue_t *q, mblk_t *mp)
{
    note(false, mp);
    putnext(q, mp);
    return 0;
}

struct module_info tr_minfo = {0x7472, "dltrace", 0, INFPSZ, 65536, 1024};
struct qinit tr_rinit = {tr_rput,   nullptr, tr_open, tr_close, nullptr,
                         &tr_minfo, nullptr, nullptr, nullptr,  STRUIOT_DONTCARE};
struct qinit tr_winit = {tr_wput,   nullptr, nullptr, nullptr, nullptr,
                         &tr_minfo, nullptr, nullptr, nullptr, STRUIOT_DONTCARE};
struct streamtab tr_tab = {&tr_rinit, &tr_winit, nullptr, nullptr};
struct fmodsw tr_fmodsw = {"dltrace", &tr_tab, D_MP};
struct modlstrmod tr_modl = {&mod_strmodops, "dltrace test module", &tr_fmodsw};
struct modlinkage tr_ml = {MODREV_1, {&tr_modl, nullptr}};
int tr_init()
{
    return mod_install(&tr_ml);
}
int tr_fini()
{
    return mod_remove(&tr_ml);
}
int tr_info(struct modinfo *mip)
{
    return mod_info(&tr_ml, mip);
}
} // namespace

void load()
{
    static std::once_flag once;
    std::call_once(once, [] {
        ASSERT_EQ(platform::modules::load_builtin("dltrace", tr_init, tr_fini, tr_info), 0);
    });
}

void reset()
{
    std::lock_guard l(m);
    ev.clear();
    up_frames.clear();
    pending_injection.clear();
}

void inject_before_bind_ack(std::vector<uint8_t> frame)
{
    std::lock_guard l(m);
    pending_injection = std::move(frame);
}

std::vector<Event> events()
{
    std::lock_guard l(m);
    return ev;
}

std::vector<UpFrame> frames()
{
    std::lock_guard l(m);
    return up_frames;
}

std::string describe(const std::vector<Event> &v)
{
    std::string s;
    for (const auto &e : v)
        s += std::string(e.up ? "up " : "down ") + std::to_string(e.type) + "/0x" +
             [&] {
                 char b[16];
                 std::snprintf(b, sizeof b, "%x", e.prim);
                 return std::string(b);
             }() +
             (e.prim == DL_INFO_ACK && e.up ? " state " + std::to_string(e.state) : "") + "\n";
    return s;
}

} // namespace dltrace
