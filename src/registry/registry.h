// The registry: every live grant by device name, the free-port pool, and
// their copy on disk, the state file. It is memory and persistence only:
// nothing here runs a command or touches a socket, and its lock is never
// held across either.
#ifndef TUNNEL_KEEPER_REGISTRY_H
#define TUNNEL_KEEPER_REGISTRY_H

#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "../text.h"

// One device's grant: its temporary account, its ports and its end.
struct localuser {
    std::string username;   // temporary account, "sshtmp_" + 8 characters
    unsigned uid = 0;       // the account's uid, once the account exists
    port_list localports;   // pool ports on this host, in request order
    port_list remoteports;  // device ports, same length and order
    time_t end = 0;         // the grant's end, as its key line says; it expires then
    std::string acl;        // source filter; empty until "acl" sets it once
    // Rules of the daemon's shape may be on its ports that its filter does
    // not account for: an undo could not delete them. Its removal then
    // deletes every such rule the firewall lists on its ports.
    bool stray_rules = false;
    // The public key of its key line ("type base64 comment"), so that a start
    // can build the home again that a reboot emptied out of /tmp; empty in
    // lines of older versions.
    std::string public_key;
};

typedef std::vector<std::pair<std::string, localuser>> grant_list;

// A grant out of the registry whose removal from the host is not finished:
// it keeps pool ports, and the state file keeps it (as ended, so that a start
// removes it), until its account is gone.
struct leaving_grant {
    std::string name;
    localuser record;
    port_list held;         // pool ports it keeps until then
    bool key_copy = true;   // the key copy at /tmp/<account>.key is the daemon's
    bool made = true;       // false: a grant that was never made (its ports go back in front)
};

// The longest device name a request can carry: "request:NAME:1" in one
// read of 2048 bytes.
const size_t max_name_length = 2048 - 10;

class registry {
public:
    // `portrange` must be valid (parse_port_range); `state_path` empty: the
    // grants are kept in memory only.
    registry(const std::string& portrange, std::string state_path);

    // Free-port pool, a first-in, first-out queue. Takes `count` ports from
    // its front; false, with the pool unchanged, when too few are free.
    bool take_free_ports(size_t count, port_list& taken);
    // Puts ports back in front (a request that made nothing) or at the end
    // (a removed grant), in their order.
    void return_free_ports(const port_list& ports, bool front);
    size_t free_port_count() const;
    port_list free_ports() const;
    size_t pool_size() const { return static_cast<size_t>(m_range_stop - m_range_start); }

    bool find(const std::string& name, localuser& record) const;
    void store(const std::string& name, const localuser& record);
    // Takes the grant out, as ended at `now` at the latest, and copies it
    // into `record`; it is leaving (below) until the host work is done.
    bool take_out(const std::string& name, time_t now, localuser& record);
    // Sets the filter of a grant that has none yet: 0; 1 unknown name; 2 a
    // filter is set already (its text in `record.acl`).
    int check_acl(const std::string& name, localuser& record) const;
    // Sets the filter of the grant, if it is still the one `record` names:
    // true. A grant that ended meanwhile gets it too, so that its removal
    // deletes the rules: false.
    bool set_acl(const std::string& name, const localuser& record, const std::string& acl);
    // Marks the grant of account `user`, live or leaving, as having stray
    // rules on its ports.
    void mark_stray_rules(const std::string& name, const std::string& user);
    // Moves the end of the grant, if it is still the one of account `user`.
    bool set_end(const std::string& name, const std::string& user, time_t end);
    // Takes out every grant whose end is `now` or earlier, as take_out does;
    // the state file need not be written for that, since its line says so.
    grant_list take_out_ended(time_t now);
    // Makes every grant end at `now` (shutdown).
    void end_all(time_t now);
    size_t grant_count() const;
    grant_list grants() const;

    // Grants that are leaving, by account. A grant never made (its undo
    // failed) is added with the ports it took; one that the start removes
    // holds those of its ports that are free.
    void add_leaving(const std::string& name, const localuser& record, bool key_copy);
    void claim_leaving(const std::string& name, const localuser& record);
    bool find_leaving(const std::string& user, leaving_grant& grant) const;
    // The account is gone: the grant leaves for good and its ports go back.
    void finish_removal(const std::string& user);
    size_t leaving_count() const;
    // "name => device ports => local ports => seconds left => account\n" per
    // grant, in name order.
    std::string list(time_t now) const;

    // The state file. save writes the registry as it is now, the leaving
    // grants included, outside the lock, and returns once that (or a newer)
    // copy is on disk: 0, or -1 after logging why not.
    int save();
    // The lines of the state file as grants, for the start to take back.
    // Damaged lines are logged and left out; so is a name longer than a
    // request can carry, or an end more than `max_lifetime` seconds ahead.
    grant_list read_state_file(time_t now, int max_lifetime) const;
    // Takes a grant of the state file back: false when its ports are not
    // all free or the name is taken (it is left out then).
    bool claim(const std::string& name, const localuser& record);
    // True when every port lies in the pool's range.
    bool in_range(const port_list& ports) const;

    // `owner` learns, in the same step as the registry, each port that
    // passes to a live grant (its account's uid) or leaves one (0): the
    // port guard follows it. Set before any grant is stored.
    void watch_ports(void (*owner)(int port, unsigned uid)) { m_port_owner = owner; }

private:
    // The grant of account `user` under `name`, live or leaving; null when
    // there is none. With m_lock held.
    localuser* grant_of(const std::string& name, const std::string& user);
    void set_owner(const port_list& ports, unsigned uid) const;
    void (*m_port_owner)(int, unsigned) = nullptr;

    mutable std::mutex m_lock;
    port_list m_free_ports;
    std::map<std::string, localuser> m_trelvox_to_localuser_map;
    std::map<std::string, leaving_grant> m_leaving;  // by account
    int m_range_start = 0, m_range_stop = 0;
    unsigned long m_version = 1;  // raised by every change of the grants

    std::string m_state_path;
    std::mutex m_save_lock;           // one writer of the file at a time
    unsigned long m_saved_version = 0;  // the version on disk
};

// Reads a range text "start-stop" (stop excluded). 0 and the two ends when
// the pool would accept it, -1 otherwise.
int parse_port_range(const std::string& portrange, int& start, int& stop);

#endif
