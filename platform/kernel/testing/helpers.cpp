/*
 * Helpers for tests (nvx_testing.h).
 */
#include "nvx_testing.h"

#include <cstring>

namespace platform::testing
{

mblk_t *make_message(std::string_view bytes, unsigned char type)
{
    mblk_t *mp = allocb(bytes.size(), BPRI_MED);
    if (mp == nullptr)
        return nullptr;
    mp->b_datap->db_type = type;
    if (!bytes.empty())
        std::memcpy(mp->b_wptr, bytes.data(), bytes.size());
    mp->b_wptr += bytes.size();
    return mp;
}

mblk_t *make_chain(std::initializer_list<std::string_view> pieces, unsigned char type)
{
    mblk_t *head = nullptr;
    for (std::string_view piece : pieces) {
        mblk_t *mp = make_message(piece, type);
        if (mp == nullptr) {
            freemsg(head);
            return nullptr;
        }
        if (head == nullptr)
            head = mp;
        else
            linkb(head, mp);
    }
    return head;
}

std::string message_bytes(const mblk_t *mp)
{
    std::string out;
    for (; mp != nullptr; mp = mp->b_cont)
        out.append(reinterpret_cast<const char *>(mp->b_rptr),
                   static_cast<std::size_t>(mp->b_wptr - mp->b_rptr));
    return out;
}

int block_count(const mblk_t *mp)
{
    int n = 0;
    for (; mp != nullptr; mp = mp->b_cont)
        ++n;
    return n;
}

AsProcess::AsProcess(pid_t pid, uid_t uid, gid_t gid)
    : context_(std::make_unique<proc::Context>(pid, proc::make_cred(uid, gid, pid))),
      scope_(std::make_unique<proc::ScopedContext>(context_.get()))
{
}

AsProcess::~AsProcess()
{
    scope_.reset();
}

} // namespace platform::testing
