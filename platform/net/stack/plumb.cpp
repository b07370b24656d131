#include "stack/plumb.h"

#include "nic/nic_impl.h"
#include "stack/upper_module.h"

#include <cerrno>
#include <fcntl.h>

namespace platform::net
{

namespace
{
bool stack_send(void *ctx, const std::uint8_t *frame, std::size_t len)
{
    return static_cast<UpperLink *>(ctx)->send_frame(frame, len);
}
} // namespace

int PlumbedInterface::plumb(const PlumbConfig &cfg, std::unique_ptr<PlumbedInterface> *out)
{
    if (cfg.module != "ip" && cfg.module != "arp")
        return EINVAL;
    Nic *nic = nic_find(cfg.ifname);
    if (!nic)
        return ENXIO;
    if (int err = upper_modules_load())
        return err;
    std::unique_ptr<PlumbedInterface> pi(new PlumbedInterface);
    pi->cfg_ = cfg;
    pi->nic_ = nic;
    pi->ethertype_ = cfg.module == "ip" ? kEtherTypeIpv4 : kEtherTypeArp;
    pi->link_ = std::make_shared<UpperLink>(cfg.keep);
    NicDriverRec *drv = nic->impl()->drv;
    std::string path = "/dev/" + (drv->style == 2 ? drv->name : cfg.ifname);
    if (int err = platform::streams::open(path, O_RDWR, cfg.caller, &pi->file_))
        return err;
    for (const auto &m : cfg.push_first)
        if (int err = pi->file_->push(m.c_str()))
            return err;
    if (int err = pi->file_->push(cfg.module.c_str()))
        return err;
    upper_plumb_req req{};
    req.link = reinterpret_cast<std::uintptr_t>(pi->link_.get());
    req.ppa = nic->ppa();
    req.style = static_cast<std::uint32_t>(drv->style);
    platform::streams::IoctlResult res;
    if (int err = pi->file_->ioctl_str(UPPER_IOC_PLUMB, 0, &req, sizeof req, nullptr, 0, &res))
        return err;
    pi->sender_registered_ =
        nic->register_stack_sender(pi->ethertype_, stack_send, pi->link_.get()) == 0;
    *out = std::move(pi);
    return 0;
}

int PlumbedInterface::unplumb()
{
    if (!file_)
        return 0;
    if (sender_registered_)
        nic_->unregister_stack_sender(link_.get());
    sender_registered_ = false;
    platform::streams::IoctlResult res;
    int err = file_->ioctl_str(UPPER_IOC_UNPLUMB, 0, nullptr, 0, nullptr, 0, &res);
    link_->set_bridge(nullptr);
    file_->close();
    file_.reset();
    return err;
}

PlumbedInterface::~PlumbedInterface()
{
    unplumb();
}

void PlumbedInterface::bridge_to(PlumbedInterface *to)
{
    link_->set_bridge(to ? to->link_ : nullptr);
}

} // namespace platform::net
