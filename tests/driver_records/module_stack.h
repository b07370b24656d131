// A module instance between an upper neighbour and an interface driver, made of the platform's
// own queue pairs, for driver routines that take a module instance's queue: the name of the
// driver below (add_ppa), the neighbours' put procedures (send_reset), a real queue pair
// (dumpqueue). Messages passed up to the upper neighbour and down to the driver are kept.
#ifndef NVX_TESTS_DRIVER_RECORDS_MODULE_STACK_H
#define NVX_TESTS_DRIVER_RECORDS_MODULE_STACK_H

#include <sys/stream.h>

#include <string>
#include <vector>

namespace platform::streams
{
struct QueuePair;
}

namespace nvxtest
{

class ModuleStack
{
  public:
    explicit ModuleStack(std::string driverName);
    ModuleStack(const ModuleStack &) = delete;
    ModuleStack &operator=(const ModuleStack &) = delete;
    ~ModuleStack(); // frees whatever the neighbours still keep

    queue_t *rq() const; // the module instance's read queue
    queue_t *wq() const; // its write queue

    // Messages that reached the upper neighbour's read side / the driver's write side; the
    // caller owns the returned messages.
    std::vector<mblk_t *> take_up();
    std::vector<mblk_t *> take_down();

    // Flow control as the module sees it: the upper read queue / the driver's write queue full.
    void set_upper_full(bool full);
    void set_driver_full(bool full);

  private:
    std::string name_;
    struct module_info upperInfo_ {
    };
    struct module_info midInfo_ {
    };
    struct module_info lowerInfo_ {
    };
    struct qinit upperR_ {
    }, upperW_{}, midR_{}, midW_{}, lowerR_{}, lowerW_{};
    platform::streams::QueuePair *upper_ = nullptr;
    platform::streams::QueuePair *mid_ = nullptr;
    platform::streams::QueuePair *lower_ = nullptr;
    std::vector<mblk_t *> up_, down_;
};

} // namespace nvxtest

#endif
