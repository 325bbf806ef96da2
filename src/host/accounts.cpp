// Provisioning and removal of the temporary accounts.
#include "accounts.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "../log.h"
#include "commands.h"

// The session holds the tunnel open until the grant's end, which is the
// modification time of the root-owned file .ssh/end in its home: it sleeps
// until then, at most a minute at a time, reading the end again each time,
// so that an extended grant keeps its session, and every session ends at its
// grant's end even when the daemon is gone (a missing or unreadable end ends
// it at once). The text holds no "/", "&", "\\" or quote: it stands in the
// key line and in sed's replacement as it is.
const char* const session_command =
    "cd .ssh; while t=$(($(date -r end +%s) - $(date +%s))); [ $t -gt 0 ]; do sleep $((t < 60 ? t : 60)); done";

namespace {

// How long removal waits for a killed account's processes to be reaped.
const int reap_wait_ms = 3000;

long elapsed_ms(const struct timespec& since)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
}

// True while any process runs with `uid` as its real, effective or saved
// user id; that is what makes userdel refuse an account.
bool uid_has_process(uid_t uid)
{
    DIR* proc = opendir("/proc");
    if (!proc)
        return false;
    bool busy = false;
    while (!busy) {
        const struct dirent* entry = readdir(proc);
        if (!entry)
            break;
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
            continue;
        std::string status;
        if (!read_whole_file(std::string("/proc/") + entry->d_name + "/status", status))
            continue;
        const std::string::size_type at = status.find("\nUid:");
        if (at == std::string::npos)
            continue;
        const char* ids = status.c_str() + at + 5;
        for (int i = 0; i < 3; ++i) {
            char* after;
            const unsigned long id = strtoul(ids, &after, 10);
            if (after == ids)
                break;
            busy = busy || static_cast<uid_t>(id) == uid;
            ids = after;
        }
    }
    closedir(proc);
    return busy;
}

// Waits, at most reap_wait_ms, until no process of `user` is left (killed
// processes count until their parent has reaped them), and logs how long it
// waited or that the wait ran out. Returns at once when the account does
// not exist. False when processes are left.
bool wait_until_account_is_idle(const char* function, const std::string& user)
{
    unsigned uid;
    if (!account_uid(user, uid) || !uid_has_process(uid))
        return true;
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    bool busy = true;
    while (busy && elapsed_ms(start) < reap_wait_ms) {
        usleep(20000);
        busy = uid_has_process(uid);
    }
    if (busy)
        log_msg(function, "processes of %s still running after %li ms\n", user.c_str(), elapsed_ms(start));
    else
        log_msg(function, "waited %li ms for the processes of %s to end\n", elapsed_ms(start), user.c_str());
    return !busy;
}

// The key's end as its option: this host's local time, to the second.
std::string expiry_option(time_t end)
{
    return "expiry-time=\"" + format_time(end, false, "%Y%m%d%H%M%S") + "\"";
}

// The command that sets the end a session waits for, in the .ssh at `ssh`.
std::vector<std::string> set_end_file(const std::string& ssh, time_t end)
{
    return {"touch", "-d", "@" + to_string(static_cast<long long>(end), std::dec), ssh + "/end"};
}

// The options in front of the grant's public key. The ssh server lets the
// key open remote forwards on the grant's own ports only (on the address the
// device's "-R port:..." asks for), refuses every local forward (nothing
// listens on 255.255.255.255:1), runs the session's command whatever the key
// holder asks for, offers no terminal, agent or X11 forwarding, and refuses
// logins after the grant's end. The end is this host's local time: every ssh
// server that knows the option reads it so. Without a port there is no such
// line: a key without permitlisten may listen on any port.
bool key_options(const account_request& request, std::string& options)
{
    if (request.localports.empty())
        return false;
    options = "restrict,port-forwarding";
    for (int port : request.localports)
        options += ",permitlisten=\"localhost:" + to_string(port, std::dec) + "\"";
    options += ",permitopen=\"255.255.255.255:1\",command=\"" + std::string(session_command) + "\"," +
               expiry_option(request.end);
    return true;
}

// The key copy must be what provisioning made: a regular file of www-data,
// mode 600, not something another local user put at its path.
bool key_copy_is_sound(const std::string& path)
{
    struct stat st;
    unsigned www_data;
    return account_uid("www-data", www_data) && host_lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           st.st_uid == www_data && (st.st_mode & 07777) == 0600;
}

bool is(const std::string& path, mode_t type, unsigned owner, unsigned other_owner)
{
    struct stat st;
    return host_lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type &&
           (st.st_uid == owner || st.st_uid == other_owner);
}

} // namespace

bool account_uid(const std::string& user, unsigned& uid)
{
    struct passwd entry;
    struct passwd* found = nullptr;
    char buf[4096];
    if (getpwnam_r(user.c_str(), &entry, buf, sizeof buf, &found) != 0 || !found)
        return false;
    uid = found->pw_uid;
    return true;
}

int make_account(const account_request& request, std::string& user, unsigned& uid, std::string& fingerprint,
                 bool& key_copy)
{
    // The directory is pinned to /tmp: "key", removal and the purge rebuild
    // the paths from the user name. The first line must be "/tmp/" and a
    // plain account name.
    user.clear();
    key_copy = false;
    std::string options;
    if (!key_options(request, options)) {
        log_msg("add_temp_user", "refusing a key line without a port for |%s|\n", request.name.c_str());
        return -1;
    }
    const command_result made =
        run_command("add_temp_user", user_command, {"mktemp", "-d", "--tmpdir=/tmp", "sshtmp_XXXXXXXX"}, true);
    const std::string p = made.output.substr(0, made.output.find('\n'));
    user = made.ok() && p.compare(0, 5, "/tmp/") == 0 ? p.substr(5) : std::string();
    if (!is_safe_account_name(user)) {
        log_msg("add_temp_user", "Failed to run command\n");
        user.clear();
        return -1;
    }
    log_msg("add_temp_user", "adding |%s| <= %s\n", request.name.c_str(), user.c_str());
    const std::vector<std::vector<std::string>> steps = {
        {"mkdir", "-m", "755", p + "/.ssh/"},
        set_end_file(p + "/.ssh", request.end),
        {"ssh-keygen", "-t", request.key_type, "-f", p + "/key", "-P", "", "-q"},
        // The key copy for www-data is prepared inside the new home directory
        // (root's, mode 700) and renamed into place: the rename replaces a
        // file or link that another local user put at the path in /tmp.
        {"install", "-o", "www-data", "-m", "600", p + "/key", p + "/key.copy"},
        {"mv", "-fT", p + "/key.copy", p + ".key"},
        // The restricted key line exists before the account does: sed puts
        // the options in front of the public key and writes the line ("w")
        // itself. The options hold no "/", "&" or "\\", so they stand in the
        // replacement as they are. .ssh and the key line stay root's: the
        // account cannot change its options.
        {"sed", "-n", "s/^/" + options + " /w " + p + "/.ssh/authorized_keys", p + "/key.pub"},
        {"chmod", "644", p + "/.ssh/authorized_keys"},
        {"useradd", "-d", p, user},
        {"chown", user, p},
    };
    for (const auto& step : steps) {
        if (!run_command("add_temp_user", user_command, step).ok())
            return -1;
        key_copy = key_copy || step[0] == "mv";
    }
    if (!key_copy_is_sound(p + ".key")) {
        log_msg("add_temp_user", "key copy %s.key is not a file of www-data with mode 600\n", p.c_str());
        // A regular file there is the renamed copy; anything else is
        // another user's, and stays.
        struct stat st;
        key_copy = host_lstat((p + ".key").c_str(), &st) == 0 && S_ISREG(st.st_mode);
        return -1;
    }
    uid = 0;
    account_uid(user, uid);
    fingerprint = public_key_fingerprint(p + "/.ssh/authorized_keys");
    return 0;
}

std::string public_key_of(const std::string& user)
{
    std::string key;
    read_whole_file("/tmp/" + user + "/key.pub", key);
    key = key.substr(0, key.find('\n'));
    return is_plain_public_key(key) ? key : std::string();
}

bool home_is_missing(const std::string& user)
{
    struct stat st;
    return host_lstat(("/tmp/" + user).c_str(), &st) != 0 && errno == ENOENT;
}

bool rebuild_home(const account_request& request, const std::string& user, unsigned uid, const std::string& public_key)
{
    std::string options, written;
    if (!key_options(request, options) || !is_safe_account_name(user) || !is_plain_public_key(public_key))
        return false;
    // sed writes the key line itself, as provisioning does, with the
    // account's own line of /etc/passwd as its one line of input: the
    // replacement is the options (no "/", "&" or "\\") and the public key,
    // whose "/" are escaped. mkdir without -p fails on anything that is
    // there already, so nothing is built into a path another user made.
    std::string key;
    for (char c : public_key)
        key += c == '/' ? std::string("\\/") : std::string(1, c);
    const std::string p = "/tmp/" + user, line = p + "/.ssh/authorized_keys";
    const std::vector<std::vector<std::string>> steps = {
        {"mkdir", "-m", "700", p},
        {"mkdir", "-m", "755", p + "/.ssh/"},
        set_end_file(p + "/.ssh", request.end),
        {"sed", "-n", "s/^" + user + ":.*/" + options + " " + key + "/w " + line, "/etc/passwd"},
        {"chmod", "644", line},
        {"chown", user, p},
    };
    for (const auto& step : steps)
        if (!run_command("take_back_grants", user_command, step).ok())
            return false;
    return read_whole_file(line, written) && written == options + " " + public_key + "\n" && home_is_as_made(user, uid);
}

bool set_account_end(const std::string& user, unsigned uid, time_t old_end, time_t end, std::string& fingerprint)
{
    const std::string ssh = "/tmp/" + user + "/.ssh";
    if (!home_is_as_made(user, uid)) {
        log_msg("extend_grant", "not moving the end of %s: %s is not the daemon's directory\n", user.c_str(), ssh.c_str());
        return false;
    }
    const auto touch = [&](time_t t) { return run_command("extend_grant", user_command, set_end_file(ssh, t)).ok(); };
    const std::string expiry = expiry_option(end);
    const std::string line = ssh + "/authorized_keys";
    std::string written;
    if (!touch(end))
        return false;
    // sed writes only the lines it changed: a line without an expiry-time
    // leaves the new file without the key, and it is not used.
    if (!run_command("extend_grant", user_command,
                     {"sed", "-n", "s/expiry-time=\"[0-9]*\"/" + expiry + "/w " + line + ".new", line})
             .ok() ||
        !read_whole_file(line + ".new", written) || written.find(expiry) == std::string::npos ||
        !run_command("extend_grant", user_command, {"chmod", "644", line + ".new"}).ok() ||
        !run_command("extend_grant", user_command, {"mv", "-fT", line + ".new", line}).ok()) {
        // Undone: the key line is the old one, and so must the end be. What
        // cannot be undone lies in the home, which the grant's removal
        // deletes; until then the daemon removes the grant at its old end.
        run_command("extend_grant", user_command, {"rm", "-f", line + ".new"});
        if (!touch(old_end))
            log_msg("extend_grant", "couldn't set the end of %s back: without the daemon, its session may last until %s\n",
                    user.c_str(), format_time(end, true, "%Y-%m-%dT%H:%M:%SZ").c_str());
        return false;
    }
    fingerprint = public_key_fingerprint(line);
    return true;
}

bool home_is_as_made(const std::string& user, unsigned uid)
{
    const std::string home = "/tmp/" + user;
    return is(home, S_IFDIR, uid, 0) && is(home + "/.ssh", S_IFDIR, 0, 0) &&
           is(home + "/.ssh/authorized_keys", S_IFREG, 0, 0);
}

bool remove_account(const char* function, const std::string& user, bool key_copy)
{
    // Without its key the account admits no new login, so no session can
    // start between killall and userdel. The key line is deleted only
    // through directories the daemon made: /tmp/U and its .ssh, not links,
    // root's (or the account's home, the account's).
    unsigned uid = 0;
    bool exists = account_uid(user, uid);
    const std::string home = "/tmp/" + user;
    bool done = true;
    if (is(home, S_IFDIR, exists ? uid : 0, 0) && is(home + "/.ssh", S_IFDIR, 0, 0))
        done = run_command(function, user_command, {"rm", "-f", home + "/.ssh/authorized_keys"}).ok();
    else
        log_msg(function, "not removing the key line of %s: %s/.ssh is not the daemon's directory\n", user.c_str(),
                home.c_str());
    // Where the tk-sshtmp PAM profile is not applied, a login through the
    // ssh server made the login manager start the account's service manager
    // (user@UID.service). It is stopped first, as a unit: ended by killall's
    // SIGKILL, it would stay behind as a failed unit of the host. With the
    // profile, the login manager never knows the account, and nothing runs.
    const std::string uid_text = to_string(uid, std::dec);
    struct stat known;
    if (exists && host_lstat(("/run/systemd/users/" + uid_text).c_str(), &known) == 0)
        run_command(function, user_command, {"systemctl", "stop", "user@" + uid_text + ".service"});
    for (int attempt = 1; exists; ++attempt) {
        run_command(function, user_command, {"killall", "-9", "-u", user}, false, 1);
        // killall only sends the signals; userdel refuses the account until
        // the killed processes have been reaped. A process that outlives the
        // wait (its signal refused) keeps the account, and the removal is
        // unfinished: without the account, no later attempt could name its
        // uid to end it.
        if (!wait_until_account_is_idle(function, user)) {
            done = false;
            break;
        }
        run_command(function, user_command, {"userdel", user});
        exists = account_uid(user, uid);
        if (exists && attempt == 2) {
            log_msg(function, "account %s is still there\n", user.c_str());
            break;
        }
    }
    const std::vector<std::string> files = key_copy ? std::vector<std::string>{"rm", "-rf", home, home + ".key"}
                                                    : std::vector<std::string>{"rm", "-rf", home};
    return run_command(function, user_command, files).ok() && done && !exists;
}
