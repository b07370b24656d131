/*
 * Wire backend. Each end owns the queue of frames travelling towards it and a thread that
 * delivers them to its NIC. The two ends share a Link (reference counted), so the end that
 * outlives the other still finds a valid record; a frame sent towards a destroyed or stopped
 * end is dropped and counted.
 *
 * Locking: Link::mutex guards both ends' queues and the started flags; it is never held while
 * calling into a NIC.
 */
#include "backends/wire.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace platform::net
{

namespace
{

struct Direction {
    std::vector<std::vector<std::uint8_t>> slots; // ring of reused buffers
    std::size_t head = 0;                         // next to deliver
    std::size_t count = 0;                        // frames waiting
    bool started = false;
    bool stopping = false;
    std::uint64_t carried = 0;
    std::uint64_t dropped = 0;
    std::uint64_t dropped_stopped = 0;
    std::condition_variable cv;
};

struct Link {
    std::mutex mutex;
    Direction towards[2];
};

struct WireEnd {
    std::shared_ptr<Link> link;
    int side; // i: 0 or 1; frames towards this end are link->towards[side]
    std::thread thread;
};

void deliver_loop(WireEnd *end, NicPort *port)
{
    Link &l = *end->link;
    Direction &d = l.towards[end->side];
    std::vector<std::uint8_t> frame;
    std::unique_lock lock(l.mutex);
    for (;;) {
        d.cv.wait(lock, [&d] { return d.stopping || d.count > 0; });
        if (d.stopping)
            return;
        frame.swap(d.slots[d.head]);
        d.head = (d.head + 1) % d.slots.size();
        d.count--;
        d.carried++;
        lock.unlock();
        port->receive(frame.data(), frame.size());
        lock.lock();
    }
}

int wire_start(void *priv, NicPort *port)
{
    auto *end = static_cast<WireEnd *>(priv);
    {
        std::lock_guard lock(end->link->mutex);
        Direction &d = end->link->towards[end->side];
        d.started = true;
        d.stopping = false;
    }
    end->thread = std::thread(deliver_loop, end, port);
    return 0;
}

void wire_stop(void *priv)
{
    auto *end = static_cast<WireEnd *>(priv);
    {
        std::lock_guard lock(end->link->mutex);
        Direction &d = end->link->towards[end->side];
        d.stopping = true;
        d.started = false;
        d.dropped_stopped += d.count;
        d.count = 0;
    }
    end->link->towards[end->side].cv.notify_all();
    if (end->thread.joinable())
        end->thread.join();
}

void wire_transmit(void *priv, const std::uint8_t *frame, std::size_t len)
{
    auto *end = static_cast<WireEnd *>(priv);
    Link &l = *end->link;
    Direction &d = l.towards[1 - end->side];
    {
        std::lock_guard lock(l.mutex);
        if (!d.started) {
            d.dropped_stopped++;
            return;
        }
        if (d.count == d.slots.size()) {
            d.dropped++;
            return;
        }
        d.slots[(d.head + d.count) % d.slots.size()].assign(frame, frame + len);
        d.count++;
    }
    d.cv.notify_one();
}

void wire_destroy(void *priv)
{
    delete static_cast<WireEnd *>(priv);
}

const BackendOps wire_ops = {
    "wire",        // name
    wire_start,    // start
    wire_stop,     // stop
    wire_transmit, // transmit
    wire_destroy,  // destroy
};

} // namespace

std::pair<BackendPtr, BackendPtr> make_wire(std::size_t queue_frames)
{
    auto link = std::make_shared<Link>();
    for (auto &d : link->towards)
        d.slots.resize(queue_frames ? queue_frames : 1);
    auto *a = new WireEnd{link, 0, {}};
    auto *b = new WireEnd{link, 1, {}};
    return {std::make_unique<Backend>(&wire_ops, a), std::make_unique<Backend>(&wire_ops, b)};
}

WireCounters wire_counters(Backend &b)
{
    if (b.ops() != &wire_ops)
        return {};
    auto *end = static_cast<WireEnd *>(b.priv());
    std::lock_guard lock(end->link->mutex);
    const Direction &d = end->link->towards[end->side];
    return {d.carried, d.dropped, d.dropped_stopped};
}

} // namespace platform::net
