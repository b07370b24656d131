// A stand-in host that serves only "/dev/sad/admin", over the host's own socket protocol,
// with answers chosen by the test. It shows the exact autopush requests the tool makes and
// drives the failures the real administrative driver cannot produce (a SAP_CLEAR that fails,
// a SAD_GAP reply with too many or unterminated module names).
//
// Every other device path is answered ENOENT (the user calls then fall back to the C
// library, as with a real host that does not know the path).
#ifndef NVX_TESTS_NVXPUSH_FAKE_SAD_H
#define NVX_TESTS_NVXPUSH_FAKE_SAD_H

#include "nvx_user.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pushtest
{

struct SadRequest {
    int code;           // the ioctl code (SAD_GAP, SAD_SAP ...)
    struct strapush ap; // the record as sent
};

class FakeSad
{
  public:
    // Answers one request: returns 0 (acknowledged; a SAD_GAP returns *reply, which starts
    // as a copy of the request's record) or the errno value to refuse it with.
    using Script = std::function<int(const SadRequest &request, struct strapush *reply)>;

    FakeSad(std::string root, Script script);
    ~FakeSad();
    FakeSad(const FakeSad &) = delete;
    FakeSad &operator=(const FakeSad &) = delete;

    bool listening() const { return listen_fd_ >= 0; }
    std::vector<SadRequest> requests() const;
    std::vector<std::string> opened() const; // device paths of Open requests, in order

  private:
    void serve();
    void serve_connection(int fd);

    std::string root_;
    Script script_;
    int listen_fd_ = -1;
    std::atomic<bool> stop_{false};
    mutable std::mutex m_; // guards requests_ and opened_
    std::vector<SadRequest> requests_;
    std::vector<std::string> opened_;
    std::thread thread_;
};

} // namespace pushtest

#endif
