#include "engine_fixture.h"

#include "nvxbind.h"
#include "nvxstage.h"
#include "testing/nvx_testing.h"

#include <sys/ddi.h>
#include <sys/kmem.h>
#include <sys/stream.h>

#include <cstring>

namespace engine_test
{

using platform::streams::alloc_pair;
using platform::streams::free_pair;
using platform::streams::pair_off;
using platform::streams::pair_on;
using platform::streams::PairKind;
using platform::streams::QueuePair;

namespace
{

struct module_info sink_info = {1, "sink", 0, INFPSZ, 1 << 30, 0};
struct module_info nvx_info = {0xabcd, "nvx", 0, INFPSZ, 131072, 1};

int sink_put(queue_t *q, mblk_t *mp)
{
    Sink *s = static_cast<Sink *>(q->q_ptr);
    std::lock_guard<std::mutex> g(s->m);
    s->got.push_back(mp);
    return 0;
}

// The module's own put procedures are not under test: messages put to it pass through.
int pass_put(queue_t *q, mblk_t *mp)
{
    putnext(q, mp);
    return 0;
}

struct qinit sink_init = {sink_put,   nullptr, nullptr, nullptr, nullptr,
                          &sink_info, nullptr, nullptr, nullptr, 0};
struct qinit pass_init = {pass_put,  nullptr, nullptr, nullptr, nullptr,
                          &nvx_info, nullptr, nullptr, nullptr, 0};

void init_driver_locks()
{
    static std::once_flag once;
    std::call_once(once, [] {
        rw_init(&nvx_rwlock, nullptr, RW_DRIVER, nullptr);
        rw_init(&nvx_bindlock, nullptr, RW_DRIVER, nullptr);
        rw_init(&nvx_pflock, nullptr, RW_DRIVER, nullptr);
    });
}

mblk_t *frame(size_t payload, const Mac &dst, unsigned char seed, bool inbound)
{
    const size_t len = 14 + payload;
    mblk_t *mp = allocb(len, BPRI_MED);
    unsigned char *p = mp->b_wptr;
    std::memcpy(p, dst.data(), 6);
    std::memcpy(p + 6, kOtherMac.data(), 6);
    p[12] = 0x08;
    p[13] = 0x00;
    for (size_t i = 0; i < payload; ++i)
        p[14 + i] = static_cast<unsigned char>(seed + i);
    mp->b_wptr += len;
    if (inbound)
        mp->b_rptr += 14;
    return mp;
}

} // namespace

size_t Sink::count()
{
    std::lock_guard<std::mutex> g(m);
    return got.size();
}

std::vector<mblk_t *> Sink::take()
{
    std::lock_guard<std::mutex> g(m);
    return std::exchange(got, {});
}

void Sink::free_all()
{
    for (mblk_t *mp : take())
        freemsg(mp);
}

mblk_t *inbound_frame(size_t payload, const Mac &dst, unsigned char seed)
{
    return frame(payload, dst, seed, true);
}

mblk_t *outbound_frame(size_t payload, const Mac &dst, unsigned char seed)
{
    return frame(payload, dst, seed, false);
}

mblk_t *tcp_frame(bool inbound)
{
    const size_t len = 14 + 20 + 20 + 8;
    mblk_t *mp = allocb(len, BPRI_MED);
    unsigned char *p = mp->b_wptr;
    std::memset(p, 0, len);
    std::memcpy(p, kAdapterMac.data(), 6);
    std::memcpy(p + 6, kOtherMac.data(), 6);
    p[12] = 0x08;
    unsigned char *ip = p + 14;
    ip[0] = 0x45;
    ip[3] = 48; // total length 20 + 20 + 8
    ip[8] = 64;
    ip[9] = 6;
    const unsigned char src[4] = {198, 18, 0, 2}, dst[4] = {198, 18, 0, 1};
    std::memcpy(ip + 12, src, 4);
    std::memcpy(ip + 16, dst, 4);
    unsigned char *tcp = ip + 20;
    tcp[1] = 80;
    tcp[3] = 0x40;  // ports 80 -> 64
    tcp[4] = 0x11;  // sequence 0x11000000
    tcp[8] = 0x22;  // acknowledgement 0x22000000
    tcp[12] = 0x50; // data offset 5
    tcp[13] = 0x18; // PSH|ACK
    mp->b_wptr += len;
    if (inbound)
        mp->b_rptr += 14;
    return mp;
}

struct timeval now_tv()
{
    struct timeval tv;
    uniqtime(&tv);
    return tv;
}

ModuleStream &EngineTest::add_module()
{
    auto s = std::make_unique<ModuleStream>();
    s->up.pair = alloc_pair(PairKind::module, &sink_init, &sink_init, nullptr);
    s->down.pair = alloc_pair(PairKind::driver, &sink_init, &sink_init, nullptr);
    s->pair = alloc_pair(PairKind::module, &pass_init, &pass_init, nullptr);
    for (Sink *k : {&s->up, &s->down}) {
        k->pair->q[0].q_ptr = k;
        k->pair->q[1].q_ptr = k;
        pair_on(k->pair);
    }
    // Read side goes up to the "stack", write side down to the "interface driver".
    platform::streams::store_next(s->rq(), &s->up.pair->q[0]);
    platform::streams::store_next(s->wq(), &s->down.pair->q[1]);
    s->bip = static_cast<BindingInfo *>(kmem_zalloc(sizeof(BindingInfo), KM_SLEEP));
    s->bip->rdq = s->rq();
    s->bip->wrq = s->wq();
    s->bip->index = 0;
    std::strcpy(s->bip->ppaname, "vnet0");
    s->rq()->q_ptr = s->bip;
    s->wq()->q_ptr = s->bip;
    pair_on(s->pair);
    rw_enter(&nvx_rwlock, RW_WRITER);
    s->bip->ulFlags = BIND_BOUND;
    s->bip->openInfo = gip_;
    ppaList[0].bndcnt++;
    rw_exit(&nvx_rwlock);
    add_binding(s->bip);
    rw_enter(&nvx_bindlock, RW_WRITER);
    add_open_module_locked(s->bip);
    rw_exit(&nvx_bindlock);
    modules_.push_back(std::move(s));
    return *modules_.back();
}

void EngineTest::unbind(ModuleStream &s)
{
    remove_binding(s.bip);
    rw_enter(&nvx_rwlock, RW_WRITER);
    s.bip->ulFlags &= ~static_cast<U32>(BIND_BOUND);
    s.bip->openInfo = nullptr;
    rw_exit(&nvx_rwlock);
}

void EngineTest::close_stream(ModuleStream &s)
{
    if (s.bip->ulFlags & BIND_BOUND)
        unbind(s);
    rw_enter(&nvx_bindlock, RW_WRITER);
    remove_open_module_locked(s.bip);
    rw_exit(&nvx_bindlock);
}

void EngineTest::SetUp()
{
    init_driver_locks();
    ppaList[0].info.dl_max_sdu = 1500;
    ppaList[0].info.dl_addr_length = 6;
    std::strcpy(ppaList[0].info.devicename, "vnet0");
    std::memcpy(ppaList[0].info.aucMacAddress, kAdapterMac.data(), 6);
    ppaList[0].bndcnt = 0;
    NVX_ATOMIC_STORE(&GlobalTimeout, 10u);
    NVX_ATOMIC_STORE(&GlobalThreshold, 50u);

    gip_ = static_cast<GlobalInfo *>(kmem_zalloc(sizeof(GlobalInfo), KM_SLEEP));
    gip_->index = 0;
    std::strcpy(gip_->ppaname, "vnet0");
    mutex_init(&gip_->sessionInfoMutex, nullptr, MUTEX_DRIVER, nullptr);

    device_ = alloc_pair(PairKind::driver, &pass_init, &pass_init, nullptr);
    devbip_ = static_cast<BindingInfo *>(kmem_zalloc(sizeof(BindingInfo), KM_SLEEP));
    devbip_->dip = reinterpret_cast<dev_info_t *>(devbip_); // any non-null handle: a device
    devbip_->rdq = &device_->q[0];
    devbip_->wrq = &device_->q[1];
    devbip_->index = 0;
    std::strcpy(devbip_->ppaname, "vnet0");
    devbip_->openInfo = gip_;
    device_->q[0].q_ptr = devbip_;
    device_->q[1].q_ptr = devbip_;
    pair_on(device_);
    add_binding(devbip_);
    ppaList[0].gip = gip_;
    m0_ = &add_module();
}

void EngineTest::TearDown()
{
    if (gip_->captureSession != nullptr)
        stop_session(gip_, gip_->captureSession);
    for (auto &s : modules_) {
        close_stream(*s);
        pair_off(s->pair);
        for (Sink *k : {&s->up, &s->down}) {
            pair_off(k->pair);
            k->free_all();
            free_pair(k->pair);
        }
        free_pair(s->pair);
        kmem_free(s->bip, sizeof(BindingInfo));
    }
    modules_.clear();
    remove_binding(devbip_);
    pair_off(device_);
    free_pair(device_);
    kmem_free(devbip_, sizeof(BindingInfo));
    ppaList[0].gip = nullptr;
    mutex_destroy(&gip_->sessionInfoMutex);
    kmem_free(gip_, sizeof(GlobalInfo));
}

int EngineTest::create_raw(mblk_t *data)
{
    mblk_t *mp = allocb(sizeof(struct iocblk), BPRI_MED);
    mp->b_datap->db_type = M_IOCTL;
    auto *ioc = reinterpret_cast<struct iocblk *>(mp->b_rptr);
    std::memset(ioc, 0, sizeof(*ioc));
    ioc->ioc_cmd = NVX_CREATE_RX_IOCTL;
    ioc->ioc_count = data != nullptr ? static_cast<size_t>(MBLKL(data)) : 0;
    mp->b_wptr += sizeof(*ioc);
    mp->b_cont = data;
    const int rc = create_rx_ioctl(device_wq(), mp);
    freemsg(mp);
    return rc;
}

int EngineTest::create(U32 bufSize, U32 flags, CreateRxData *reply)
{
    mblk_t *data = allocb(sizeof(CreateRxData), BPRI_MED);
    CreateRxData req{bufSize, flags};
    std::memcpy(data->b_wptr, &req, sizeof(req));
    data->b_wptr += sizeof(req);
    mblk_t *mp = allocb(sizeof(struct iocblk), BPRI_MED);
    mp->b_datap->db_type = M_IOCTL;
    mp->b_wptr += sizeof(struct iocblk);
    mp->b_cont = data;
    const int rc = create_rx_ioctl(device_wq(), mp);
    if (reply != nullptr)
        std::memcpy(reply, data->b_rptr, sizeof(*reply));
    freemsg(mp);
    return rc;
}

int EngineTest::close_rx()
{
    mblk_t *mp = allocb(sizeof(struct iocblk), BPRI_MED);
    mp->b_datap->db_type = M_IOCTL;
    mp->b_wptr += sizeof(struct iocblk);
    const int rc = close_rx_ioctl(device_wq(), mp);
    freemsg(mp);
    return rc;
}

int EngineTest::capture(ModuleStream &s, mblk_t *mp, int dir)
{
    queue_t *q = dir == DIR_INBOUND ? s.rq() : s.wq();
    int rc = RC_FORWARD;
    rw_enter(&nvx_rwlock, RW_READER);
    GlobalInfo *gip = s.bip->openInfo;
    SessionInfo *sip = gip != nullptr ? gip->captureSession : nullptr;
    if (gip != nullptr && (gip->ulFlags & GI_CAPTURING) && !(gip->ulFlags & GI_FLUSHING) &&
        sip != nullptr) {
        struct timeval tv = now_tv();
        if (nvx_flow_controlled(sip))
            rc = RC_BUFFER_FULL;
        else
            rc = store_packet(gip, sip, DB_TYPE(mp) == M_DATA ? mp : mp->b_cont, q, mp, dir, &tv);
    }
    rw_exit(&nvx_rwlock);
    if (rc == RC_FORWARD || rc == RC_BUFFER_FULL)
        putnext(q, mp);
    else if (rc == RC_FREE)
        freemsg(mp);
    return rc;
}

U32 EngineTest::read(size_t ctlLen)
{
    mblk_t *mp = allocb(sizeof(ReadData), BPRI_HI);
    mp->b_datap->db_type = M_PCPROTO;
    std::memset(mp->b_wptr, 0, sizeof(ReadData));
    mp->b_wptr += ctlLen;
    nvx_read(device_wq(), mp);
    freemsg(mp);
    return NVX_ATOMIC_LOAD(&rb()->nvx_errno);
}

U32 EngineTest::read_no_wait()
{
    platform::testing::AsProcess reader(4711);
    reader.context().raise_signal();
    return read();
}

std::vector<PACKET_BUFFER *> EngineTest::take_all()
{
    std::vector<PACKET_BUFFER *> out;
    void *data = nullptr;
    U32 len = 0;
    while (CircularQueueDequeueIntermediate(shared_queue(), &data, &len) == PACKET_SUCCESS) {
        U32 infoLength;
        std::memcpy(&infoLength, data, sizeof(infoLength));
        out.push_back(reinterpret_cast<PACKET_BUFFER *>(static_cast<BYTE *>(data) + infoLength));
    }
    return out;
}

} // namespace engine_test
