// The two threads of the host: the queue that makes host changes one at a
// time, in the order they were asked for (so that the command log keeps each
// change's commands together and no two iptables runs fight over their
// lock), and the expiry thread, which takes ended grants out of the registry
// at their end and queues their removal.
#include <chrono>

#include "../log.h"
#include "host.h"

void host::start()
{
    m_queue_thread = std::thread(&host::run_queue, this);
    m_queue_thread.detach();
    m_timer_thread = std::thread(&host::run_timer, this);
    m_timer_thread.detach();
}

void host::submit(std::function<void()> change)
{
    std::lock_guard<std::mutex> hold(m_queue_lock);
    m_queue.push_back(std::move(change));
    m_queue_ready.notify_one();
}

bool host::idle() const
{
    std::lock_guard<std::mutex> hold(m_queue_lock);
    return m_queue.empty() && !m_busy;
}

void host::run_queue()
{
    for (;;) {
        std::function<void()> change;
        {
            std::unique_lock<std::mutex> hold(m_queue_lock);
            m_busy = false;
            m_queue_ready.wait(hold, [this] { return !m_queue.empty(); });
            change = std::move(m_queue.front());
            m_queue.pop_front();
            m_busy = true;
        }
        change();
    }
}

void host::shutdown()
{
    m_grants.end_all(wall_clock_seconds());
    std::lock_guard<std::mutex> hold(m_timer_lock);
    m_timer_wake.notify_one();
}

void host::run_timer()
{
    using namespace std::chrono;
    for (;;) {
        // A pass just after each full second: a grant is taken out within a
        // few milliseconds of its end, however many others end with it.
        {
            const auto next = time_point_cast<seconds>(system_clock::now()) + seconds(1) + milliseconds(5);
            std::unique_lock<std::mutex> hold(m_timer_lock);
            m_timer_wake.wait_until(hold, next);
        }
        const time_t now = wall_clock_seconds();
        // Taken out and queued in one hold of the queue's lock: the queue
        // never looks idle while an ended grant is on its way to it.
        std::lock_guard<std::mutex> hold(m_queue_lock);
        for (const auto& ended : m_grants.take_out_ended(now)) {
            log_msg("timer", "Timeout: removing %s\n", ended.first.c_str());
            ++metrics.grants_expired;
            m_queue.push_back([this, ended] { remove_grant("remove_temp_user", ended.first, ended.second); });
        }
        m_queue_ready.notify_one();
    }
}
