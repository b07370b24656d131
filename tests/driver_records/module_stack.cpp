#include "module_stack.h"

#include "queue_pair.h"

#include <utility>

namespace nvxtest
{

namespace
{

int pass_on(queue_t *q, mblk_t *mp)
{
    putnext(q, mp);
    return 0;
}

int keep(queue_t *q, mblk_t *mp)
{
    static_cast<std::vector<mblk_t *> *>(q->q_ptr)->push_back(mp);
    return 0;
}

void init_side(struct qinit *qi, struct module_info *mi, int (*put)(queue_t *, mblk_t *))
{
    qi->qi_putp = put;
    qi->qi_minfo = mi;
}

} // namespace

ModuleStack::ModuleStack(std::string driverName) : name_(std::move(driverName))
{
    using namespace platform::streams;
    upperInfo_.mi_idname = "ip";
    midInfo_.mi_idname = "nvx";
    lowerInfo_.mi_idname = name_.c_str();
    for (struct module_info *mi : {&upperInfo_, &midInfo_, &lowerInfo_}) {
        mi->mi_maxpsz = INFPSZ;
        mi->mi_hiwat = 65536;
        mi->mi_lowat = 1;
    }
    init_side(&upperR_, &upperInfo_, keep);
    init_side(&upperW_, &upperInfo_, pass_on);
    init_side(&midR_, &midInfo_, pass_on);
    init_side(&midW_, &midInfo_, pass_on);
    init_side(&lowerR_, &lowerInfo_, pass_on);
    init_side(&lowerW_, &lowerInfo_, keep);

    upper_ = alloc_pair(PairKind::module, &upperR_, &upperW_, nullptr);
    mid_ = alloc_pair(PairKind::module, &midR_, &midW_, nullptr);
    lower_ = alloc_pair(PairKind::driver, &lowerR_, &lowerW_, nullptr);
    upper_->q[0].q_ptr = &up_;
    lower_->q[1].q_ptr = &down_;

    store_next(&upper_->q[1], &mid_->q[1]);
    store_next(&mid_->q[1], &lower_->q[1]);
    store_next(&lower_->q[0], &mid_->q[0]);
    store_next(&mid_->q[0], &upper_->q[0]);
    pair_on(lower_);
    pair_on(mid_);
    pair_on(upper_);
}

ModuleStack::~ModuleStack()
{
    using namespace platform::streams;
    for (QueuePair *p : {upper_, mid_, lower_}) {
        clear_flags(&p->q[0], QFULL);
        clear_flags(&p->q[1], QFULL);
        pair_off(p);
    }
    for (mblk_t *mp : up_)
        freemsg(mp);
    for (mblk_t *mp : down_)
        freemsg(mp);
    for (QueuePair *p : {upper_, mid_, lower_}) {
        for (queue_t &q : p->q) {
            store_next(&q, nullptr);
            q.q_ptr = nullptr;
        }
        free_pair(p);
    }
}

queue_t *ModuleStack::rq() const
{
    return &mid_->q[0];
}
queue_t *ModuleStack::wq() const
{
    return &mid_->q[1];
}

std::vector<mblk_t *> ModuleStack::take_up()
{
    return std::exchange(up_, {});
}
std::vector<mblk_t *> ModuleStack::take_down()
{
    return std::exchange(down_, {});
}

void ModuleStack::set_upper_full(bool full)
{
    if (full)
        platform::streams::set_flags(&upper_->q[0], QFULL);
    else
        platform::streams::clear_flags(&upper_->q[0], QFULL);
}

void ModuleStack::set_driver_full(bool full)
{
    if (full)
        platform::streams::set_flags(&lower_->q[1], QFULL);
    else
        platform::streams::clear_flags(&lower_->q[1], QFULL);
}

} // namespace nvxtest
