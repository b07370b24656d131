/*
 * Per-frame kernel service costs: allocb+freeb (same thread and handed across threads),
 * rw_enter(RW_READER)+rw_exit on one and on two threads (against a pthread rwlock for scale),
 * mutex_enter+mutex_exit and cv_broadcast with nobody waiting.
 *
 *   kernel_bench [iterations]      (default 5000000)
 */
#include <sys/ksynch.h>
#include <sys/stream.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

namespace
{

using clock_type = std::chrono::steady_clock;

// Runs body(iterations) on each of threads threads at once; returns ns per iteration per
// thread.
double per_op_ns(int threads, long iterations, const std::function<void(long)> &body)
{
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> pool;
    std::vector<double> ns(static_cast<size_t>(threads));
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            ++ready;
            while (!go)
                std::this_thread::yield();
            auto t0 = clock_type::now();
            body(iterations);
            auto t1 = clock_type::now();
            ns[static_cast<size_t>(t)] = std::chrono::duration<double, std::nano>(t1 - t0).count() /
                                         static_cast<double>(iterations);
        });
    }
    while (ready < threads)
        std::this_thread::yield();
    go = true;
    for (std::thread &th : pool)
        th.join();
    double worst = 0;
    for (double v : ns)
        worst = v > worst ? v : worst;
    return worst;
}

void report(const char *what, double ns)
{
    std::printf("%-52s %8.1f ns\n", what, ns);
}

} // namespace

int main(int argc, char **argv)
{
    long n = argc > 1 ? std::atol(argv[1]) : 5000000;
    if (n <= 0)
        n = 5000000;

    for (size_t size : {64u, 1514u}) {
        char label[64];
        std::snprintf(label, sizeof label, "allocb(%zu)+freeb, one thread", size);
        report(label, per_op_ns(1, n, [size](long k) {
                   for (long i = 0; i < k; ++i) {
                       mblk_t *mp = allocb(size, BPRI_MED);
                       mp->b_wptr += size;
                       freeb(mp);
                   }
               }));
    }
    {
        // A batch allocated on one thread and freed on another, as NIC thread and reader do.
        constexpr int kBatch = 256;
        std::vector<mblk_t *> batch(kBatch);
        long rounds = n / kBatch;
        auto t0 = clock_type::now();
        for (long r = 0; r < rounds; ++r) {
            for (int i = 0; i < kBatch; ++i)
                batch[static_cast<size_t>(i)] = allocb(1514, BPRI_MED);
            std::thread([&batch] {
                for (mblk_t *mp : batch)
                    freeb(mp);
            }).join();
            if (r == 0)
                t0 = clock_type::now(); // leave out the first round's cold caches
        }
        auto t1 = clock_type::now();
        double ns = std::chrono::duration<double, std::nano>(t1 - t0).count() /
                    static_cast<double>((rounds - 1) * kBatch);
        report("allocb(1514) here, freeb on another thread (incl. spawn)", ns);
    }

    krwlock_t rw;
    rw_init(&rw, nullptr, RW_DRIVER, nullptr);
    auto reader = [&rw](long k) {
        for (long i = 0; i < k; ++i) {
            rw_enter(&rw, RW_READER);
            rw_exit(&rw);
        }
    };
    report("rw_enter(RW_READER)+rw_exit, one thread", per_op_ns(1, n, reader));
    report("rw_enter(RW_READER)+rw_exit, two threads", per_op_ns(2, n, reader));
    rw_destroy(&rw);

    pthread_rwlock_t prw = PTHREAD_RWLOCK_INITIALIZER;
    auto preader = [&prw](long k) {
        for (long i = 0; i < k; ++i) {
            pthread_rwlock_rdlock(&prw);
            pthread_rwlock_unlock(&prw);
        }
    };
    report("(scale) pthread_rwlock rdlock+unlock, one thread", per_op_ns(1, n, preader));
    report("(scale) pthread_rwlock rdlock+unlock, two threads", per_op_ns(2, n, preader));

    kmutex_t m;
    mutex_init(&m, nullptr, MUTEX_DRIVER, nullptr);
    kcondvar_t cv;
    cv_init(&cv, nullptr, CV_DRIVER, nullptr);
    report("mutex_enter+mutex_exit, one thread", per_op_ns(1, n, [&m](long k) {
               for (long i = 0; i < k; ++i) {
                   mutex_enter(&m);
                   mutex_exit(&m);
               }
           }));
    report("cv_broadcast, no waiters", per_op_ns(1, n, [&cv](long k) {
               for (long i = 0; i < k; ++i)
                   cv_broadcast(&cv);
           }));
    cv_destroy(&cv);
    mutex_destroy(&m);
    return 0;
}
