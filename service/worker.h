// One worker thread per printer owns its device: requests to one printer
// run one at a time in arrival order from a bounded queue. It is all a
// printer costs: no thread or timer besides, its refresh and its tries to
// reopen a lost line are the waits of this one thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "service/backoff.h"
#include "service/device.h"

namespace brenvikd {

// Whether a job may run now.
struct Readiness {
    bool ready = true;
    bool lineTrouble = false;  // the printer did not answer: open the line anew before the next try
    DeviceError why;           // when not ready
};

class PrinterWorker {
public:
    // A job gets the device when the printer is connected and ready,
    // otherwise nullptr and the reason.
    using Job = std::function<void(Device* device, const DeviceError& unavailable)>;
    // Runs before every job and on the idle refresh, with connected = true
    // right after the line was opened; not ready: the job is refused, and
    // it runs again before the next one.
    using Prepare = std::function<Readiness(Device& device, bool connected)>;

    struct Options {
        size_t capacity = 16;       // queued jobs beyond the running one
        int refreshMs = 2000;       // status refresh while idle; 0 = never (nor a retry of a lost line)
        // Offline, the line is tried again when this says; a job tries at
        // once, since its client waits, and counts as a try.
        Backoff::Schedule retry;
    };

    PrinterWorker(std::string id, std::unique_ptr<Device> device, Options options, Prepare prepare);
    // Waits for the running job: call Join first when it may be stuck.
    ~PrinterWorker();
    PrinterWorker(const PrinterWorker&) = delete;
    PrinterWorker& operator=(const PrinterWorker&) = delete;

    const std::string& id() const { return id_; }
    void Start();
    // Refuses new jobs and tells the queued ones, on this thread, that the
    // service stops; the running one goes on.
    void RequestStop();
    // Waits up to waitMs (< 0: for ever) for the running job to end. False
    // when it is still inside the printer: then its thread is left to the
    // process's exit, and this object must not be destroyed.
    bool Join(int waitMs);
    // RequestStop, then Join for as long as it takes.
    void Stop();

    // false when the queue is full or the worker stops (the caller answers 503).
    bool Submit(Job job);
    bool Stopping() const;
    size_t Queued() const;
    size_t Capacity() const { return options_.capacity; }

    // The last known state, without waiting behind the queue.
    json Snapshot() const;
    // Jobs add what they learnt (the last check number, say) to it.
    void Publish(const std::function<void(json&)>& change);

private:
    void Run();
    bool MakeReady(DeviceError* error);
    void Refresh();
    void SafeRefresh();
    // After a job or a refresh: online, the back-off starts over; offline,
    // the next try is put off by it.
    void Settle();

    const std::string id_;
    std::unique_ptr<Device> device_;
    const Options options_;
    Prepare prepare_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable ended_;
    std::deque<Job> queue_;
    bool stopping_ = false;
    bool running_ = false;  // the thread is started and has not ended
    json snapshot_;
    std::thread thread_;

    // The worker thread's own.
    Backoff backoff_;
    std::optional<std::chrono::steady_clock::time_point> retryAt_;  // set while offline
    std::minstd_rand random_;
};

}  // namespace brenvikd
