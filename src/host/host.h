// The host: every change the daemon makes for a grant (account, keys,
// firewall rules) and the thread that makes them, one at a time in the order
// they were asked for; the expiry thread, which hands ended grants to it;
// and the start's take-back and purge.
#ifndef TUNNEL_KEEPER_HOST_H
#define TUNNEL_KEEPER_HOST_H

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../metrics.h"
#include "../registry/registry.h"
#include "commands.h"

struct host_settings {
    std::string sship;        // address written into forwarding commands
    int timeout = 3600;       // lifetime of a grant, seconds
    int max_lifetime = 3600;  // the longest lifetime a grant may have
    std::string key_type = "ed25519";
};

class host {
public:
    host(registry& grants, host_settings settings);
    host(const host&) = delete;
    host& operator=(const host&) = delete;

    // The address written into forwarding commands; set before start.
    void set_ssh_ip(const std::string& ip) { m_settings.sship = ip; }

    // Starts the host queue's thread and the expiry thread; both run until
    // the process ends.
    void start();

    // Queues a host change; it runs after every change queued before it.
    void submit(std::function<void()> change);
    // Queues a caller's change, unless max_caller_changes of them are queued
    // or running already: then false, and nothing is queued. Each such
    // change holds its caller's connection, so the bound keeps descriptors
    // free for reads.
    bool submit_for_caller(std::function<void()> change);
    static const size_t max_caller_changes = 64;
    // True when no change is queued or running.
    bool idle() const;

    // The changes, run on the queue's thread (or directly, where nothing
    // else runs). Each returns once the change is made and saved.
    // "request": removes the name's grant, then makes a new one; the answer
    // is the forwarding command or "ERROR". A port list or lifetime text
    // that fails its check makes and removes nothing.
    std::string request(const std::string& name, const std::string& ports, const std::string* lifetime = nullptr);
    int add_temp_user(const std::string& name, const port_list& device_ports, int lifetime, std::string& forward_string);
    // 0 removed; -1 no such grant; -2 its removal is unfinished (retried).
    int remove_temp_user(const std::string& name);
    std::string filter_ports(const std::string& name, const std::string& acl);
    // "extend": the grant now ends `seconds` (digits, 1 to the longest
    // lifetime) from now, in its key, its session, the registry and the
    // state file; "OK" or "ERROR", and a refusal changes nothing.
    std::string extend(const std::string& name, const std::string& seconds);

    // "status": one word per local port; reads only.
    std::string connection_status(const std::string& name) const;
    // The registry's figures and the state of every grant port, for
    // "metrics"; reads only.
    metrics_gauges gauges() const;

    // Makes every grant end now; the expiry thread removes them.
    void shutdown();
    // True once the queue has run the shutdown, behind every change asked
    // for before it.
    bool shutting_down() const { return m_shutting_down; }
    // Raised whenever the host's work moves on: a command succeeded or a
    // change finished (retries of unfinished removals aside), or a grant
    // left the host. A shutdown gives up only when it stops moving.
    unsigned long progress() const { return m_progress + commands_done; }

    // At start, before the threads run: takes back every live grant of the
    // state file whose account and home are as provisioning left them, and
    // queues the removal of the others and the check of the kept grants'
    // rules. Returns the grants taken back.
    grant_list take_back_grants();

private:
    // One attempt at removing a leaving grant (by account) from the host:
    // its key line, processes, account, files and rules. True when all is
    // gone: then its ports go back. Otherwise a retry is due after a pause
    // that grows with each attempt, and the state file keeps the grant.
    // `save`: the state file is written before and after, as for every
    // change; the start's removals and a grant's undo do without.
    bool remove_grant(const char* function, const std::string& user, bool save = true);
    void run_queue();
    void run_timer();
    // Queues the retries that are due; with m_queue_lock held.
    void queue_retries(time_t now);

    registry& m_grants;
    host_settings m_settings;

    mutable std::mutex m_queue_lock;
    std::condition_variable m_queue_ready;
    // A change, and whether its end counts as progress (a retry that fails
    // again does not).
    struct job {
        std::function<void()> run;
        bool progress = true;
    };
    std::deque<job> m_queue;
    bool m_busy = false;
    size_t m_caller_changes = 0;  // callers' changes queued or running
    std::thread m_queue_thread;
    std::atomic<unsigned long> m_progress{0};
    std::atomic<bool> m_shutting_down{false};

    // Removals that failed, by account: attempts so far and the time of the
    // next; under m_queue_lock.
    struct retry {
        int attempts = 0;
        time_t next = 0;
        bool queued = false;
    };
    std::map<std::string, retry> m_retries;

    std::mutex m_timer_lock;
    std::condition_variable m_timer_wake;
    std::thread m_timer_thread;
};

// Deletes accounts left by an earlier run, and the filter rules it left for
// the pool range `portrange`, but not the accounts and ports of the grants in
// `kept`.
int remove_tmp_users_and_connections(const std::string& portrange, const grant_list& kept);

#endif
