// Delivers completion callables on a thread of their own, never on an
// executor thread: a callable that blocks (for instance on an interpreter
// lock held by a thread waiting for another job) then cannot stop jobs from
// running and finishing.
#ifndef STANDIN_CALLBACK_DISPATCHER_H
#define STANDIN_CALLBACK_DISPATCHER_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "aipu_driver.h"

namespace standin {

class CallbackDispatcher {
public:
    CallbackDispatcher();
    // Lets the thread deliver what is queued and then end on its own; it is
    // not joined, because a pending callable may wait for a lock that the
    // thread closing the context holds.
    ~CallbackDispatcher();
    CallbackDispatcher(const CallbackDispatcher&) = delete;
    CallbackDispatcher& operator=(const CallbackDispatcher&) = delete;

    void post(uint64_t job_id, uint32_t job_status, aipu_job_callback_func_t cb);

    // Waits until everything posted has been delivered; returns at once on
    // the delivering thread itself, which cannot wait for its own work.
    void drain();

private:
    struct Item {
        uint64_t job_id;
        uint32_t job_status;
        aipu_job_callback_func_t cb;
    };
    struct Shared {
        std::mutex mu;
        std::condition_variable cv;
        std::deque<Item> items;
        bool closing = false;
        bool delivering = false;  // an item is out of the queue and not yet delivered
        std::thread::id deliverer;
    };
    static void deliver_loop(std::shared_ptr<Shared> shared);
    static void deliver(Item& item);

    std::shared_ptr<Shared> shared_;
    std::mutex start_mu_;
    std::thread thread_;
};

}  // namespace standin

#endif  // STANDIN_CALLBACK_DISPATCHER_H
