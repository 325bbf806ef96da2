// The host: every change the daemon makes for a grant (account, keys,
// firewall rules) and the thread that makes them, one at a time in the order
// they were asked for; the expiry thread, which hands ended grants to it;
// and the start's take-back and purge.
#ifndef TUNNEL_KEEPER_HOST_H
#define TUNNEL_KEEPER_HOST_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../metrics.h"
#include "../registry/registry.h"

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
    // True when no change is queued or running.
    bool idle() const;

    // The changes, run on the queue's thread (or directly, where nothing
    // else runs). Each returns once the change is made and saved.
    // "request": removes the name's grant, then makes a new one; the answer
    // is the forwarding command or "ERROR".
    // A lifetime text, when given, must be a number from 1 to the longest
    // lifetime; otherwise nothing is made or removed.
    std::string request(const std::string& name, const std::string& ports, const std::string* lifetime = nullptr);
    int add_temp_user(const std::string& name, const port_list& device_ports, int lifetime, std::string& forward_string);
    int remove_temp_user(const std::string& name);
    std::string filter_ports(const std::string& name, const std::string& acl);

    // "status": one word per local port; reads only.
    std::string connection_status(const std::string& name) const;
    // The registry's figures and the state of every grant port, for
    // "metrics"; reads only.
    metrics_gauges gauges() const;

    // Makes every grant end now; the expiry thread removes them.
    void shutdown();

    // At start, before the threads run: takes back every live grant of the
    // state file whose account and home are as provisioning left them, and
    // queues the removal of the others and the check of the kept grants'
    // rules. Returns the grants taken back.
    grant_list take_back_grants();

private:
    // Removes a grant already taken out of the registry: saves the registry,
    // deletes the account, files and rules, then returns its ports.
    void remove_grant(const char* function, const std::string& name, const localuser& record);
    void run_queue();
    void run_timer();

    registry& m_grants;
    host_settings m_settings;

    mutable std::mutex m_queue_lock;
    std::condition_variable m_queue_ready;
    std::deque<std::function<void()>> m_queue;
    bool m_busy = false;
    std::thread m_queue_thread;

    std::mutex m_timer_lock;
    std::condition_variable m_timer_wake;
    std::thread m_timer_thread;
};

// Deletes accounts left by an earlier run, and the filter rules it left for
// the pool range `portrange`, but not the accounts and ports of the grants in
// `kept`.
int remove_tmp_users_and_connections(const std::string& portrange, const grant_list& kept);

#endif
