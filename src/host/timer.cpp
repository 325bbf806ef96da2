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
    m_queue.push_back({std::move(change)});
    m_queue_ready.notify_one();
}

bool host::submit_for_caller(std::function<void()> change)
{
    std::lock_guard<std::mutex> hold(m_queue_lock);
    if (m_caller_changes >= max_caller_changes)
        return false;
    ++m_caller_changes;
    m_queue.push_back({[this, change] {
        change();
        std::lock_guard<std::mutex> done(m_queue_lock);
        --m_caller_changes;
    }});
    m_queue_ready.notify_one();
    return true;
}

bool host::idle() const
{
    std::lock_guard<std::mutex> hold(m_queue_lock);
    return m_queue.empty() && !m_busy;
}

void host::run_queue()
{
    for (;;) {
        job change;
        {
            std::unique_lock<std::mutex> hold(m_queue_lock);
            m_busy = false;
            m_queue_ready.wait(hold, [this] { return !m_queue.empty(); });
            change = std::move(m_queue.front());
            m_queue.pop_front();
            m_busy = true;
        }
        commands_count = change.progress;
        change.run();
        if (change.progress)
            ++m_progress;
    }
}

void host::shutdown()
{
    m_grants.end_all(wall_clock_seconds());
    m_grants.save();
    m_shutting_down = true;
    std::lock_guard<std::mutex> hold(m_timer_lock);
    m_timer_wake.notify_one();
}

void host::queue_retries(time_t now)
{
    // One job per attempt, so that other changes come between them.
    for (auto& entry : m_retries) {
        retry& r = entry.second;
        if (r.queued || r.next > now)
            continue;
        r.queued = true;
        const std::string user = entry.first;
        m_queue.push_back({[this, user] { remove_grant("remove_temp_user", user); }, false});
    }
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
            const std::string user = ended.second.username;
            m_queue.push_back({[this, user] { remove_grant("remove_temp_user", user); }});
        }
        queue_retries(now);
        m_queue_ready.notify_one();
    }
}
